#!/usr/bin/python3
"""Whole-command wall time of korvane_multiply against numpy's load-multiply-save.

Usage: whole_run.py [--build BUILD_DIR] [--sizes 8192,16384] [--reps 3] [--dir SCRATCH]
                    [--modes safe,classical]

A user times the whole command, from start to exit, with the inputs in the
page cache. For each size this script writes A and B with numpy, then runs,
interleaved in every round so that a change in machine load hits all alike:

  numpy, unset     python3 -c "A=np.load(a); B=np.load(b); np.save(c, A @ B)"
                   with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE removed for it
  numpy, env       the same with the environment as it is
  korvane MODE     korvane_multiply a.npy b.npy c.npy --mode MODE, for each
                   of --modes (default safe,classical); MODE:LEAF adds
                   --leaf LEAF (large:512)

and keeps each command's best round. One table: the wall seconds, and for
korvane the seconds of its own lines (multiply, setup, reading, writing),
"other" (start-up, back ends, pools, matrix first touch, teardown: the wall
time no line covers), the overhead (wall minus multiply) and the targets:
overhead at most 0.5 s at N = 8192 and 1.5 s at N = 16384, setup at most 10 %
of the multiply seconds. The last column is numpy's best wall (either
environment) over korvane's. OpenBLAS's kernel is named for both numpy
environments; korvane runs with the environment as it is.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

from openblas_env import OPENBLAS_TUNING, env_without_tuning

PY = "/usr/bin/python3"
OVERHEAD_TARGET = {8192: 0.5, 16384: 1.5}
SETUP_SHARE_TARGET = 0.10

NUMPY_RUN = "import numpy as np, sys; A = np.load(sys.argv[1]); B = np.load(sys.argv[2]); np.save(sys.argv[3], A @ B)"
CORENAME = """
import ctypes, numpy
paths = sorted({l.split()[-1] for l in open('/proc/self/maps') if 'blas' in l and '.so' in l})
for p in paths:
    try:
        f = ctypes.CDLL(p).openblas_get_corename
    except (OSError, AttributeError):
        continue
    f.restype = ctypes.c_char_p
    print(f().decode())
    break
else:
    print('not OpenBLAS')
"""


def timed(cmd, env=None):
    """Wall seconds of one command from start to exit, and its standard output."""
    t0 = time.perf_counter()
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if done.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({done.returncode}):\n{done.stderr}")
    return wall, done.stdout


def korvane_lines(out):
    """Seconds on the program's multiply and wrote lines."""
    m = re.search(r"^multiply: ([0-9.]+) s \(setup ([0-9.]+) s, reading ([0-9.]+) s\)", out, re.M)
    w = re.search(r"^wrote .* in ([0-9.]+) s$", out, re.M)
    if not m or not w:
        sys.exit("missing multiply or wrote line in:\n" + out)
    return {"multiply": float(m.group(1)), "setup": float(m.group(2)), "reading": float(m.group(3)),
            "writing": float(w.group(1))}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    parser.add_argument("--sizes", default="8192,16384")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--dir", default=None, help="scratch directory for the matrices (default: a new temp dir)")
    parser.add_argument("--modes", default="safe,classical", help="program modes, MODE or MODE:LEAF")
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "multiply", "cli", "korvane_multiply"))

    unset = env_without_tuning()
    print("OpenBLAS settings: " + ", ".join(f"{k}={os.environ.get(k, '(unset)')}" for k in OPENBLAS_TUNING))
    for label, env in (("unset", unset), ("env", None)):
        core = subprocess.run([PY, "-c", CORENAME], env=env, capture_output=True, text=True).stdout.strip()
        print(f"numpy, {label}: OpenBLAS core {core}")
    load = os.getloadavg()[0]
    if load > 1.0:
        print(f"warning: load average {load:.1f} before the run; figures may be high", file=sys.stderr)

    header = (f"{'N':>6} {'command':<18} {'wall s':>7} {'multiply':>8} {'setup':>6} {'reading':>7} "
              f"{'writing':>7} {'other':>6} {'overhead':>8} {'targets':>13} {'numpy/this':>10}")
    rows = []
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        a, b = os.path.join(tmp, "a.npy"), os.path.join(tmp, "b.npy")
        for n in (int(s) for s in args.sizes.split(",")):
            subprocess.run([PY, "-c", "import numpy as np, sys\n"
                            "r = np.random.default_rng(int(sys.argv[1]))\n"
                            "for p in sys.argv[2:]: np.save(p, r.standard_normal((int(sys.argv[1]),) * 2, "
                            "dtype=np.float32))\n", str(n), a, b], check=True)
            commands = {
                "numpy, unset": ([PY, "-c", NUMPY_RUN, a, b, os.path.join(tmp, "c_np.npy")], unset),
                "numpy, env": ([PY, "-c", NUMPY_RUN, a, b, os.path.join(tmp, "c_np.npy")], None),
            }
            for mode in args.modes.split(","):
                name, _, leaf = mode.partition(":")
                commands[f"korvane {mode}"] = ([program, a, b, os.path.join(tmp, "c.npy"), "--mode", name]
                                               + (["--leaf", leaf] if leaf else []), None)
            best = {}
            for _ in range(args.reps):
                for name, (cmd, env) in commands.items():
                    wall, out = timed(cmd, env)
                    if name not in best or wall < best[name][0]:
                        best[name] = (wall, out)
            numpy_best = min(best["numpy, unset"][0], best["numpy, env"][0])
            for name, (wall, out) in best.items():
                if name.startswith("numpy"):
                    rows.append(f"{n:>6} {name:<18} {wall:>7.3f}")
                    continue
                s = korvane_lines(out)
                overhead = wall - s["multiply"]
                other = overhead - s["setup"] - s["reading"] - s["writing"]
                limit = OVERHEAD_TARGET.get(n)
                verdict = "" if limit is None else f"ovh{'+' if overhead <= limit else '-'} "
                verdict += f"setup{'+' if s['setup'] <= SETUP_SHARE_TARGET * s['multiply'] else '-'}"
                rows.append(f"{n:>6} {name:<18} {wall:>7.3f} {s['multiply']:>8.3f} {s['setup']:>6.3f} "
                            f"{s['reading']:>7.3f} {s['writing']:>7.3f} {other:>6.3f} {overhead:>8.3f} "
                            f"{verdict:>13} {numpy_best / wall:>10.2f}")
            for p in (a, b):
                os.remove(p)
    print(header)
    for r in rows:
        print(r)
    print(f"\nbest of {args.reps} interleaved rounds; overhead = wall - multiply; other = overhead - setup - "
          "reading - writing;\ntargets: ovh = overhead at most "
          + ", ".join(f"{t} s at N = {k}" for k, t in OVERHEAD_TARGET.items())
          + f"; setup = setup at most {SETUP_SHARE_TARGET:.0%} of multiply; '+' met, '-' missed")


if __name__ == "__main__":
    main()
