#!/usr/bin/python3
"""Times korvane_multiply against one OpenBLAS product (numpy A @ B) in the same run.

Usage: compare.py [--build BUILD_DIR] [--sizes 8192,16384] [--modes classical,safe,accurate,fast,large:512]
                  [--reps 3] [--workers 8] [--leaf L] [--check]

A mode may carry its own leaf as MODE:LEAF (large:512 runs --mode large
--leaf 512); otherwise --leaf, when given, applies to every mode.

Prints one row per size and mode: the program's own "multiply:" seconds (file
I/O and set-up excluded), effective GFLOPS = 2 N^3 / seconds, the wall seconds
of the whole command, the best numpy/OpenBLAS time for the same inputs on the
same cores, their ratio (OpenBLAS seconds / program seconds, above 1 = faster
than OpenBLAS) and, where the mode has a speed target at that size, whether
the run met it. With --check the program runs with --check and the row error
of its "check:" line (relative error against FP64 on sampled rows) is shown
too. Below the table, the "phases:" line of each mode's best run shows where
its time went.

The runs are interleaved: each of --reps rounds runs numpy once per
environment and then every mode once, so that a change in machine load hits
all alike; each keeps its best round. The OpenBLAS side runs in a child
process on the saved inputs (one warm-up product, then one timed): once with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE removed from its environment and once
with the environment as it is (when either is set); the table uses the faster,
and both figures are printed with the kernel OpenBLAS ran
(openblas_get_corename()). The program runs with the environment as it is.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

from openblas_env import OPENBLAS_TUNING, env_without_tuning

# Minimum speed-up over OpenBLAS, by (N, mode).
TARGETS = {(16384, "safe"): 1.25, (16384, "fast"): 1.3, (16384, "large:512"): 1.5, (8192, "fast"): 1.1}


# Child process of the OpenBLAS side: best seconds of A @ B and the kernel name.
NUMPY_CHILD = """
import ctypes, ctypes.util, sys, time
import numpy as np
a, b, reps = np.load(sys.argv[1]), np.load(sys.argv[2]), int(sys.argv[3])
a @ b  # warm-up: threads started, pages touched
best = float("inf")
for _ in range(reps):
    t0 = time.perf_counter()
    a @ b
    best = min(best, time.perf_counter() - t0)
