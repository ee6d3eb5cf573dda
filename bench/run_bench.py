#!/usr/bin/python3
"""Times Mirlune against dwidenoise (a local PCA over the same window) on series made by the
project's generator, in one run, alternating, and prints medians of microseconds per
analysed voxel, peak memory, the analysis stage on one and two threads, and the ratios.

    bench/run_bench.py [--runs N] [--build DIR] [--out DIR] [--cases sweep,thin,...]
                       [--frames 12,24,...] [--no-peer]   (every case set by default)

Cases:
  sweep   the window of 5 over series lengths: 56 x 56 x 28 with 12 to 300 frames,
          32 x 32 x 16 with 1,000
  thin    thin slabs of many frames (96 x 96 x 5, 120 and 130 frames), for the memory column
  window  wider windows: 7 at 64, 200 and 300 frames and "auto" (7) at 300, on 32 x 32 x 16;
          "auto" (11) at 1,000 frames on 20 x 20 x 12 with signal in every voxel, so that
          cubes are whole and hold more voxels than frames; the peer, slow there, analyses
          a block of 180 voxels at its centre (times are per analysed voxel)
  denoise -denoise, whole runs, beside dwidenoise -datatype float32 at the same extent and mask:
          65 frames, side 5, on 48 x 48 x 30 (every voxel) and 96 x 96 x 60 (a brain-shaped
          mask of about 60 %); 300 frames, side 7, on 64 x 64 x 36 and 1,000 frames, "auto",
          on 20 x 20 x 12, the peer on a centre block there. Also: the run without -denoise,
          peak memory over the series, two threads over one from the mask to the analysis,
          and whether both thread counts gave the same bytes
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import time

import nibabel as nib
import numpy as np

STAGES = ["read + header report", "mask", "records", "local analysis", "outputs"]


def side_of(side, frames):
    """The side "auto" takes: the smallest odd cube holding more voxels than frames."""
    if side != "auto":
        return side
    return next(s for s in range(3, 16, 2) if s ** 3 > frames)


def cases(names, frames_filter):
    """(label, size, side): side is the window's side for Mirlune (or "auto") and, as a
    number, the peer's -extent."""
    chosen = []
    for name in names:
        if name == "sweep":
            for frames in (12, 24, 64, 128, 200, 300, 1000):
                size = (32, 32, 16, frames) if frames >= 1000 else (56, 56, 28, frames)
                chosen.append((f"{frames}", size, 5))
        elif name == "thin":
            for frames in (120, 130):
                chosen.append((f"{frames} thin", (96, 96, 5, frames), 5))
        elif name == "window":
            for frames in (64, 200, 300):
                chosen.append((f"{frames}", (32, 32, 16, frames), 7))
            chosen.append(("300 auto", (32, 32, 16, 300), "auto"))
            chosen.append(("1000 auto", (20, 20, 12, 1000), "auto", "full"))
        else:
            sys.exit(f"unknown case set {name!r} (sweep, thin or window)")
    if frames_filter:
        wanted = {int(f) for f in frames_filter.split(",")}
        chosen = [c for c in chosen if c[1][3] in wanted]
    return chosen


def run(command, cwd, stage_lines=False):
    """Runs command; returns (seconds, peak resident kB, per-stage seconds). GNU time
    measures the peak: a child forked from this Python process would count Python's pages
    until its exec."""
    peak_file = os.path.join(cwd, ".peak")
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file, *command], cwd=cwd,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    marks = []
    for _ in process.stdout:
        marks.append(time.perf_counter())
    process.wait()
    end = time.perf_counter()
    if process.returncode != 0:
        sys.exit(f"{' '.join(command)} failed: {process.stderr.read()}")
    with open(peak_file) as f:
        peak = int(f.read().split()[-1])
    stages = []
    if stage_lines and len(marks) == 6:
        # Lines: dims, voxel size, mask, records, analysis, outputs; each ends its stage.
        points = [start, marks[1], marks[2], marks[3], marks[4], marks[5]]
        stages = [b - a for a, b in zip(points, points[1:])]
    return end - start, peak, stages


