"""Reads the files an image-file test wrote with nibabel, an independent reader,
checks them, and writes one file back for our reader to check."""
import sys

import nibabel as nib
import numpy as np

folder = sys.argv[1]


def pattern(shape):
    x, y, z, t = np.indices(shape)
    return x + 10 * y + 100 * z + 1000 * t


def fail(message):
    print("nibabel_check:", message)
    sys.exit(1)


expected_affine = np.array([[-1.5, 0, 0, 10.5], [0, -2, 0, -20], [0, 0, 2.5, 30], [0, 0, 0, 1]])
for name, dtype, shape in [("short.nii", np.int16, (5, 4, 3, 2)),
                           ("float.nii.gz", np.float32, (5, 4, 3, 2)),
                           ("double.nii", np.float64, (5, 4, 3))]:  # one frame: a 3-D image
    image = nib.load(f"{folder}/{name}")
    header = image.header
    if image.shape != shape:
        fail(f"{name}: shape {image.shape}, expected {shape}")
    if header.get_data_dtype() != dtype:
        fail(f"{name}: type {header.get_data_dtype()}")
    if tuple(float(v) for v in header["pixdim"][1:5]) != (1.5, 2.0, 2.5, 1.0):
        fail(f"{name}: pixdim {header['pixdim']}")
    if int(header["sform_code"]) != 2 or int(header["qform_code"]) != 1:
        fail(f"{name}: codes {header['sform_code']} {header['qform_code']}")
    if not np.allclose(header.get_sform(), expected_affine):
        fail(f"{name}: sform {header.get_sform()}")
    if header.get_xyzt_units() != ("mm", "sec"):
        fail(f"{name}: units {header.get_xyzt_units()}")
    data = np.asanyarray(image.dataobj).reshape(shape)
    if not np.array_equal(data, pattern(shape + (1,) * (4 - len(shape))).reshape(shape).astype(dtype)):
        fail(f"{name}: voxel values differ")

# A file of nibabel's own: scaled int16, compressed.
shape = (5, 4, 3, 2)
affine = np.array([[1.5, 0, 0, 10.5], [0, 2, 0, -20], [0, 0, 2.5, 30], [0, 0, 0, 1]])
values = pattern(shape).astype(np.float64)
stored = ((values - 10) / 0.5).astype(np.int16)
image = nib.Nifti1Image(stored, affine)
image.header.set_slope_inter(0.5, 10)
image.header.set_sform(affine, code=1)
nib.save(image, f"{folder}/from_nibabel.nii.gz")

# The other formats a series may come in: NIfTI-2 and ANALYZE 7.5 (a .hdr/.img pair).
values32 = pattern(shape).astype(np.float32)
nib.save(nib.Nifti2Image(values32, affine), f"{folder}/nifti2.nii")
analyze = nib.AnalyzeImage(pattern(shape).astype(np.int16), affine)
nib.save(analyze, f"{folder}/analyze.hdr")