lib = ctypes.CDLL(ctypes.util.find_library("openblas") or "libopenblas.so.0")
lib.openblas_get_corename.restype = ctypes.c_char_p
print(best, lib.openblas_get_corename().decode())
"""


def numpy_runs(paths, reps):
    """[(label, seconds, core name)]: tuning variables unset, then as set (when set); best of reps each."""
    envs = [("unset", env_without_tuning())]
    if any(k in os.environ for k in OPENBLAS_TUNING):
        envs.append(("as set", dict(os.environ)))
    runs = []
    for label, env in envs:
        out = subprocess.run([sys.executable, "-c", NUMPY_CHILD, paths[0], paths[1], str(reps)], env=env,
                             check=True, capture_output=True, text=True).stdout.split()
        runs.append((label, float(out[0]), out[1]))
    return runs


def mode_arguments(mode):
    """The --mode (and --leaf) arguments of a MODE or MODE:LEAF entry."""
    name, _, leaf = mode.partition(":")
    return ["--mode", name] + (["--leaf", leaf] if leaf else [])


def best_program_run(program, paths, mode, reps, extra):
    """Best "multiply:" seconds over reps runs, with that run's whole-command
    seconds, phases line and check-line row error (None without --check)."""
    best, wall, phases, row_error = float("inf"), 0.0, "", None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = subprocess.run([program, *paths, *mode_arguments(mode), *extra], check=True,
                             capture_output=True, text=True).stdout
        elapsed = time.perf_counter() - t0
        m = re.search(r"^multiply: ([0-9.]+) s", out, re.M)
        if not m:
            sys.exit("no multiply line in:\n" + out)
        if float(m.group(1)) < best:
            best, wall = float(m.group(1)), elapsed
            p = re.search(r"^phases: (.*)$", out, re.M)
            phases = p.group(1) if p else ""
            c = re.search(r"^check: relative error against FP64 on sampled rows ([0-9.eE+-]+)", out, re.M)
            row_error = float(c.group(1)) if c else None
    return best, wall, phases, row_error


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    parser.add_argument("--sizes", default="8192,16384")
    parser.add_argument("--modes", default="classical,safe,accurate,fast,large:512")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--leaf", type=int, default=0, help="leaf side passed to the program (0 = its default)")
    parser.add_argument("--check", action="store_true", help="run the program with --check; show its row error")
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "multiply", "cli", "korvane_multiply"))
    extra = ["--workers", str(args.workers)]
    extra += ["--check"] if args.check else []
    modes = args.modes.split(",")
    leaf_of = {m: [] if ":" in m or not args.leaf else ["--leaf", str(args.leaf)] for m in modes}
    # numpy's OpenBLAS threads run on the same CPUs as the program's workers (0 .. W-1).
    os.sched_setaffinity(0, range(args.workers))
    load = os.getloadavg()[0]
    if load > 1.0:
        print(f"warning: load average {load:.1f} before the run; figures may be low", file=sys.stderr)

    rng = np.random.default_rng(1)
    print(f"{'N':>6} {'mode':>10} {'seconds':>9} {'GFLOPS':>8} {'cmd s':>7} {'OpenBLAS s':>11} {'GFLOPS':>8} "
          f"{'ratio':>6} {'target':>7}" + (f" {'row err':>9}" if args.check else ""))
    notes, blas_notes = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for n in (int(s) for s in args.sizes.split(",")):
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            paths = [os.path.join(tmp, "a.npy"), os.path.join(tmp, "b.npy"), os.path.join(tmp, "c.npy")]
            np.save(paths[0], a)
            np.save(paths[1], b)
            del a, b  # give the child and the program the memory
            # Interleaved rounds: numpy in each environment, then every mode once.
            numpy_best, mode_best = {}, {}
            for _ in range(args.reps):
                for label, sec, core in numpy_runs(paths, 1):
                    if label not in numpy_best or sec < numpy_best[label][0]:
                        numpy_best[label] = (sec, core)
                for mode in modes:
                    run = best_program_run(program, paths, mode, 1, extra + leaf_of[mode])
                    if mode not in mode_best or run[0] < mode_best[mode][0]:
                        mode_best[mode] = run
            ref = min(sec for sec, _ in numpy_best.values())
            flops = 2.0 * n ** 3
            blas_notes += [f"{n}: tuning variables {label}: {sec:.3f} s ({flops / sec / 1e9:.1f} GFLOPS), "
                           f"core {core}" for label, (sec, core) in numpy_best.items()]
            for mode in modes:
                sec, wall, phases, row_error = mode_best[mode]
                ratio = ref / sec
                target = TARGETS.get((n, mode))
                verdict = "" if target is None else f"{target:.2f}{'+' if ratio >= target else '-'}"
                error = "" if not args.check else f" {row_error:>9.3g}" if row_error is not None else f" {'-':>9}"
                print(f"{n:>6} {mode:>10} {sec:>9.3f} {flops / sec / 1e9:>8.1f} {wall:>7.2f} {ref:>11.3f} "
                      f"{flops / ref / 1e9:>8.1f} {ratio:>6.2f} {verdict:>7}{error}", flush=True)
                if phases:
                    notes.append(f"{n} {mode}: {phases}")
    print("\nOpenBLAS (numpy A @ B, best of the interleaved rounds):")
    for line in blas_notes:
        print("  " + line)
    if notes:
        print("\nphases of the best runs (seconds summed over the run):")
        for line in notes:
            print("  " + line)
    print("\ntarget column: minimum ratio, '+' met, '-' missed")


if __name__ == "__main__":
    main()
