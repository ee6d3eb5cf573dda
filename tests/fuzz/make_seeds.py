#!/usr/bin/python3
"""Writes the fuzzer's seeds: small valid files of each form the reader takes, each
behind the byte that picks its form (0 plain, 1 compressed by the harness, 2 a .hdr/.img
pair, 3 ASCII, 4 compressed as it stands, 5 a name without ending, 6 the header
extension's text alone), and files that once reached faults. Needs Debian's nibabel.

    tests/fuzz/make_seeds.py tests/fuzz/seeds [ASCII_FILE.nia]
"""
import gzip
import io
import os
import sys

import nibabel as nib
import numpy as np

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
shape = (3, 2, 2, 3)
values = np.arange(np.prod(shape), dtype=np.float32).reshape(shape) + 1
affine = np.diag([2.0, 2.0, 2.4, 1.0])


def image_bytes(image):
    holder = io.BytesIO()
    if isinstance(image, nib.AnalyzeImage) and not isinstance(image, nib.Nifti1Image):
        header, data = io.BytesIO(), io.BytesIO()
        image.to_file_map({"header": nib.FileHolder(fileobj=header), "image": nib.FileHolder(fileobj=data)})
        return header.getvalue() + data.getvalue()
    image.to_file_map({"image": nib.FileHolder(fileobj=holder)})
    return holder.getvalue()


def seed(name, form, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([form]) + data)


seed("nifti1", 0, image_bytes(nib.Nifti1Image(values, affine)))
seed("nifti1_compressed", 1, image_bytes(nib.Nifti1Image(values, affine)))
seed("nifti2", 0, image_bytes(nib.Nifti2Image(values, affine)))
scaled = nib.Nifti1Image(values.astype(np.int16), affine)
scaled.header.set_slope_inter(0.5, 3)
seed("nifti1_int16_scaled", 0, image_bytes(scaled))
big = nib.Nifti1Image(values.astype(">f8"), affine)
seed("nifti1_big_endian", 0, image_bytes(big))
pair = nib.Nifti1Pair(values.astype(np.uint8), affine)
seed("nifti1_pair", 2, image_bytes(pair))
seed("analyze_pair", 2, image_bytes(nib.AnalyzeImage(values.astype(np.int32), affine)))
with_ext = nib.Nifti1Image(values, affine)
text = b'{"format":"mirlune-header","properties":[{"key":"note","type":"vector of FLOAT","value":[1.5,2]}]}'
with_ext.header.extensions.append(nib.nifti1.Nifti1Extension(6, text))
seed("nifti1_extension", 0, image_bytes(with_ext))
seed("raw_gzip", 4, gzip.compress(image_bytes(nib.Nifti1Image(values, affine)), mtime=0))
seed("no_ending", 5, image_bytes(nib.Nifti1Image(values, affine)))
seed("extension_text", 6, text)

# Files that reached faults: data far beyond a 32-bit offset, values beyond float range,
# not-a-number samples, an extension claiming the placement.
far = bytearray(image_bytes(nib.Nifti1Image(values, affine)))
far[108:112] = np.array([2147483648.0], dtype="<f4").tobytes()
seed("offset_2e31", 0, bytes(far))
seed("float64_1e200", 0, image_bytes(nib.Nifti1Image(np.full(shape, 1e200), affine)))
huge = nib.Nifti1Image(values.astype(np.int16), affine)
huge.header.set_slope_inter(1e38, 0)
seed("int16_slope_1e38", 0, image_bytes(huge))
holes = values.copy()
holes[1, 0, 0, 0] = np.nan
holes[2, 1, 1, 2] = np.inf
seed("nan_inf_samples", 0, image_bytes(nib.Nifti1Image(holes, affine)))
claims = nib.Nifti1Image(values, affine)
placement = (b'{"format":"mirlune-header","properties":[{"key":"srow","type":"vector of FLOAT","value":'
             b'[null,null,null,null,null,null,null,null,null,null,null,null]},{"key":"qform_code","type":"S32",'
             b'"value":99999},{"key":"volume_dimension","type":"vector of FLOAT","value":[1.5,2]}]}')
claims.header.extensions.append(nib.nifti1.Nifti1Extension(6, placement))
seed("extension_claims_placement", 0, image_bytes(claims))
if len(sys.argv) > 2:
    with open(sys.argv[2], "rb") as f:
        seed("ascii", 3, f.read())
