#!/usr/bin/python3
"""agg1::run against numpy/OpenBLAS A @ B on the same cores, in the same run.

Usage: compare_agg1.py [--build BUILD_DIR] [--cases 16384:512,8192:256]
                       [--workers 8] [--rounds 2] [--reps 2]

For each case N:block, alternates `rounds` times between one agg1_run_bench
process (best of `reps` runs) and numpy A @ B (into a preallocated C, best of
`reps` after a warm-up) on CPUs 0..workers-1, numpy once with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset and once with the environment as
set. Prints effective GFLOPS (2 N^3 / seconds), the ratio of the best OpenBLAS
time to the best agg1 time (above 1 = agg1 faster), the OpenBLAS kernel, and
the phase times and counts of agg1's best run. Target: 1.4 x at N = 16384.
"""
import argparse
import os
import re
import subprocess
import sys

TARGETS = {16384: 1.4}

NUMPY = r"""
import ctypes, sys, time, numpy as np
n, reps = int(sys.argv[1]), int(sys.argv[2])
lib = [l.split()[-1] for l in open('/proc/self/maps') if 'libopenblas' in l][0]
ob = ctypes.CDLL(lib)
ob.openblas_get_corename.restype = ctypes.c_char_p
g = np.random.default_rng(0)
a = g.standard_normal((n, n), dtype=np.float32)
b = g.standard_normal((n, n), dtype=np.float32)
c = np.empty((n, n), dtype=np.float32)
np.matmul(a, b, out=c)
best = float('inf')
for _ in range(reps):
    t0 = time.perf_counter()
    np.matmul(a, b, out=c)
    best = min(best, time.perf_counter() - t0)
print('NUMPY seconds=%.3f core=%s threads=%d' % (best, ob.openblas_get_corename().decode(), ob.openblas_get_num_threads()))
"""


def numpy_seconds(n, reps, workers, unset):
    env = dict(os.environ, OPENBLAS_NUM_THREADS=str(workers))
    if unset:
        env.pop("OPENBLAS_CORETYPE", None)
        env.pop("OPENBLAS_L2_SIZE", None)
    cpus = "0-%d" % (workers - 1)
    out = subprocess.run(["taskset", "-c", cpus, "/usr/bin/python3", "-c", NUMPY, str(n), str(reps)],
                         env=env, check=True, capture_output=True, text=True).stdout
    m = re.search(r"seconds=([\d.]+) core=(\S+)", out)
    return float(m.group(1)), m.group(2)


def agg1_run(bench, n, block, reps, workers):
    out = subprocess.run([bench, str(n), str(block), str(reps), str(workers), "0"], check=True,
                         capture_output=True, text=True).stdout
    line = next(l for l in out.splitlines() if l.startswith("AGG1_RUN"))
    return float(re.search(r"seconds=([\d.]+)", line).group(1)), line


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default="build")
    p.add_argument("--cases", default="16384:512,8192:256")
    p.add_argument("--workers", type=int, default=8)
    p.add_argument("--rounds", type=int, default=2)
    p.add_argument("--reps", type=int, default=2)
    args = p.parse_args()
    bench = os.path.join(args.build, "benchmarks", "agg1", "agg1_run_bench")
    set_env = {k: os.environ.get(k, "(unset)") for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    print("environment: %s" % " ".join("%s=%s" % kv for kv in set_env.items()))
    for case in args.cases.split(","):
        n, block = (int(x) for x in case.split(":"))
        flops = 2.0 * n ** 3
        best_agg, best_line = float("inf"), ""
        best_np = {True: (float("inf"), ""), False: (float("inf"), "")}
        for _ in range(args.rounds):
            s, line = agg1_run(bench, n, block, args.reps, args.workers)
            if s < best_agg:
                best_agg, best_line = s, line
            for unset in (True, False):
                s, core = numpy_seconds(n, args.reps, args.workers, unset)
                if s < best_np[unset][0]:
                    best_np[unset] = (s, core)
        print("N=%d block=%d workers=%d: agg1 %.3f s %.0f GFLOPS" % (n, block, args.workers, best_agg,
                                                                   flops / best_agg * 1e-9))
        for unset in (True, False):
            s, core = best_np[unset]
            ratio = s / best_agg
            target = TARGETS.get(n)
            verdict = "" if target is None else (" (target %.2f: %s)" % (target, "met" if ratio >= target else "NOT met"))
            print("  numpy/OpenBLAS [%s, core %s] %.3f s %.0f GFLOPS, ratio %.2f%s" % (
                "CORETYPE unset" if unset else "environment as set", core, s, flops / s * 1e-9, ratio, verdict))
        print("  " + best_line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
