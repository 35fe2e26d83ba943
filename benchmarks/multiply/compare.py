#!/usr/bin/python3
"""Times korvane_multiply against one OpenBLAS product (numpy A @ B) in the same run.

Usage: compare.py [--build BUILD_DIR] [--sizes 4096,8192] [--modes classical] [--reps 3]

Prints one row per size and mode: the program's own "multiply:" seconds (file
I/O excluded), effective GFLOPS = 2 N^3 / seconds, and the ratio to the best
numpy/OpenBLAS time for the same inputs on the same cores.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np


def best_numpy_seconds(a, b, reps):
    a @ b  # warm-up: threads started, pages touched
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        a @ b
        best = min(best, time.perf_counter() - t0)
    return best


def best_program_seconds(program, paths, mode, reps):
    best = float("inf")
    for _ in range(reps):
        out = subprocess.run([program, *paths, "--mode", mode], check=True, capture_output=True, text=True).stdout
        m = re.search(r"^multiply: ([0-9.]+) s", out, re.M)
        if not m:
            sys.exit("no multiply line in:\n" + out)
        best = min(best, float(m.group(1)))
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    parser.add_argument("--sizes", default="4096,8192")
    parser.add_argument("--modes", default="classical")
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "multiply", "cli", "korvane_multiply"))
    rng = np.random.default_rng(1)
    print(f"{'N':>6} {'mode':>10} {'seconds':>9} {'GFLOPS':>8} {'OpenBLAS s':>11} {'GFLOPS':>8} {'ratio':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        for n in (int(s) for s in args.sizes.split(",")):
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            paths = [os.path.join(tmp, "a.npy"), os.path.join(tmp, "b.npy"), os.path.join(tmp, "c.npy")]
            np.save(paths[0], a)
            np.save(paths[1], b)
            ref = best_numpy_seconds(a, b, args.reps)
            flops = 2.0 * n ** 3
            for mode in args.modes.split(","):
                sec = best_program_seconds(program, paths, mode, args.reps)
                print(f"{n:>6} {mode:>10} {sec:>9.3f} {flops / sec / 1e9:>8.1f} {ref:>11.3f} "
                      f"{flops / ref / 1e9:>8.1f} {ref / sec:>6.2f}", flush=True)


if __name__ == "__main__":
    main()
