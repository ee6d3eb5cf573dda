"""Mirlune's local principal component analysis of dynamic image series, on numpy arrays
and nibabel images.

Around every voxel of a 4-D series (x, y, z and frames: dynamic PET, fMRI, diffusion),
Mirlune analyses the time courses of the masked voxels in the cube centred on it and
keeps how the singular values of their matrix of mean products spread, and the dominant
time course. The same analysis as the ``Mirlune`` program, bit for bit. On the same
windows, :func:`denoise` removes the components a Marchenko-Pastur law attributes to noise
(Veraart J. et al., NeuroImage 142 (2016) 394-406; Cordero-Grande L. et al., NeuroImage
200 (2019) 391-404), as the program's ``-denoise`` does.

    >>> import mirlune
    >>> result = mirlune.run("sub-01_pet.nii.gz")
    >>> result.dispersion2.get_fdata()
    >>> denoised, sigma = mirlune.denoise(dwi, return_sigma=True)
"""
from dataclasses import dataclass, field
import os
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _mirlune

__version__: str = _mirlune.version
__all__ = ["analyse", "denoise", "run", "Result"]

_FLOAT_MAX = float(np.finfo(np.float32).max)
_MAPS = ("mask", "ratFiltre", "disparite", "dispersion", "dispersion2", "voisins", "denoised", "noise", "rank")
_ESTIMATORS = ("exp1", "exp2")

Progress = Union[bool, Callable[[int, int], Any]]
Window = Union[int, str, Sequence[int]]


@dataclass(repr=False)
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
    denoised, noise, rank
        With ``denoise=True``: the series denoised at the mask's voxels (float32, 0
        elsewhere), the noise level sigma (float32) and the number of components kept as
        signal (int16) at each of them; see :func:`denoise`.
    window
        The cube's sides used, along x, y and z.
    mask_voxels, analysed, non_finite
        Voxels in the mask, analysed, and left out for a sample that is not a finite number.
    notes
        What makes the result say little (an empty mask, a single frame, cubes holding
        fewer voxels than frames), and non-finite samples left out: the program's warnings.
    """

    mask: Any
    ratFiltre: Any
    disparite: Any
    dispersion: Any
    dispersion2: Any
    voisins: Optional[Any] = None
    denoised: Optional[Any] = None
    noise: Optional[Any] = None
    rank: Optional[Any] = None
    window: Tuple[int, int, int] = (5, 5, 5)
    mask_voxels: int = 0
    analysed: int = 0
    non_finite: int = 0
    notes: List[str] = field(default_factory=list)

    def __repr__(self) -> str:
        shape = getattr(self.mask, "shape", None)
        maps = [name for name in _MAPS if getattr(self, name) is not None]
        return (f"Result(window={self.window}, shape={shape}, mask_voxels={self.mask_voxels}, "
                f"analysed={self.analysed}, non_finite={self.non_finite}, maps={maps}, notes={self.notes})")


def _flag(name: str, value: Any, function: str) -> bool:
    """A yes-or-no option: True, False or a numpy bool, never a string that looks like one."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{function}(): {name} must be True or False, not {type(value).__name__} {value!r}")


def _unmasked(array: Any, what: str, function: str) -> np.ndarray:
    if isinstance(array, np.ma.MaskedArray):
        # Its hidden values are still there, and would be analysed: the caller decides.
        raise ValueError(f"{function}(): the {what} is a masked array; pass {what}.filled(...) and, for the "
                         f"voxels to leave out, a mask")
    return np.asanyarray(array)


