"""The Python module against the program's files, and what a notebook user relies on: its
refusals, the interpreter's lock released, Ctrl-C, no output, and memory that stays put.
Run by ctest with PYTHONPATH at the built package, MIRLUNE_BINARY and MAKE_SERIES set."""
import _thread
import os
import subprocess
import threading
import time

import nibabel as nib
import numpy as np
import pytest

import mirlune

NAMES = ["mask", "ratFiltre", "disparite", "dispersion", "dispersion2"]


def make_series(path, size, seed=1):
    subprocess.run([os.environ["MAKE_SERIES"], str(path), *map(str, size), "--seed", str(seed)], check=True,
                   stdout=subprocess.DEVNULL)


def program(series, folder, *options):
    subprocess.run([os.environ["MIRLUNE_BINARY"], "-i", str(series), "-o", str(folder), *options], check=True,
                   stdout=subprocess.DEVNULL)
    return {name: np.asanyarray(nib.load(folder / f"{name}.nii").dataobj) for name in NAMES}


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    make_series(folder / "series.nii.gz", (24, 22, 14, 12))
    return folder


def test_the_program_files_bit_for_bit(sample):
    files = program(sample / "series.nii.gz", sample / "out")
    image = nib.load(sample / "series.nii.gz")
    for threads in (1, 2):
        arrays = mirlune.analyse(np.asanyarray(image.dataobj), threads=threads)
        images = mirlune.run(image, threads=threads)
        for name in NAMES:
            assert np.array_equal(getattr(arrays, name), files[name]), name
            assert np.array_equal(np.asanyarray(getattr(images, name).dataobj), files[name]), name
            assert getattr(arrays, name).dtype == files[name].dtype, name
    assert np.allclose(images.disparite.affine, image.affine)
    assert images.ratFiltre.header.get_zooms() == image.header.get_zooms()
    assert images.disparite.header.get_xyzt_units() == image.header.get_xyzt_units()
    assert images.mask.header["descrip"].tobytes().rstrip(b"\0") == f"Mirlune {mirlune.__version__}".encode()


def test_options_as_the_program_has_them(sample):
    files = program(sample / "series.nii.gz", sample / "seven", "-window", "7", "-demean", "-voisins")
    seven = mirlune.analyse(nib.load(sample / "series.nii.gz").get_fdata(dtype=np.float32), window=7, demean=True,
                            voisins=True)
    for name in NAMES:
        assert np.array_equal(getattr(seven, name), files[name]), name
    voisins = np.asanyarray(nib.load(sample / "seven" / "voisins.nii").dataobj)
    assert np.array_equal(seven.voisins, voisins)
    assert mirlune.analyse(np.ones((4, 4, 4, 30), np.float32), window="auto").window == 5


def test_any_layout_and_type_gives_the_same_result(sample):
    data = np.asanyarray(nib.load(sample / "series.nii.gz").dataobj)
    reference = mirlune.analyse(data)
    for variant in (np.ascontiguousarray(data), data.astype(">f4"), data.astype(np.float64),
                    np.asfortranarray(data)[::1, :, :, :], np.repeat(data, 2, axis=0)[::2]):
        again = mirlune.analyse(variant)
        for name in NAMES:
            assert np.array_equal(getattr(again, name), getattr(reference, name)), name
    masked = mirlune.analyse(data, mask=reference.mask.astype(bool))
    assert np.array_equal(masked.disparite, reference.disparite)


def test_refusals_in_the_programs_words():
    with pytest.raises(ValueError, match="3-D or 4-D array; this one has 2 dimensions"):
        mirlune.analyse(np.ones((4, 4)))
    with pytest.raises(ValueError, match="the mask is 4 x 4 x 3 voxels but the series is 4 x 4 x 4"):
        mirlune.analyse(np.ones((4, 4, 4, 3)), mask=np.ones((4, 4, 3)))
    with pytest.raises(ValueError, match="real numbers"):
        mirlune.analyse(np.ones((4, 4, 4, 3), complex))
    with pytest.raises(ValueError, match="beyond the range of 32-bit floats"):
        mirlune.analyse(np.full((4, 4, 4, 3), 1e200))
    with pytest.raises(ValueError, match="-window 4: the side must be an odd number"):
        mirlune.analyse(np.ones((4, 4, 4, 3)), window=4)


def test_non_finite_samples_are_left_out_and_said():
    data = np.random.default_rng(2).uniform(1, 2, (8, 8, 6, 5)).astype(np.float32)
    data[3, 3, 3, 0] = np.nan
    data[4, 4, 2, 4] = np.inf
    result = mirlune.analyse(data)
    assert result.non_finite == 2 and result.mask[3, 3, 3] == 0 and result.mask[4, 4, 2] == 0
    assert result.notes == ["2 voxels with a sample that is not a finite number (NaN or infinite) left out of the "
                            "analysis"]
    assert np.isfinite(result.disparite).all() and np.isfinite(result.ratFiltre).all()
    empty = mirlune.analyse(np.zeros((4, 4, 4, 3)))
    assert empty.notes == ["the mask is empty: nothing was analysed"]


def test_quiet_unless_asked(sample, capfd):
    data = np.asanyarray(nib.load(sample / "series.nii.gz").dataobj)
    mirlune.analyse(data)
    assert capfd.readouterr() == ("", "")
    seen = []
    mirlune.analyse(data, progress=lambda done, total: seen.append((done, total)))
    assert seen and seen[-1][0] == seen[-1][1]


@pytest.fixture(scope="module")
def long_series(tmp_path_factory):
    """A series whose analysis takes seconds: a window of 7 on 200 frames."""
    folder = tmp_path_factory.mktemp("long")
    make_series(folder / "long.nii", (28, 28, 16, 200))
    return np.asanyarray(nib.load(folder / "long.nii").dataobj)


def test_other_threads_run_while_it_analyses(long_series):
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    start = time.monotonic()
    mirlune.analyse(long_series[:, :, :8], window=7, threads=1)
    stop.set()
    ticker.join()
    during = [t for t in ticks if t > start + 0.1]
    assert len(during) > 10, "the interpreter's lock was held while the analysis ran"


def test_ctrl_c_stops_a_running_analysis(long_series):
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        mirlune.analyse(long_series, window=7, threads=2)
    stopped = time.monotonic() - start
    timer.join()
    # The whole analysis takes several seconds: it stopped within about a second of Ctrl-C.
    assert stopped < 2.5, stopped


def resident_kb():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))


def test_no_memory_growth_over_repeated_calls():
    data = np.random.default_rng(3).uniform(1, 2, (12, 12, 8, 10)).astype(np.float32)
    for _ in range(20):
        mirlune.analyse(data, voisins=True)
    before = resident_kb()
    for _ in range(200):
        mirlune.analyse(data, voisins=True)
    assert resident_kb() - before < 4096
