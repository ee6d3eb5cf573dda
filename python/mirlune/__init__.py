"""Mirlune's local principal component analysis of dynamic image series, on numpy arrays
and nibabel images.

Around every voxel of a 4-D series (x, y, z and frames: dynamic PET, fMRI, diffusion),
Mirlune analyses the time courses of the masked voxels in the cube centred on it and
keeps how the singular values of their matrix of mean products spread, and the dominant
time course. The same analysis as the ``Mirlune`` program, bit for bit.

    >>> import nibabel as nib, mirlune
    >>> result = mirlune.run(nib.load("sub-01_pet.nii.gz"))
    >>> result.dispersion2.get_fdata()
"""
from dataclasses import dataclass, field
from typing import List, Optional

import numpy as np

from . import _mirlune

__version__ = _mirlune.version
__all__ = ["analyse", "run", "Result"]

_FLOAT_MAX = float(np.finfo(np.float32).max)


@dataclass
class Result:
    """What an analysis gives: arrays from :func:`analyse`, nibabel images from :func:`run`.

    Attributes
    ----------
    mask
        1 at the analysed voxels (those of the mask with a finite course), 0 elsewhere; int16.
    ratFiltre
        At each analysed voxel, the dominant time-course shape of its neighbourhood, of
        unit length over the frames; float32, as many frames as the series.
    disparite
        The largest minus the smallest singular value of the neighbourhood's matrix of
        mean products: how much signal it carries beyond its weakest direction; float64.
    dispersion
        The smallest singular value divided by the largest, between 0 and 1; float64.
    dispersion2
        The second largest singular value divided by the largest, between 0 and 1: the
        weight of the second time-course shape beside the first; float64.
    voisins
        With ``voisins=True``: the number of mask voxels in each analysed voxel's cube; int16.
    window
        The cube's side used.
    mask_voxels, analysed, non_finite
        Voxels in the mask, analysed, and left out for a sample that is not a finite number.
    notes
        What makes the result say little (an empty mask, a single frame, every cube holding
        fewer voxels than frames), and non-finite samples left out: the program's warnings.
    """

    mask: object
    ratFiltre: object
    disparite: object
    dispersion: object
    dispersion2: object
    voisins: Optional[object] = None
    window: int = 5
    mask_voxels: int = 0
    analysed: int = 0
    non_finite: int = 0
    notes: List[str] = field(default_factory=list)


def _series_array(series):
    """The series as 4-D float32 in Fortran order, in place when it is one already."""
    array = np.asanyarray(series)
    if array.ndim == 3:
        array = array[..., np.newaxis]
    if array.ndim != 4:
        raise ValueError(f"the series must be a 3-D or 4-D array; this one has {array.ndim} dimensions")
    if not (np.issubdtype(array.dtype, np.integer) or np.issubdtype(array.dtype, np.floating)) \
            or np.issubdtype(array.dtype, np.bool_):
        raise ValueError(f"the series must hold real numbers; this one holds {array.dtype}")
    if array.dtype == np.float32 and array.dtype.isnative and array.flags.f_contiguous:
        return array
    if np.issubdtype(array.dtype, np.floating) and array.dtype.itemsize > 4:
        finite = np.abs(array[np.isfinite(array)])
        if finite.size and finite.max() > _FLOAT_MAX:
            raise ValueError("the series holds values beyond the range of 32-bit floats (about 3.4e38); "
                             "they cannot be analysed")
    return np.asfortranarray(array, dtype=np.float32)


def _mask_array(mask, shape):
    """The mask as 3-D float32 in Fortran order; a 4-D mask of one frame is 3-D."""
    array = np.asanyarray(mask)
    if array.ndim == 4 and array.shape[3] == 1:
        array = array[..., 0]
    if array.ndim != 3:
        raise ValueError(f"the mask must be a 3-D array; this one has {array.ndim} dimensions")
    if array.shape != shape[:3]:
        raise ValueError("the mask is {} x {} x {} voxels but the series is {} x {} x {}".format(*array.shape, *shape[:3]))
    return np.asfortranarray(array, dtype=np.float32)