def _series_array(series: Any, function: str) -> np.ndarray:
    """The series as 4-D float32 in Fortran order, in place when it is one already."""
    array = _unmasked(series, "series", function)
    if array.ndim != 4:
        raise ValueError(f"{function}(): the series must be a 4-D array (x, y, z, frames); this one has "
                         f"{array.ndim} dimensions (a single frame is series[..., numpy.newaxis])")
    if 0 in array.shape:
        raise ValueError(f"{function}(): the series has no voxels or no frames: its shape is {array.shape}")
    if not (np.issubdtype(array.dtype, np.integer) or np.issubdtype(array.dtype, np.floating)) \
            or np.issubdtype(array.dtype, np.bool_):
        raise ValueError(f"{function}(): the series must hold real numbers; this one holds {array.dtype}")
    if array.dtype == np.float32 and array.dtype.isnative and array.flags.f_contiguous:
        return array
    if np.issubdtype(array.dtype, np.floating) and array.dtype.itemsize > 4:
        finite = np.abs(array[np.isfinite(array)])
        if finite.size and finite.max() > _FLOAT_MAX:
            raise ValueError(f"{function}(): the series holds values beyond the range of 32-bit floats "
                             f"(about 3.4e38); they cannot be analysed")
    return np.asfortranarray(array, dtype=np.float32)


def _mask_array(mask: Any, shape: tuple, function: str) -> np.ndarray:
    """The mask as 3-D float32 in Fortran order; a 4-D mask of one frame is 3-D."""
    array = _unmasked(mask, "mask", function)
    if array.ndim == 4 and array.shape[3] == 1:
        array = array[..., 0]
    if array.ndim != 3:
        raise ValueError(f"{function}(): the mask must be a 3-D array; this one has {array.ndim} dimensions")
    if array.shape != shape[:3]:
        raise ValueError("{}(): the mask is {} x {} x {} voxels but the series is {} x {} x {}".format(
            function, *array.shape, *shape[:3]))
    return np.asfortranarray(array, dtype=np.float32)


def _window_text(window: Any, function: str) -> str:
    """The window as the program's -window takes it: "" (the default), "7", "5,5,3" or "auto"."""
    if isinstance(window, str):
        return window
    if isinstance(window, (int, np.integer)) and not isinstance(window, bool):
        return "" if window == 5 else str(int(window))
    if isinstance(window, (tuple, list)) and len(window) == 3 and all(
            isinstance(w, (int, np.integer)) and not isinstance(w, bool) for w in window):
        return ",".join(str(int(w)) for w in window)
    raise TypeError(f"{function}(): window must be an odd number from 3 to 15, three of them (x, y, z) or "
                    f"\"auto\", not {window!r}")


def _estimator(denoise: Any, estimator: Any, function: str) -> str:
    """The native module's denoise argument: "" for none, else the estimator's name."""
    if not _flag("denoise", denoise, function):
        if estimator is not None:
            raise ValueError(f"{function}(): estimator chooses how denoise=True estimates the noise, and "
                             f"denoise is False")
        return ""
    if estimator is None:
        return "exp2"
    if not isinstance(estimator, str) or estimator.lower() not in _ESTIMATORS:
        raise ValueError(f"{function}(): estimator must be \"exp1\" or \"exp2\", not {estimator!r}")
    return estimator.lower()


def _analyse(series: np.ndarray, mask: Optional[np.ndarray], window: Window, demean: Any, voisins: Any,
             threads: Optional[int], progress: Progress, function: str, denoise: str = "",
             maps: bool = True) -> Any:
    demean = _flag("demean", demean, function)
    voisins = _flag("voisins", voisins, function)
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, (int, np.integer))
                                or not 1 <= threads <= 1024):
        raise ValueError(f"{function}(): threads must be a whole number from 1 to 1024")
    side = _window_text(window, function)
    report: Optional[Callable[[int, int], Any]]
    if progress is True:
        def report(done: int, total: int) -> None:
            print(f"mirlune: {done} of {total} voxels", flush=True)
    elif progress is False or progress is None:
        report = None
    elif callable(progress):
        report = progress
    else:
        raise TypeError(f"{function}(): progress must be True, False or a callable, not {progress!r}")
    try:
        out = _mirlune.analyse(series, mask, side, demean, voisins, denoise, maps, int(threads or 0), report)
    except ValueError as error:
        raise ValueError(f"{function}(): {error}") from None
    if not maps:
        return out
    return Result(mask=out["mask"], ratFiltre=out["ratFiltre"], disparite=out["disparite"],
                  dispersion=out["dispersion"], dispersion2=out["dispersion2"], voisins=out.get("voisins"),
                  denoised=out.get("denoised"), noise=out.get("noise"), rank=out.get("rank"),
                  window=tuple(out["window"]), mask_voxels=out["mask_voxels"], analysed=out["analysed"],
                  non_finite=out["non_finite"], notes=list(out["notes"]))


