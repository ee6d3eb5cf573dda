"""The Python module against the program's files, and what a notebook user relies on: its
refusals, the interpreter's lock released, Ctrl-C, no output, and memory that stays put.
Run by ctest with PYTHONPATH at the built package, MIRLUNE_BINARY and MAKE_SERIES set."""
import _thread
import os
import signal
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
    assert mirlune.analyse(np.ones((4, 4, 4, 30), np.float32), window="auto").window == (5, 5, 5)
    assert mirlune.analyse(np.ones((6, 6, 6, 30), np.float32), window=(5, 5, 3)).window == (5, 5, 3)


@pytest.mark.parametrize("options, keywords", [
    ((), {}),
    (("-estimator", "exp1", "-window", "5,5,3"), {"estimator": "exp1", "window": (5, 5, 3)}),
    (("-demean", "-window", "3"), {"demean": True, "window": 3}),
])
def test_denoising_as_the_program_does_it_and_the_maps_unchanged(sample, options, keywords):
    folder = sample / ("denoised" + "".join(options))
    maps = program(sample / "series.nii.gz", folder, "-denoise", *options)
    files = {name: np.asanyarray(nib.load(folder / f"{name}.nii").dataobj) for name in ("denoised", "noise", "rank")}
    image = nib.load(sample / "series.nii.gz")
    denoised, sigma, rank = mirlune.denoise(np.asanyarray(image.dataobj), return_sigma=True, return_rank=True,
                                            threads=2, **keywords)
    for name, array in (("denoised", denoised), ("noise", sigma), ("rank", rank)):
        assert np.array_equal(array, files[name]) and array.dtype == files[name].dtype, name
    assert np.array_equal(mirlune.denoise(np.asanyarray(image.dataobj), threads=1, **keywords), denoised)
    plain = {k: v for k, v in keywords.items() if k != "estimator"}
    unchanged = mirlune.run(image, **plain)
    for name in NAMES:
        assert np.array_equal(np.asanyarray(getattr(unchanged, name).dataobj), maps[name]), name
    images = mirlune.run(image, denoise=True, **keywords)
    assert np.array_equal(np.asanyarray(images.denoised.dataobj), files["denoised"])
    assert images.denoised.header.get_zooms() == image.header.get_zooms()


def test_compressed_outputs_read_by_nibabel_as_written(sample):
    # Several gzip members (1 MiB each) make one stream for nibabel too.
    big = sample / "big.nii"
    make_series(big, (64, 64, 20, 24))
    subprocess.run([os.environ["MIRLUNE_BINARY"], "-i", str(big), "-o", str(sample / "gz"), "-compress", "-denoise",
                    "--threads", "2"], check=True, stdout=subprocess.DEVNULL)
    denoised = mirlune.denoise(np.asanyarray(nib.load(big).dataobj))
    assert np.array_equal(np.asanyarray(nib.load(sample / "gz" / "denoised.nii.gz").dataobj), denoised)


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
    with pytest.raises(ValueError, match="4-D array .x, y, z, frames.; this one has 2 dimensions"):
        mirlune.analyse(np.ones((4, 4)))
    with pytest.raises(ValueError, match="the mask is 4 x 4 x 3 voxels but the series is 4 x 4 x 4"):
        mirlune.analyse(np.ones((4, 4, 4, 3)), mask=np.ones((4, 4, 3)))
    with pytest.raises(ValueError, match="real numbers"):
        mirlune.analyse(np.ones((4, 4, 4, 3), complex))
    with pytest.raises(ValueError, match="beyond the range of 32-bit floats"):
        mirlune.analyse(np.full((4, 4, 4, 3), 1e200))
    with pytest.raises(ValueError, match="-window 4: a side must be an odd number"):
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


@pytest.fixture(scope="module")
def wide_series(tmp_path_factory):
    """A series whose every voxel costs milliseconds: signal everywhere, 600 frames, for the
    widest window."""
    rng = np.random.default_rng(5)
    data = (1000 + 100 * rng.random((16, 16, 6, 1)) + 3 * rng.standard_normal((16, 16, 6, 600))).astype(np.float32)
    path = tmp_path_factory.mktemp("wide") / "wide.nii"
    nib.save(nib.Nifti1Image(data, np.eye(4)), path)
    return path


