#!/usr/bin/python3
"""The README's denoising picture: dipy's small_64D (Debian's python3-dipy) before and after
Mirlune -denoise (window 5, exp2, every voxel), the noise map and the rank map, its ten
slices side by side, one diffusion-weighted volume.

    bench/denoise_picture.py [--build DIR] [--out doc/denoise_dwi.png]
"""
import argparse
import os
import subprocess
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import nibabel as nib
import numpy as np
from dipy.data import get_fnames


def mosaic(volume):
    """The axial slices in one row, each transposed so that anterior is up."""
    return np.concatenate([np.flipud(volume[:, :, z].T) for z in range(volume.shape[2])], axis=1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", default="doc/denoise_dwi.png")
    args = parser.parse_args()
    series = get_fnames("small_64D")[0]
    image = nib.load(series)
    with tempfile.TemporaryDirectory() as work:
        ones = os.path.join(work, "ones.nii")
        nib.save(nib.Nifti1Image(np.ones(image.shape[:3], np.float32), image.affine), ones)
        subprocess.run([os.path.join(args.build, "program", "Mirlune"), "-i", series, "-mask", ones, "-o", work,
                        "-denoise"], check=True, stdout=subprocess.DEVNULL)
        denoised = np.asanyarray(nib.load(os.path.join(work, "denoised.nii")).dataobj)
        noise = np.asanyarray(nib.load(os.path.join(work, "noise.nii")).dataobj)
        rank = np.asanyarray(nib.load(os.path.join(work, "rank.nii")).dataobj)
    data = image.get_fdata()
    volume = 10  # a diffusion-weighted volume
    low, high = np.percentile(data[..., volume], [1, 99])
    panels = [("before: volume 10 of 65", mosaic(data[..., volume]), "gray", (low, high)),
              ("after: Mirlune -denoise", mosaic(denoised[..., volume]), "gray", (low, high)),
              ("removed (before - after)", mosaic(data[..., volume] - denoised[..., volume]), "RdBu_r",
               (-3 * noise.mean(), 3 * noise.mean())),
              ("noise level (sigma)", mosaic(noise), "magma", (0, None)),
              ("rank (components kept)", mosaic(rank), "viridis", (0, None))]
    figure, axes = plt.subplots(len(panels), 1, figsize=(10, 1.45 * len(panels)), constrained_layout=True)
    for axis, (title, picture, colours, (vmin, vmax)) in zip(axes, panels):
        shown = axis.imshow(picture, cmap=colours, vmin=vmin, vmax=vmax, interpolation="nearest")
        axis.set_title(title, fontsize=9, loc="left")
        axis.set_xticks([])
        axis.set_yticks([])
        figure.colorbar(shown, ax=axis, fraction=0.02, pad=0.01)
    figure.suptitle("dipy's small_64D (10 x 10 x 10 voxels of 2 mm, 65 volumes): slices 0 to 9, left to right",
                    fontsize=9)
    figure.savefig(args.out, dpi=110)


if __name__ == "__main__":
    main()