def analyse(series: Any, mask: Any = None, *, window: Window = 5, demean: bool = False,
            voisins: bool = False, threads: Optional[int] = None, progress: Progress = False,
            counts: Optional[bool] = None, denoise: bool = False, estimator: Optional[str] = None) -> Result:
    """The local principal component analysis of a series in an array.

    Parameters
    ----------
    series : array_like
        The series: 4-D (x, y, z, frames), of any real dtype and memory order (a single
        frame is ``series[..., numpy.newaxis]``). A float32 array in Fortran order
        (nibabel's) is read in place; any other is converted once. A voxel with a sample
        that is not a finite number (NaN or infinite) is left out of the analysis. Masked
        arrays are refused: their hidden values would be analysed.
    mask : array_like, optional
        3-D, the series' x, y and z extents (bool or numbers): the voxels non-zero in it
        are analysed. By default, the voxels non-zero in every frame and positive in the
        middle one.
    window : int, (int, int, int) or "auto", optional
        The cube's side, odd, from 3 to 15 (default 5); three sides (x, y, z) for thick
        slices, as (5, 5, 3) or "5,5,3". "auto": the smallest cube holding more voxels
        than the series has frames.
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
    denoise : bool, optional
        Also give the denoised series, noise and rank, as :func:`denoise` makes them (the
        program's ``-denoise``); the maps are unchanged by it.
    estimator : "exp1" or "exp2", optional
        With ``denoise=True``: the noise estimator (default "exp2"); see :func:`denoise`.

    Returns
    -------
    Result
        The mask (int16), disparite, dispersion and dispersion2 (float64, 3-D), ratFiltre
        (float32, 4-D), voisins when asked for, denoised, noise and rank when asked for, and
        the counts and notes of the run.

    Raises
    ------
    ValueError
        For a series or mask that cannot be analysed, in the program's words.
    TypeError
        For an option of the wrong kind (``demean="no"``, say).
    KeyboardInterrupt
        On Ctrl-C while the analysis runs: it stops within a fraction of a second.
    MemoryError
        When the series does not fit in memory.
    """
    if counts is not None:
        voisins = counts
    chosen = _estimator(denoise, estimator, "analyse")
    array = _series_array(series, "analyse")
    mask_array = None if mask is None else _mask_array(mask, array.shape, "analyse")
    return _analyse(array, mask_array, window, demean, voisins, threads, progress, "analyse", chosen)


