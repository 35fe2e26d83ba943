#!/usr/bin/python3
"""Error of every korvane_multiply mode on badly scaled data, against classical.

Usage: scaled_data.py [--build BUILD_DIR ...] [--n 8192] [--modes classical,safe,accurate,fast,large,large:256]
                      [--data inner30,inner8,outer30,normal,offset] [--workers 8]

For each data set, numpy makes A and B (normal entries, then scaled) and the
FP64 product; each build's program multiplies them in each mode, and the
table shows the relative Frobenius error of C, its worst row (largest
relative error of one row) and both as ratios to the classical mode's of the
first build. Several --build options compare builds on the same inputs (for
instance before and after a change).

Data sets:
  inner30  column k of A times 2^e_k, row k of B times 2^-e_k, e_k uniform in -30..30
  inner8   the same with e_k in -8..8
  outer30  rows of A and columns of B times independent 2^e, e in -30..30
  rows30   rows of A times 2^e, e in -30..30, B standard normal
  normal   standard normal entries
  offset   1 + 0.1 * normal
  big124   A = normal * 2^124, B = normal * 2^-100
  max125   A = normal * 2^125 (up to near float's largest), B = normal * 2^-120

A suffix puts subnormal entries (1e-40) into a data set, where the scaling
brings their lines down: "+a1" one in A (in the column of A with the largest
scale), "+a10" ten in A, "+b10" ten in B (in the rows of B with the largest
scale), "+a1000000" a million in A; for example inner30+a1. "+zbK" makes K
rows of B zero (in inner data those at the largest scale of A's columns, so
that the column of A beside each is the largest), "+zaK" K columns of A -0.0
(in inner data those at the smallest scale, beside the largest rows of B);
for example inner30+zb1, rows30+zb819.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

import numpy as np


def make(data, n, rng):
    data, *subnormals = data.split("+")
    a = rng.standard_normal((n, n), dtype=np.float32)
    b = rng.standard_normal((n, n), dtype=np.float32)
    if data.startswith("inner"):
        k = int(data[5:])
        e = rng.integers(-k, k + 1, n).astype(np.int32)
        a = np.ldexp(a, e[None, :])
        b = np.ldexp(b, -e[:, None])
    elif data.startswith("rows"):
        k = int(data[4:])
        a = np.ldexp(a, rng.integers(-k, k + 1, n).astype(np.int32)[:, None])
    elif data.startswith("outer"):
        k = int(data[5:])
        a = np.ldexp(a, rng.integers(-k, k + 1, n).astype(np.int32)[:, None])
        b = np.ldexp(b, rng.integers(-k, k + 1, n).astype(np.int32)[None, :])
    elif data == "offset":
        a = (1 + 0.1 * a).astype(np.float32)
        b = (1 + 0.1 * b).astype(np.float32)
    elif data == "big124":
        a = np.ldexp(a, 124)
        b = np.ldexp(b, -100)
        e = np.zeros(n, np.int32)
    elif data == "max125":
        a = np.ldexp(a, 125)
        b = np.ldexp(b, -120)
        e = np.zeros(n, np.int32)
    elif data != "normal":
        sys.exit("unknown data set " + data)
    a, b = a.astype(np.float32), b.astype(np.float32)
    for s in subnormals:
        if s[0] == "z":
            count = int(s[2:])
            if data.startswith("inner"):
                lines = np.argsort(-e if s[1] == "b" else e, kind="stable")[:count]
            else:
                lines = rng.choice(n, count, replace=False)
            if s[1] == "b":
                b[lines, :] = 0
            else:
                a[:, lines] = -0.0
            continue
        count = int(s[1:])
        # The lines the scaling brings down most: the largest inner scales.
        if (data.startswith("inner") or data in ("big124", "max125")) and count <= n:
            lines = np.argsort(-e if s[0] == "a" else e, kind="stable")[:count]
        else:
            lines = rng.integers(0, n, count)
        others = rng.integers(0, n, count)
        if s[0] == "a":
            a[others, lines] = np.float32(1e-40)
        else:
            b[lines, others] = np.float32(1e-40)
    return a, b


def errors(c, ref):
    d = c.astype(np.float64) - ref
    rows = np.linalg.norm(d, axis=1) / np.linalg.norm(ref, axis=1)
    return np.linalg.norm(d) / np.linalg.norm(ref), rows.max(), int((~np.isfinite(c)).sum())


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", help="build directory (repeatable); default ./build")
    ap.add_argument("--n", type=int, default=8192)
    ap.add_argument("--modes", default="classical,safe,accurate,fast,large,large:256")
    ap.add_argument("--data", default="inner30,inner8,outer30,normal,offset")
    ap.add_argument("--workers", type=int, default=8)
    args = ap.parse_args()
    builds = args.build or ["build"]
    modes = args.modes.split(",")
    rng = np.random.default_rng(2026)
    with tempfile.TemporaryDirectory() as tmp:
        pa, pb, pc = (os.path.join(tmp, f) for f in ("A.npy", "B.npy", "C.npy"))
        print(f"{'data':8} {'build':14} {'mode':10} {'error':>9} {'worst row':>9} {'/classical':>10} {'/worst':>8} {'non-finite':>10}  multiply")
        for data in args.data.split(","):
            a, b = make(data, args.n, rng)
            np.save(pa, a)
            np.save(pb, b)
            ref = a.astype(np.float64) @ b.astype(np.float64)
            base = None
            for build in builds:
                prog = os.path.join(build, "multiply/cli/korvane_multiply")
                for mode in modes:
                    word, _, leaf = mode.partition(":")
                    cmd = [prog, pa, pb, pc, "--mode", word, "--workers", str(args.workers)]
                    if leaf:
                        cmd += ["--leaf", leaf]
                    r = subprocess.run(cmd, capture_output=True, text=True)
                    if r.returncode != 0:
                        print(f"{data:8} {build[-14:]:14} {mode:10} {r.stderr.strip()}")
                        continue
                    err, worst, bad = errors(np.load(pc), ref)
                    if base is None:
                        base = (err, worst)
                    secs = re.search(r"^multiply: ([0-9.]+) s", r.stdout, re.M)
                    print(f"{data:8} {build[-14:]:14} {mode:10} {err:9.2e} {worst:9.2e} {err / base[0]:10.2f} "
                          f"{worst / base[1]:8.2f} {bad:10d}  {secs.group(1) if secs else '?'} s", flush=True)


if __name__ == "__main__":
    main()
