#!/usr/bin/python3
"""Times Mirlune against dwidenoise (a local PCA over the same 5 x 5 x 5 window) on
synthetic series made by the project's generator, in one run, alternating, and
prints medians, peak memory, microseconds per analysed voxel and per-stage times.

    bench/run_bench.py [--runs N] [--build DIR] [--out DIR] [--quick]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

import nibabel as nib
import numpy as np

STAGES = ["read + header report", "mask", "records", "local analysis", "outputs"]


def run(command, cwd, stage_lines=False):
    """Runs command; returns (seconds, peak resident kB, per-stage seconds)."""
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    marks = []
    for _ in process.stdout:
        marks.append(time.perf_counter())
    _, status, usage = os.wait4(process.pid, 0)
    end = time.perf_counter()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"{' '.join(command)} failed: {process.stderr.read()}")
    stages = []
    if stage_lines and len(marks) == 6:
        # Lines: dims, voxel size, mask, records, analysis, outputs; each ends its stage.
        points = [start, marks[1], marks[2], marks[3], marks[4], marks[5]]
        stages = [b - a for a, b in zip(points, points[1:])]
    return end - start, usage.ru_maxrss, stages


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--build", default="build")
    parser.add_argument("--out", default="bench/out")
    parser.add_argument("--quick", action="store_true", help="only the smaller series")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    mirlune = os.path.join(build, "analysis", "Mirlune")
    generator = os.path.join(build, "tools", "make_series")
    peer = shutil.which("dwidenoise")
    cores = os.cpu_count() or 1
    sizes = [(128, 128, 48, 24)] + ([] if args.quick else [(128, 128, 96, 40)])

    print(f"machine: {cores} cores; {args.runs} runs each, alternating; medians")
    if not peer:
        print("dwidenoise not found (install Debian's mrtrix3): Mirlune only")
    for size in sizes:
        name = "series_{}x{}x{}x{}.nii".format(*size)
        series = os.path.join(out, name)
        if not os.path.exists(series):
            subprocess.run([generator, series, *map(str, size)], check=True, stdout=subprocess.DEVNULL)
        work = os.path.join(out, "run_" + name[:-4])
        os.makedirs(work, exist_ok=True)
        run([mirlune, "-i", series], work)  # warm the caches, and make the mask
        mask = os.path.join(work, "mask.nii")
        analysed = int(np.count_nonzero(np.asanyarray(nib.load(os.path.join(work, "disparite.nii")).dataobj)))
        masked = int(np.count_nonzero(np.asanyarray(nib.load(mask).dataobj)))
        input_mb = np.prod(size) * 4 / 2**20

        candidates = []
        for threads in sorted({1, cores}):
            candidates.append((f"Mirlune, {threads} thread(s)", [mirlune, "-i", series, "--threads", str(threads)], True))
            if peer:
                for datatype in ("float64", "float32"):
                    candidates.append((f"dwidenoise {datatype}, {threads} thread(s)",
                                       [peer, series, os.path.join(work, "dn.nii"), "-extent", "5", "-mask", mask,
                                        "-datatype", datatype, "-nthreads", str(threads), "-force", "-quiet"], False))
        results = {label: [] for label, _, _ in candidates}
        for _ in range(args.runs):
            for label, command, stages in candidates:
                results[label].append(run(command, work, stages))

        print(f"\nseries {size[0]} x {size[1]} x {size[2]} x {size[3]} ({input_mb:.0f} MiB as floats): "
              f"{masked} mask voxels, {analysed} analysed")
        print(f"{'program':34} {'median s':>9} {'us/voxel':>9} {'peak MiB':>9} {'x input':>8}  runs (s)")
        medians = {}
        for label, _, _ in candidates:
            times = [r[0] for r in results[label]]
            peak = max(r[1] for r in results[label]) / 1024
            medians[label] = statistics.median(times)
            print(f"{label:34} {medians[label]:9.3f} {1e6 * medians[label] / analysed:9.2f} {peak:9.0f} "
                  f"{peak / input_mb:8.2f}  " + " ".join(f"{t:.3f}" for t in times))
        for threads in sorted({1, cores}):
            label = f"Mirlune, {threads} thread(s)"
            stage_runs = [r[2] for r in results[label] if r[2]]
            if stage_runs:
                parts = ", ".join(f"{stage} {statistics.median(s[i] for s in stage_runs):.3f}"
                                  for i, stage in enumerate(STAGES))
                print(f"  stages, {threads} thread(s), median s: {parts}")
            if peer:
                for datatype in ("float64", "float32"):
                    other = medians[f"dwidenoise {datatype}, {threads} thread(s)"]
                    print(f"  {threads} thread(s): dwidenoise {datatype} / Mirlune = {other / medians[label]:.2f}")
        if cores > 1:
            one, all_ = medians["Mirlune, 1 thread(s)"], medians[f"Mirlune, {cores} thread(s)"]
            print(f"  Mirlune speed-up on {cores} cores: {one / all_:.2f} ({one / all_ / cores:.2f} x cores)")


if __name__ == "__main__":
    main()