def denoise(series: Any, mask: Any = None, *, window: Window = 5, estimator: str = "exp2", demean: bool = False,
            return_sigma: bool = False, return_rank: bool = False, threads: Optional[int] = None,
            progress: Progress = False) -> Any:
    """The series denoised by the Marchenko-Pastur law over local windows, as the program's
    ``-denoise`` does it, bit for bit.

    At each voxel the mask selects, the matrix of the courses of every voxel in the window
    around it (in the mask or not; the window moved inside the image at its edges), its
    eigenvalues, the noise level the Marchenko-Pastur law gives them, and the voxel's course
    projected onto the components above it (Veraart J. et al., Denoising of diffusion MRI
    using random matrix theory, NeuroImage 142 (2016) 394-406; Cordero-Grande L. et al.,
    Complex diffusion-weighted image estimation via matrix recovery under general noise
    models, NeuroImage 200 (2019) 391-404). Not for series already interpolated or smoothed:
    their noise is no longer independent from voxel to voxel, and the law does not hold.

    Parameters
    ----------
    series : array_like
        4-D (x, y, z, frames), as for :func:`analyse`; samples that are not finite numbers
        are taken as 0 in the windows, and their voxels are not denoised.
    mask : array_like, optional
        3-D: the voxels to denoise (non-zero). By default the program's rule (the voxels
        non-zero in every frame and positive in the middle one); ``numpy.ones(shape[:3])``
        denoises every voxel. Voxels outside it are 0 in the result.
    window : int, (int, int, int) or "auto", optional
        The window's side (default 5), three sides for thick slices, or "auto": the smallest
        cube holding more voxels than the series has frames.
    estimator : "exp1" or "exp2", optional
        How the noise level is read off the eigenvalues: "exp1" as in Veraart et al.
        (2016), "exp2" (the default) as in Cordero-Grande et al. (2019).
    demean : bool, optional
        Take each window's mean course out before the decomposition and put it back after
        (fMRI).
    return_sigma, return_rank : bool, optional
        Also return the noise level sigma (float32, 3-D) and the number of components kept
        as signal (int16, 3-D) at each voxel; 0 outside the mask.
    threads, progress
        As for :func:`analyse`; the result does not depend on the number of threads.

    Returns
    -------
    numpy.ndarray or tuple
        The denoised series (float32, the series' shape); with ``return_sigma`` and/or
        ``return_rank``, a tuple of it, then sigma, then rank.

    Raises
    ------
    ValueError, TypeError, KeyboardInterrupt, MemoryError
        As for :func:`analyse`.
    """
    chosen = _estimator(True, estimator, "denoise")
    return_sigma = _flag("return_sigma", return_sigma, "denoise")
    return_rank = _flag("return_rank", return_rank, "denoise")
    array = _series_array(series, "denoise")
    mask_array = None if mask is None else _mask_array(mask, array.shape, "denoise")
    out = _analyse(array, mask_array, window, demean, False, threads, progress, "denoise", chosen, maps=False)
    results = [out["denoised"]]
    if return_sigma:
        results.append(out["noise"])
    if return_rank:
        results.append(out["rank"])
    return results[0] if len(results) == 1 else tuple(results)


def _image(source: Any, what: str) -> Any:
    """A nibabel image from an image or a path."""
    import nibabel as nib

    if isinstance(source, (str, os.PathLike)):
        try:
            return nib.load(os.fspath(source))
        except (OSError, nib.filebasedimages.ImageFileError) as error:
            raise ValueError(f"run(): cannot read the {what} {os.fspath(source)}: {error}") from None
    if hasattr(source, "dataobj") and hasattr(source, "affine"):
        return source
    raise TypeError(f"run(): the {what} must be a nibabel image or a path to one, not {type(source).__name__}")


def _scaled(image: Any) -> np.ndarray:
    """The image's values as the program reads them: the stored numbers, then in double the
    file's slope and intercept (which nibabel keeps on the data, not the header), then
    32-bit floats."""
    proxy = image.dataobj
    raw = np.asanyarray(proxy.get_unscaled()) if hasattr(proxy, "get_unscaled") else np.asanyarray(proxy)
    slope = float(getattr(proxy, "slope", 1.0))
    inter = float(getattr(proxy, "inter", 0.0))
    while raw.ndim > 4 and raw.shape[-1] == 1:
        raw = raw[..., 0]
    if raw.ndim == 3:
        raw = raw[..., np.newaxis]  # a 3-D image is a series of one frame, as the program reads it
    if not np.isfinite(slope) or slope == 0 or (slope == 1 and inter == 0):
        return raw
    inter = inter if np.isfinite(inter) else 0.0
    return raw.astype(np.float64) * slope + inter