@pytest.mark.parametrize("caller", ["module", "program"])
def test_ctrl_c_stops_the_widest_window_within_a_second(caller, wide_series):
    if caller == "program":
        process = subprocess.Popen([os.environ["MIRLUNE_BINARY"], "-i", str(wide_series), "-window", "15", "-o",
                                    str(wide_series.parent / "out")], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 1
        assert "interrupted by SIGINT" in process.stderr.read()
    else:
        moments = []
        timer = threading.Timer(1.0, lambda: (moments.append(time.monotonic()), _thread.interrupt_main()))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            mirlune.analyse(np.asanyarray(nib.load(wide_series).dataobj), window=15, threads=2)
        sent = moments[0]
        timer.join()
    # The whole analysis takes several seconds: it stopped within about a second of Ctrl-C.
    assert time.monotonic() - sent < 1.0


def test_scaled_files_as_the_program_reads_them(tmp_path):
    # nibabel's fMRI example (int16, scaled) and an int16 PET-like file written here.
    functional = os.path.join(os.path.dirname(nib.__file__), "tests", "data", "functional.nii")
    raw = np.random.default_rng(6).integers(1, 3000, (12, 11, 8, 9)).astype(np.int16)
    pet = nib.Nifti1Image(raw, np.diag([2.0, 2.0, 2.4, 1.0]))
    pet.header.set_slope_inter(0.0371, 12.5)
    nib.save(pet, tmp_path / "pet.nii")
    for series in (functional, tmp_path / "pet.nii"):
        files = program(series, tmp_path / ("out-" + os.path.basename(series)))
        for source in (series, nib.load(series)):
            result = mirlune.run(source)
            for name in NAMES:
                assert np.array_equal(np.asanyarray(getattr(result, name).dataobj), files[name]), (series, name)


def test_outputs_made_as_the_programs_not_copied_from_the_input(tmp_path):
    data = np.random.default_rng(7).uniform(1, 2, (8, 7, 6, 5)).astype(np.float32)
    image = nib.Nifti1Image(data, np.diag([1.5, 1.5, 3.0, 1.0]))
    header = image.header
    header["cal_min"], header["cal_max"] = 0, 5000
    header.set_intent("time series")
    header["aux_file"] = b"colours.lut"
    header.extensions.append(nib.nifti1.Nifti1Extension(6, b"a comment of the input"))
    header.set_xyzt_units("mm", "sec")
    header.set_zooms((1.5, 1.5, 3.0, 2.5))
    nib.save(image, tmp_path / "series.nii")
    result = mirlune.run(tmp_path / "series.nii")
    for name in NAMES:
        out = getattr(result, name).header
        assert (out["cal_min"], out["cal_max"], out["intent_code"], out["aux_file"]) == (0, 0, 0, b""), name
        assert len(out.extensions) == 0, name
        assert out.get_xyzt_units() == ("mm", "sec"), name
    assert result.disparite.shape == (8, 7, 6) and result.disparite.header.get_zooms() == (1.5, 1.5, 3.0)
    assert result.ratFiltre.header.get_zooms() == (1.5, 1.5, 3.0, 2.5)


@pytest.mark.parametrize("call, error, words", [
    (lambda: mirlune.analyse(np.ones((4, 4, 4, 0), np.float32)), ValueError, "no voxels or no frames"),
    (lambda: mirlune.analyse(np.ones((0, 4, 4, 3), np.float32)), ValueError, "no voxels or no frames"),
    (lambda: mirlune.analyse(np.ones((6, 6, 20))), ValueError, "must be a 4-D array"),
    (lambda: mirlune.analyse(np.ones((4, 4, 4, 3)), demean="no"), TypeError, "demean must be True or False"),
    (lambda: mirlune.analyse(np.ones((4, 4, 4, 3)), voisins=1), TypeError, "voisins must be True or False"),
    (lambda: mirlune.analyse(np.ma.masked_array(np.ones((4, 4, 4, 3)))), ValueError, "masked array"),
    (lambda: mirlune.run(np.ones((4, 4, 4, 3))), TypeError, r"run\(\): the series must be a nibabel image"),
    (lambda: mirlune.run("/nonexistent/series.nii"), ValueError, r"run\(\): cannot read the series"),
    (lambda: mirlune.denoise(np.ones((4, 4, 4, 3)), estimator="exp3"), ValueError, "\"exp1\" or \"exp2\""),
    (lambda: mirlune.denoise(np.ones((4, 4, 4, 3)), return_sigma="yes"), TypeError, "return_sigma must be True"),
    (lambda: mirlune.analyse(np.ones((4, 4, 4, 3)), estimator="exp1"), ValueError, "denoise is False"),
])
def test_python_edges_refused_in_one_clear_error(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_run_takes_paths_and_any_mask_and_says_little(sample):
    path = sample / "series.nii.gz"
    whole = mirlune.run(path)
    brain = whole.mask.get_fdata() > 0
    brain[:8] = False
    for mask in (brain, nib.Nifti1Image(brain.astype(np.uint8), whole.mask.affine)):
        masked = mirlune.run(nib.load(path), mask=mask)
        assert masked.mask_voxels == int(brain.sum())
    assert len(repr(whole)) < 400 and "analysed=" in repr(whole)


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


def test_the_quick_look_draws_rounding_as_zero(tmp_path):
    # Every course a multiple of one: dispersion and dispersion2 are rounding, not maps.
    course = 1 + np.sin(np.arange(12))
    data = (np.random.default_rng(8).uniform(1, 3, (10, 9, 6, 1)) * (2 + course)).astype(np.float32)
    nib.save(nib.Nifti1Image(data, np.eye(4)), tmp_path / "rank_one.nii")
    program(tmp_path / "rank_one.nii", tmp_path / "out", "-sidecars")
    quicklook = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "quicklook")
    said = subprocess.run(["/usr/bin/python3", quicklook, str(tmp_path / "out")], capture_output=True, text=True,
                          check=True).stdout
    assert "dispersion: every value below 1e-09" in said and "dispersion2: every value below 1e-09" in said
    assert (tmp_path / "out" / "quicklook.png").stat().st_size > 10000
    # A folder of BIDS derivatives, the input found from the sidecars' BIDS URI.
    (tmp_path / "raw" / "sub-01" / "pet").mkdir(parents=True)
    make_series(tmp_path / "raw" / "sub-01" / "pet" / "sub-01_desc-x_pet.nii.gz", (16, 14, 10, 8))
    subprocess.run([os.environ["MIRLUNE_BINARY"], "-i", str(tmp_path / "raw/sub-01/pet/sub-01_desc-x_pet.nii.gz"),
                    "-o", str(tmp_path / "derived"), "-bids", "-voisins"], check=True, stdout=subprocess.DEVNULL)
    folder = tmp_path / "derived" / "sub-01" / "pet"
    subprocess.run(["/usr/bin/python3", quicklook, str(folder)], check=True, stdout=subprocess.DEVNULL)
    assert (folder / "quicklook.png").stat().st_size > 10000