def analyse(series, mask=None, *, window=5, demean=False, voisins=False, threads=None, progress=False, counts=None):
    """The local principal component analysis of a series in an array.

    Parameters
    ----------
    series : array_like
        The series: 4-D (x, y, z, frames), or 3-D for a single frame; any real dtype and
        memory order. A float32 array in Fortran order (nibabel's) is read in place; any
        other is converted once. A voxel with a sample that is not a finite number (NaN
        or infinite) is left out of the analysis.
    mask : array_like, optional
        3-D, the series' x, y and z extents (bool or numbers): the voxels non-zero in it
        are analysed. By default, the voxels non-zero in every frame and positive in the
        middle one.
    window : int or "auto", optional
        The cube's side, odd, from 3 to 15 (default 5). "auto": the smallest cube holding
        more voxels than the series has frames.
    demean : bool, optional
        Subtract each voxel's mean over frames from its course first, so that the maps
        describe fluctuations rather than the baseline (fMRI). Dispersion is then 0.
    voisins : bool, optional
        Also give ``voisins``, the number of mask voxels in each analysed voxel's cube (the
        program's ``-voisins``; ``counts`` is its former name, still accepted).
    threads : int, optional
        Worker threads (default: the CPUs this process may use). The result is the same,
        bit for bit, whatever the number.
    progress : bool or callable, optional
        True prints the voxels done now and then; a callable is called with (done, total).

    Returns
    -------
    Result
        The mask (int16), disparite, dispersion and dispersion2 (float64, 3-D), ratFiltre
        (float32, 4-D), voisins when asked for, and the counts and notes of the run.

    Raises
    ------
    ValueError
        For a series or mask that cannot be analysed, in the program's words.
    KeyboardInterrupt
        On Ctrl-C while the analysis runs: it stops within a second.
    MemoryError
        When the series does not fit in memory.
    """
    array = _series_array(series)
    mask_array = None if mask is None else _mask_array(mask, array.shape)
    if threads is not None and (int(threads) < 1 or int(threads) > 1024):
        raise ValueError("threads must be from 1 to 1024")
    if progress is True:
        def progress(done, total):
            print(f"mirlune: {done} of {total} voxels", flush=True)
    elif not progress:
        progress = None
    side = "" if window == 5 else str(window)
    if counts is not None:
        voisins = counts
    out = _mirlune.analyse(array, mask_array, side, bool(demean), bool(voisins), int(threads or 0), progress)
    return Result(mask=out["mask"], ratFiltre=out["ratFiltre"], disparite=out["disparite"],
                  dispersion=out["dispersion"], dispersion2=out["dispersion2"], voisins=out.get("voisins"),
                  window=out["window"], mask_voxels=out["mask_voxels"], analysed=out["analysed"],
                  non_finite=out["non_finite"], notes=list(out["notes"]))


def _scaled(image):
    """The image's values as the program reads them: the stored numbers, then in double the
    file's slope and intercept, then 32-bit floats."""
    raw = np.asanyarray(image.dataobj.get_unscaled()) if hasattr(image.dataobj, "get_unscaled") \
        else np.asanyarray(image.dataobj)
    slope, inter = image.header.get_slope_inter() if hasattr(image.header, "get_slope_inter") else (None, None)
    while raw.ndim > 4 and raw.shape[-1] == 1:
        raw = raw[..., 0]
    if slope is None or not np.isfinite(slope) or slope == 0 or (slope == 1 and not inter):
        return raw
    inter = inter if inter is not None and np.isfinite(inter) else 0.0
    return raw.astype(np.float64) * float(slope) + float(inter)


def run(img, mask_img=None, **options):
    """The analysis of a nibabel image, as the ``Mirlune`` program does it, without files.

    Parameters
    ----------
    img : nibabel image
        The series (NIfTI-1, NIfTI-2 or ANALYZE, as nibabel loads them); its values are
        scaled as the program scales them.
    mask_img : nibabel image, optional
        The mask: the voxels non-zero in it are analysed. It must have the series' grid
        and, like the program requires, the same placement in space.
    **options
        ``window``, ``demean``, ``voisins``, ``threads`` and ``progress``, as for
        :func:`analyse`.

    Returns
    -------
    Result
        Its images are named after the program's files (``mask``, ``ratFiltre``,
        ``disparite``, ``dispersion``, ``dispersion2``, and ``voisins`` when asked for): NIfTI
        images with the input's affine, voxel sizes and units; ``ratFiltre`` keeps the frame
        spacing too. Their description is "Mirlune <version>".
    """
    import nibabel as nib

    mask = None
    if mask_img is not None:
        if not np.allclose(mask_img.affine, img.affine, rtol=0, atol=1e-5 * max(1.0, np.abs(img.affine).max())):
            raise ValueError("the mask is not placed in space like the series (their affines differ)")
        mask = np.asanyarray(mask_img.dataobj)
    result = analyse(_scaled(img), mask, **options)
    images = {}
    for name in ("mask", "ratFiltre", "disparite", "dispersion", "dispersion2", "voisins"):
        data = getattr(result, name)
        if data is None:
            continue
        header = nib.Nifti1Header()
        if isinstance(img.header, nib.Nifti1Header):
            header = img.header.copy()
        header.set_data_dtype(data.dtype)
        header.set_data_shape(data.shape)
        zooms = tuple(img.header.get_zooms()[:3])
        if data.ndim == 4:
            frames = img.header.get_zooms()[3:4] or (1.0,)
            zooms += tuple(frames)
        header.set_zooms(zooms)
        header.set_slope_inter(1, 0)
        header["descrip"] = f"Mirlune {__version__}".encode()
        out = nib.Nifti1Image(data, img.affine, header=header)
        if isinstance(img.header, nib.Nifti1Header):
            out.header.set_qform(*img.header.get_qform(coded=True))
            out.header.set_sform(*img.header.get_sform(coded=True))
        images[name] = out
    for name, image in images.items():
        setattr(result, name, image)
    return result