def _output(data: np.ndarray, source: Any) -> Any:
    """A NIfTI image of data made as the program makes its files: the input's grid, voxel
    sizes, units and placement; the filtered series its timing too; nothing else of the
    input's header (no display range, intent, aux_file or extensions)."""
    import nibabel as nib

    header = nib.Nifti1Header()
    header.set_data_dtype(data.dtype)
    series = data.ndim == 4 and data.shape[3] > 1
    if data.ndim == 4 and not series:
        data = data[..., 0]  # one frame is a 3-D image, as the program writes it
    header.set_data_shape(data.shape)
    zooms = tuple(float(z) for z in source.header.get_zooms()[:3])
    if series:
        spacing = source.header.get_zooms()[3:4]
        zooms += (float(spacing[0]) if spacing and np.isfinite(spacing[0]) and spacing[0] > 0 else 1.0,)
    header.set_zooms(zooms)
    header.set_slope_inter(1, 0)
    header["descrip"] = f"Mirlune {__version__}".encode()
    if isinstance(source.header, nib.Nifti1Header):
        header["xyzt_units"] = source.header["xyzt_units"]
        if series:
            header["toffset"] = source.header["toffset"]
            header["dim_info"] = source.header["dim_info"]
    out = nib.Nifti1Image(data, source.affine, header=header)
    if isinstance(source.header, nib.Nifti1Header):
        out.set_qform(*source.header.get_qform(coded=True))
        out.set_sform(*source.header.get_sform(coded=True))
    return out


def run(img: Any, mask: Any = None, *, mask_img: Any = None, window: Window = 5, demean: bool = False,
        voisins: bool = False, threads: Optional[int] = None, progress: Progress = False,
        counts: Optional[bool] = None, denoise: bool = False, estimator: Optional[str] = None) -> Result:
    """The analysis of an image series, as the ``Mirlune`` program does it, without files.

    Parameters
    ----------
    img : nibabel image or path
        The series (NIfTI-1, NIfTI-2 or ANALYZE, as nibabel loads them); its values are
        scaled as the program scales them (the stored numbers, the file's slope and
        intercept in double, then 32-bit floats). A 3-D image is a series of one frame.
    mask : nibabel image, path or array, optional
        The voxels non-zero in it are analysed. It must have the series' grid and, being
        an image, the same placement in space (``mask_img`` is its former name).
    window, demean, voisins, threads, progress, denoise, estimator
        As for :func:`analyse`.

    Returns
    -------
    Result
        Its images are named after the program's files (``mask``, ``ratFiltre``,
        ``disparite``, ``dispersion``, ``dispersion2``, ``voisins``, ``denoised``, ``noise``
        and ``rank`` when asked for):
        NIfTI images with the input's affine, voxel sizes and units, made as the program
        makes its files; ``ratFiltre`` and ``denoised`` keep the frame spacing and timing too. Their
        description is "Mirlune <version>".

    Raises
    ------
    ValueError, TypeError, KeyboardInterrupt, MemoryError
        As for :func:`analyse`; a path that cannot be read is a ValueError naming it.
    """
    if counts is not None:
        voisins = counts
    if mask is None:
        mask = mask_img
    chosen = _estimator(denoise, estimator, "run")
    image = _image(img, "series")
    series = _series_array(_scaled(image), "run")
    mask_array = None
    if mask is not None:
        if isinstance(mask, (str, os.PathLike)) or hasattr(mask, "dataobj"):
            mask_image = _image(mask, "mask")
            scale = max(1.0, float(np.abs(image.affine).max()))
            if not np.allclose(mask_image.affine, image.affine, rtol=0, atol=1e-5 * scale):
                raise ValueError("run(): the mask is not placed in space like the series (their affines differ)")
            mask = _scaled(mask_image)
        mask_array = _mask_array(mask, series.shape, "run")
    result = _analyse(series, mask_array, window, demean, voisins, threads, progress, "run", chosen)
    for name in _MAPS:
        data = getattr(result, name)
        if data is not None:
            setattr(result, name, _output(data, image))
    return result