def full_series(path, size):
    """A series with signal in every voxel (a baseline, two slow courses, noise), so that
    the built-in mask holds them all and every cube away from the edges is whole."""
    rng = np.random.default_rng(3)
    X, Y, Z, T = size
    t = np.arange(T)
    data = (1000 + 200 * rng.random((X, Y, Z, 1))
            + np.sin(0.05 * t) * (20 + 10 * rng.random((X, Y, Z, 1)))
            + np.cos(0.13 * t + 1) * (5 * rng.random((X, Y, Z, 1)))
            + 3 * rng.standard_normal((X, Y, Z, T)))
    nib.save(nib.Nifti1Image(data.astype(np.float32), np.eye(4)), path)


def centre_block(work, size):
    """A mask of 6 x 6 x 5 voxels at the series' centre, for the peer; and its count."""
    X, Y, Z, _ = size
    block = np.zeros((X, Y, Z), np.float32)
    block[X // 2 - 3:X // 2 + 3, Y // 2 - 3:Y // 2 + 3, Z // 2 - 2:Z // 2 + 3] = 1
    path = os.path.join(work, "peer_mask.nii")
    nib.save(nib.Nifti1Image(block, np.eye(4)), path)
    return path, int(block.sum())


DENOISE_CASES = [("65", (48, 48, 30, 65), 5, "all", False), ("65 brain", (96, 96, 60, 65), 5, "brain", False),
                 ("300", (64, 64, 36, 300), 7, "all", True), ("1000 auto", (20, 20, 12, 1000), "auto", "all", True)]


def brain_mask(path, size):
    """A rounded box of about 60 % of the grid, as a whole-brain mask fills its field of view."""
    axes = np.meshgrid(*(np.linspace(-1, 1, n) for n in size[:3]), indexing="ij")
    inside = sum(np.abs(a / 0.92) ** 3 for a in axes) <= 1
    nib.save(nib.Nifti1Image(inside.astype(np.float32), np.eye(4)), path)
    return int(inside.sum())


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def denoise_rows(args, mirlune, peer, out):
    """Whole -denoise runs beside the peer's, as the module's docstring says."""
    rows = []
    for label, size, side, kind, block in DENOISE_CASES:
        if args.frames and size[3] not in {int(f) for f in args.frames.split(",")}:
            continue
        name = "series_{}x{}x{}x{}_full.nii".format(*size)
        series = os.path.join(out, name)
        if not os.path.exists(series):
            full_series(series, size)
        work = os.path.join(out, f"denoise_{name[:-4]}_w{side}")
        os.makedirs(work, exist_ok=True)
        mask = os.path.join(work, "brain.nii")
        voxels = brain_mask(mask, size) if kind == "brain" else int(np.prod(size[:3]))
        if kind != "brain":
            nib.save(nib.Nifti1Image(np.ones(size[:3], np.float32), np.eye(4)), mask)
        peer_mask, peer_voxels = centre_block(work, size) if block else (mask, voxels)
        extent = side_of(side, size[3])
        common = ["-i", series, "-mask", mask, "-window", str(side)]
        one, two = os.path.join(work, "one"), os.path.join(work, "two")
        candidates = [("denoise 1", [mirlune, *common, "-o", one, "-denoise", "--threads", "1"], True),
                      ("denoise 2", [mirlune, *common, "-o", two, "-denoise", "--threads", "2"], True),
                      ("maps 1", [mirlune, *common, "-o", os.path.join(work, "maps"), "--threads", "1"], True)]
        if peer:
            candidates.append(("dwidenoise", [peer, series, os.path.join(work, "dn.nii"), "-extent", str(extent),
                                              "-mask", peer_mask, "-datatype", "float32", "-nthreads", "1",
                                              "-force", "-quiet"], False))
        results = {what: [] for what, _, _ in candidates}
        for _ in range(args.runs):
            for what, command, stages in candidates:
                results[what].append(run(command, work, stages))

        def median(what, index=None):
            if index is None:
                return statistics.median(r[0] for r in results[what])
            return statistics.median(sum(r[2][i] for i in index) for r in results[what] if r[2])

        row = {"label": label, "side": extent, "size": "x".join(map(str, size[:3])), "voxels": voxels,
               "whole": median("denoise 1"), "maps": median("maps 1"),
               "peak": max(r[1] for r in results["denoise 1"]) / 1024, "input": np.prod(size) * 4 / 2**20,
               "speedup": median("denoise 1", (1, 2, 3)) / median("denoise 2", (1, 2, 3)),
               "same": digest(os.path.join(one, "denoised.nii")) == digest(os.path.join(two, "denoised.nii"))}
        if peer:
            row["peer"] = median("dwidenoise") * voxels / peer_voxels
        rows.append(row)
        print(f"  denoise {label}: done (" + ", ".join(
            f"{what} " + " ".join(f"{r[0]:.2f}" for r in results[what]) for what in results) + " s)", flush=True)
    print(f"\n{'T':>9} {'side':>4} {'series':>9} {'voxels':>7} {'whole s':>8} {'maps s':>7} {'peer s':>8} "
          f"{'ratio':>6} {'peak MiB':>9} {'x input':>8} {'2 thr':>6} {'same':>5}")
    for row in rows:
        peer_s = row.get("peer", float("nan"))
        print(f"{row['label']:>9} {row['side']:>4} {row['size']:>9} {row['voxels']:>7} {row['whole']:>8.2f} "
              f"{row['maps']:>7.2f} {peer_s:>8.2f} {row['whole'] / peer_s:>6.3f} {row['peak']:>9.0f} "
              f"{row['peak'] / row['input']:>8.2f} {row['speedup']:>6.2f} {str(row['same']):>5}")
    print("whole s: Mirlune -denoise, one thread, the maps included; maps s: the same run without -denoise;")
    print("peer s: dwidenoise float32, one thread (on a centre block where the row says so, scaled to every voxel);")
    print("x input: peak over the series as 32-bit floats (the goal: 3, plus 1 for the denoised series);")
    print("2 thr: from the mask to the analysis, one thread over two;")
    print("same: the denoised series of one and two threads, byte for byte")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", default="bench/out")
    parser.add_argument("--cases", default="sweep,thin,window,denoise")
    parser.add_argument("--frames", default="", help="only the cases of these lengths")
    parser.add_argument("--no-peer", action="store_true", help="Mirlune only")
    args = parser.parse_args()

    build, out = os.path.abspath(args.build), os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    mirlune = os.path.join(build, "program", "Mirlune")
    generator = os.path.join(build, "tools", "make_series")
    peer = None if args.no_peer else shutil.which("dwidenoise")
    print(f"machine: {os.cpu_count()} CPUs; {args.runs} runs each, alternating; medians; us per analysed voxel")
    if not peer:
        print("dwidenoise not found (install Debian's mrtrix3): Mirlune only")

    names = args.cases.split(",")
    if "denoise" in names:
        denoise_rows(args, mirlune, peer, out)
        names.remove("denoise")
        if not names:
            return
    rows = []
    for label, size, side, *kind in cases(names, args.frames):
        full = kind == ["full"]
        name = "series_{}x{}x{}x{}{}.nii".format(*size, "_full" if full else "")
        series = os.path.join(out, name)
        if not os.path.exists(series):
            if full:
                full_series(series, size)
            else:
                subprocess.run([generator, series, *map(str, size)], check=True, stdout=subprocess.DEVNULL)
        work = os.path.join(out, f"run_{name[:-4]}_w{side}")
        os.makedirs(work, exist_ok=True)
        window = [] if side == 5 else ["--window", str(side)]
        extent = side_of(side, size[3])
        run([mirlune, "-i", series, "-o", work, *window], work)  # warm the caches, and make the mask
        mask = os.path.join(work, "mask.nii")
        analysed = int(np.count_nonzero(np.asanyarray(nib.load(os.path.join(work, "disparite.nii")).dataobj)))
        peer_analysed = analysed
        if full:
            mask, peer_analysed = centre_block(work, size)
        input_mib = np.prod(size) * 4 / 2**20

        candidates = [("Mirlune 1", [mirlune, "-i", series, "-o", work, *window, "--threads", "1"], True),
                      ("Mirlune 2", [mirlune, "-i", series, "-o", work, *window, "--threads", "2"], True)]
        if peer:
            for datatype in ("float32", "float64"):
                candidates.append((f"dwidenoise {datatype}",
                                   [peer, series, os.path.join(work, "dn.nii"), "-extent", str(extent), "-mask", mask,
                                    "-datatype", datatype, "-nthreads", "1", "-force", "-quiet"], False))
        results = {label: [] for label, _, _ in candidates}
        for _ in range(args.runs):
            for what, command, stages in candidates:
                results[what].append(run(command, work, stages))

        def median(what):
            return statistics.median(r[0] for r in results[what])

        def stage(what, index):
            return statistics.median(r[2][index] for r in results[what] if r[2])

        one = median("Mirlune 1")
        row = {"label": label, "side": extent, "size": "x".join(map(str, size[:3])), "voxels": analysed,
               "mirlune": 1e6 * one / analysed,
               "peak": max(r[1] for r in results["Mirlune 1"]) / 1024, "input": input_mib,
               "speedup": stage("Mirlune 1", 3) / stage("Mirlune 2", 3),
               "stages": [stage("Mirlune 1", i) for i in range(len(STAGES))]}
        if peer:
            row["f32"] = 1e6 * median("dwidenoise float32") / peer_analysed
            row["f64"] = 1e6 * median("dwidenoise float64") / peer_analysed
        rows.append(row)
        print(f"  T = {label}, side {side}: done ("
              + ", ".join(f"{what} " + " ".join(f"{r[0]:.2f}" for r in results[what]) for what in results) + " s)",
              flush=True)

    print()
    header = (f"{'T':>9} {'side':>4} {'series':>9} {'voxels':>7} {'Mirlune':>9} {'peak MiB':>9} {'x input':>8} "
              f"{'2 thr':>6}")
    if peer:
        header += f" {'dn f32':>9} {'dn f64':>9} {'Mir/f32':>8}"
    print(header)
    for row in rows:
        line = (f"{row['label']:>9} {row['side']:>4} {row['size']:>9} {row['voxels']:>7} {row['mirlune']:>9.1f} "
                f"{row['peak']:>9.0f} {row['peak'] / row['input']:>8.2f} {row['speedup']:>6.2f}")
        if peer:
            line += f" {row['f32']:>9.1f} {row['f64']:>9.1f} {row['mirlune'] / row['f32']:>8.2f}"
        print(line)
    print("\nMirlune, peak MiB: resident, one thread; x input: over the series as 32-bit floats;")
    print("2 thr: the analysis stage on one thread over two threads; dn: dwidenoise -extent side, one thread")
    print("\nstages, one thread, median s: " + ", ".join(STAGES))
    for row in rows:
        print(f"{row['label']:>9}: " + " ".join(f"{s:.3f}" for s in row["stages"]))
    module(build, out, rows, args.runs)


def module(build, out, rows, runs):
    """The Python module on the default series (the sweep's 24 frames), in memory: its time
    per voxel beside the program's stages from the mask to the analysis."""
    row = next((r for r in rows if r["label"] == "24" and r["side"] == 5), None)
    if row is None or not os.path.isdir(os.path.join(build, "python", "mirlune")):
        return
    sys.path.insert(0, os.path.join(build, "python"))
    import mirlune
    data = np.asanyarray(nib.load(os.path.join(out, "series_56x56x28x24.nii")).dataobj)
    mirlune.analyse(data, threads=1)  # warm
    times = []
    for _ in range(max(runs, 5)):
        start = time.perf_counter()
        mirlune.analyse(data, threads=1)
        times.append(time.perf_counter() - start)
    seconds = statistics.median(times)
    program = sum(row["stages"][1:4])  # mask, records, local analysis
    print(f"\nmodule, 56x56x28x24, one thread, in memory: {1e6 * seconds / row['voxels']:.2f} us per voxel "
          f"({seconds:.3f} s; the program's mask, records and analysis stages {program:.3f} s, "
          f"its analysis stage {row['stages'][3]:.3f} s: {100 * (seconds / program - 1):+.1f} %)")


if __name__ == "__main__":
    main()
