#!/usr/bin/python3
"""Mirlune -denoise beside dwidenoise (Debian's mrtrix3, in double precision), on dipy's
small_64D diffusion series and on a generated low-rank series, every voxel denoised, both
estimators, windows of one and three sides. Prints the largest differences in the interior
(voxels whose window lies inside the image) and at the edge: the denoised series over the
series' range and the noise map relative (this version of the peer gives no rank map).

    bench/validate_denoise.py [--build DIR] [--out DIR]

Exits 1 where the interior differs by more than 1e-5 (series and noise); the edge is
reported, not judged. Needs dwidenoise, nibabel and (for small_64D) dipy.
"""
import argparse
import os
import shutil
import subprocess
import sys

import nibabel as nib
import numpy as np

WINDOWS = ["5", "3", "5,5,3", "7"]


def generated(path):
    """A baseline, four components of smooth maps and random courses, Gaussian noise."""
    rng = np.random.default_rng(1)
    X, Y, Z, T = 20, 18, 12, 40
    grid = np.stack(np.meshgrid(*(np.linspace(0, 1, n) for n in (X, Y, Z)), indexing="ij"), -1)
    maps = np.stack([np.sin(3 * k * grid @ rng.uniform(0.5, 1.5, 3) + k) for k in range(1, 5)], -1)
    data = 500 + 40 * maps @ rng.standard_normal((4, T)) + 5 * rng.standard_normal((X, Y, Z, T))
    nib.save(nib.Nifti1Image(data.astype(np.float32), np.diag([2.0, 2.0, 2.5, 1.0])), path)


def interior(shape, sides):
    """True at the voxels whose window lies inside the image."""
    inside = np.zeros(shape[:3], bool)
    cut = tuple(slice(s // 2, n - s // 2) for s, n in zip(sides, shape[:3]))
    inside[cut] = True
    return inside


def compare(mirlune, peer, series, work, window, estimator):
    sides = [int(s) for s in window.split(",")] * (1 if "," in window else 3)
    image = nib.load(series)
    ones = os.path.join(work, "ones.nii")
    nib.save(nib.Nifti1Image(np.ones(image.shape[:3], np.float32), image.affine), ones)
    out = os.path.join(work, "mirlune")
    subprocess.run([mirlune, "-i", series, "-mask", ones, "-o", out, "-denoise", "-estimator", estimator,
                    "-window", window], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([peer, series, os.path.join(work, "peer.nii"), "-noise", os.path.join(work, "peer_noise.nii"),
                    "-extent", ",".join(map(str, sides)),
                    "-datatype", "float64", "-estimator", estimator.capitalize(), "-nthreads", "2", "-force",
                    "-quiet"], check=True)

    def load(path):
        return np.asanyarray(nib.load(path).dataobj).astype(np.float64)

    data = load(series)
    span = data.max() - data.min()
    denoised = np.abs(load(os.path.join(out, "denoised.nii")) - load(os.path.join(work, "peer.nii"))).max(-1) / span
    ours_noise, peer_noise = load(os.path.join(out, "noise.nii")), load(os.path.join(work, "peer_noise.nii"))
    noise = np.abs(ours_noise - peer_noise) / np.maximum(peer_noise, 1e-30)
    inside = interior(data.shape, sides)
    row = []
    for where in (inside, ~inside):
        if where.any():
            row += [denoised[where].max(), noise[where].max()]
        else:
            row += [0.0, 0.0]
    return row


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", default="bench/out/validate")
    args = parser.parse_args()
    peer = shutil.which("dwidenoise")
    if not peer:
        sys.exit("validate: dwidenoise not found (scripts/install-deps.sh bench installs Debian's mrtrix3)")
    mirlune = os.path.join(os.path.abspath(args.build), "program", "Mirlune")
    work = os.path.abspath(args.out)
    os.makedirs(work, exist_ok=True)
    series = []
    try:
        from dipy.data import get_fnames
        series.append(("small_64D", get_fnames("small_64D")[0]))
    except ImportError:
        print("dipy not found (python3-dipy): the generated series only")
    generated(os.path.join(work, "generated.nii"))
    series.append(("generated", os.path.join(work, "generated.nii")))

    print(f"{'series':>10} {'window':>6} {'est':>4} | interior: {'series':>8} {'noise':>8} | "
          f"edge: {'series':>8} {'noise':>8}")
    worst = 0.0
    for name, path in series:
        for window in WINDOWS:
            for estimator in ("exp1", "exp2"):
                row = compare(mirlune, peer, path, work, window, estimator)
                worst = max(worst, row[0], row[1])
                print(f"{name:>10} {window:>6} {estimator:>4} | {'':>9} {row[0]:>8.1e} {row[1]:>8.1e} | "
                      f"{'':>5} {row[2]:>8.1e} {row[3]:>8.1e}", flush=True)
    print("series: largest difference of the denoised series over the series' range; noise: relative.")
    print("Edge: the voxels whose window is moved inside the image, as the peer moves it.")
    if worst > 1e-5:
        sys.exit(f"validate: the interior differs by {worst:.2g}, above 1e-5")


if __name__ == "__main__":
    main()
