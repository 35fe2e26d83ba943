#!/usr/bin/python3
"""Times korvane_multiply against one OpenBLAS product (numpy A @ B) in the same run.

Usage: compare.py [--build BUILD_DIR] [--sizes 8192,16384] [--modes classical,safe,fast]
                  [--reps 3] [--workers 8] [--leaf L]

Prints one row per size and mode: the program's own "multiply:" seconds (file
I/O and set-up excluded), effective GFLOPS = 2 N^3 / seconds, the best
numpy/OpenBLAS time for the same inputs on the same cores, their ratio
(OpenBLAS seconds / program seconds, above 1 = faster than OpenBLAS) and, where
the mode has a speed target at that size, whether the run met it. Below the
table, the "phases:" line of each mode's best run shows where its time went.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

# Minimum speed-up over OpenBLAS, by (N, mode).
TARGETS = {(16384, "fast"): 1.3, (16384, "safe"): 1.2, (8192, "fast"): 1.15}


def best_numpy_seconds(a, b, reps):
    a @ b  # warm-up: threads started, pages touched
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        a @ b
        best = min(best, time.perf_counter() - t0)
    return best


def best_program_run(program, paths, mode, reps, extra):
    """Best "multiply:" seconds over reps runs, with that run's phases line."""
    best, phases = float("inf"), ""
    for _ in range(reps):
        out = subprocess.run([program, *paths, "--mode", mode, *extra], check=True, capture_output=True,
                             text=True).stdout
        m = re.search(r"^multiply: ([0-9.]+) s", out, re.M)
        if not m:
            sys.exit("no multiply line in:\n" + out)
        if float(m.group(1)) < best:
            best = float(m.group(1))
            p = re.search(r"^phases: (.*)$", out, re.M)
            phases = p.group(1) if p else ""
    return best, phases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    parser.add_argument("--sizes", default="8192,16384")
    parser.add_argument("--modes", default="classical,safe,fast")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--leaf", type=int, default=0, help="leaf side passed to the program (0 = its default)")
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "multiply", "cli", "korvane_multiply"))
    extra = ["--workers", str(args.workers)] + (["--leaf", str(args.leaf)] if args.leaf else [])
    # numpy's OpenBLAS threads run on the same CPUs as the program's workers (0 .. W-1).
    os.sched_setaffinity(0, range(args.workers))
    load = os.getloadavg()[0]
    if load > 1.0:
        print(f"warning: load average {load:.1f} before the run; figures may be low", file=sys.stderr)

    rng = np.random.default_rng(1)
    print(f"{'N':>6} {'mode':>10} {'seconds':>9} {'GFLOPS':>8} {'OpenBLAS s':>11} {'GFLOPS':>8} {'ratio':>6} "
          f"{'target':>7}")
    notes = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in (int(s) for s in args.sizes.split(",")):
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            paths = [os.path.join(tmp, "a.npy"), os.path.join(tmp, "b.npy"), os.path.join(tmp, "c.npy")]
            np.save(paths[0], a)
            np.save(paths[1], b)
            ref = best_numpy_seconds(a, b, args.reps)
            del a, b  # give the program the memory
            flops = 2.0 * n ** 3
            for mode in args.modes.split(","):
                sec, phases = best_program_run(program, paths, mode, args.reps, extra)
                ratio = ref / sec
                target = TARGETS.get((n, mode))
                verdict = "" if target is None else f"{target:.2f}{'+' if ratio >= target else '-'}"
                print(f"{n:>6} {mode:>10} {sec:>9.3f} {flops / sec / 1e9:>8.1f} {ref:>11.3f} "
                      f"{flops / ref / 1e9:>8.1f} {ratio:>6.2f} {verdict:>7}", flush=True)
                if phases:
                    notes.append(f"{n} {mode}: {phases}")
    if notes:
        print("\nphases of the best runs (seconds summed over the run):")
        for line in notes:
            print("  " + line)
    print("\ntarget column: minimum ratio, '+' met, '-' missed")


if __name__ == "__main__":
    main()
