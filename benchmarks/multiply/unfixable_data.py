#!/usr/bin/python3
"""Data whose difficulty the power-of-two scaling cannot even out: error and time of every mode.

Usage: unfixable_data.py [--build BUILD_DIR] [--n 8192] [--modes classical,safe,accurate,fast,large:256]
                         [--data blocks,blockdiag,softmax100,zeros,normal,subnormal] [--workers 8] [--reps 1]

numpy makes A and B and the FP64 product; the program multiplies them in
each mode. The table shows the relative Frobenius error of C, its worst row
(rows whose exact value is zero left out), both as ratios to classical's,
the errors of the regions named below, and the best of --reps wall times of
the whole command (reading, multiplying, writing) beside the program's own
"multiply:" time. Z is a block of standard normal entries; h = n/2.

Data sets:
  blocks     A = [[Z, eZ], [Z, Z]], B's rows 0..h-1 eZ and rows h..n-1 Z, e = 2^-40:
             C's rows 0..h-1 are 2^-40 of the others ("small rows" region)
  blockdiag  A = [[Z, dZ], [dZ, Z]] and B the same, d = 2^-20: C's
             off-diagonal quarters are 2^-20 of the diagonal ones ("off-diag")
  softmaxT   rows of A are softmax(Z_i * t_i) with t_i log-uniform in 0.1..T
             (flat to peaked rows; entries below float's smallest normal set
             to 0), B = Z
  zeros      Z with a random eighth of A's rows and of B's columns exactly 0
             (zero lines at the same place in every block, such as every 8th,
             stay exact): shows the largest |C| where C is exactly 0, and the
             worst row of --check's line
  normal     Z
  subnormal  the normal data set with a third of A's and of B's entries
             replaced by subnormal numbers (Z * 2^-135)
"""
import argparse
import os
import re
import subprocess
import tempfile
import time

import numpy as np


def make(data, n, rng):
    h = n // 2
    z = lambda r, c: rng.standard_normal((r, c), dtype=np.float32)
    a, b, regions = z(n, n), z(n, n), []
    if data == "blocks":
        a[:h, h:] = np.ldexp(a[:h, h:], -40)
        b[:h] = np.ldexp(b[:h], -40)
        regions = [("small rows", np.s_[:h, :]), ("large rows", np.s_[h:, :])]
    elif data == "blockdiag":
        for m in (a, b):
            m[:h, h:] = np.ldexp(m[:h, h:], -20)
            m[h:, :h] = np.ldexp(m[h:, :h], -20)
        regions = [("off-diag", np.s_[:h, h:]), ("off-diag", np.s_[h:, :h]),
                   ("diag", np.s_[:h, :h]), ("diag", np.s_[h:, h:])]
    elif data.startswith("softmax"):
        t = np.exp(rng.uniform(np.log(0.1), np.log(float(data[7:])), n))
        s = a.astype(np.float64) * t[:, None]
        e = np.exp(s - s.max(axis=1, keepdims=True))
        a = (e / e.sum(axis=1, keepdims=True)).astype(np.float32)
        a[np.abs(a) < np.finfo(np.float32).tiny] = 0
    elif data == "zeros":
        a[rng.random(n) < 1 / 8] = 0
        b[:, rng.random(n) < 1 / 8] = 0
    elif data == "subnormal":
        for m in (a, b):
            pick = rng.random((n, n)) < 1 / 3
            m[pick] = np.ldexp(m[pick], -135)
    elif data != "normal":
        raise SystemExit("unknown data set " + data)
    return a, b, regions


def report(c, ref, regions):
    d = c.astype(np.float64) - ref
    rn = np.linalg.norm(ref, axis=1)
    rows = np.linalg.norm(d, axis=1)[rn > 0] / rn[rn > 0]
    out = {}
    for name, s in regions:  # regions of one name are pooled
        num, den = out.get(name, (0.0, 0.0))
        out[name] = (num + np.sum(d[s] ** 2), den + np.sum(ref[s] ** 2))
    parts = [f"{k} {np.sqrt(u / v):.2e}" for k, (u, v) in out.items()]
    zero = ref == 0
    if zero.any():
        parts.append(f"max|C| where exact 0: {np.abs(c[zero]).max():.2e} (max|C| {np.abs(c).max():.0f})")
    return np.linalg.norm(d) / np.linalg.norm(ref), rows.max(), ", ".join(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--n", type=int, default=8192)
    ap.add_argument("--modes", default="classical,safe,accurate,fast,large:256")
    ap.add_argument("--data", default="blocks,blockdiag,softmax100,zeros,normal,subnormal")
    ap.add_argument("--workers", type=int, default=8)
    ap.add_argument("--reps", type=int, default=1, help="runs per mode; the best time is shown")
    args = ap.parse_args()
    prog = os.path.join(args.build, "multiply/cli/korvane_multiply")
    rng = np.random.default_rng(2026)
    with tempfile.TemporaryDirectory() as tmp:
        pa, pb, pc = (os.path.join(tmp, f) for f in ("A.npy", "B.npy", "C.npy"))
        print(f"{'data':9} {'mode':9} {'error':>9} {'worst row':>9} {'/classical':>10} {'/worst':>7} "
              f"{'wall s':>7} {'mult s':>7}  regions")
        for data in args.data.split(","):
            a, b, regions = make(data, args.n, rng)
            subn = sum(int(np.count_nonzero((m != 0) & (np.abs(m) < np.finfo(np.float32).tiny))) for m in (a, b))
            print(f"# {data}: {subn} subnormal entries in A and B", flush=True)
            np.save(pa, a)
            np.save(pb, b)
            ref = a.astype(np.float64) @ b.astype(np.float64)
            base = None
            for mode in args.modes.split(","):
                word, _, leaf = mode.partition(":")
                cmd = [prog, pa, pb, pc, "--mode", word, "--workers", str(args.workers)]
                cmd += ["--leaf", leaf] if leaf else []
                cmd += ["--check"] if data == "zeros" else []
                wall, mult = [], []
                for _ in range(args.reps):
                    t = time.perf_counter()
                    r = subprocess.run(cmd, capture_output=True, text=True)
                    wall.append(time.perf_counter() - t)
                    m = re.search(r"^multiply: ([0-9.]+) s", r.stdout, re.M)
                    mult.append(float(m.group(1)) if m else float("nan"))
                if r.returncode != 0:
                    print(f"{data:9} {mode:9} {r.stderr.strip()}")
                    continue
                err, worst, extra = report(np.load(pc), ref, regions)
                base = base or (err, worst)
                check = re.search(r"worst row ([^)]*)\)", r.stdout)
                extra += f", --check worst row {check.group(1)}" if check else ""
                print(f"{data:9} {mode:9} {err:9.2e} {worst:9.2e} {err / base[0]:10.3g} {worst / base[1]:7.3g} "
                      f"{min(wall):7.2f} {min(mult):7.2f}  {extra}", flush=True)


if __name__ == "__main__":
    main()
