#!/usr/bin/env bash
# Every leaf kernel at side n on one pinned core against one-thread OpenBLAS
# SGEMM, in one run: the Pan pair kernel, the accurate kernel at depth chunks
# 32, 64 and 128 and the agg1 term product (three terms a side, three
# outputs). Each benchmark program runs twice (openblas_both_ways.sh): with
# OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, so that OpenBLAS picks its own
# kernel for this processor (AVX-512 where there is one), and with the
# environment as set. Inside a program the contenders alternate run by run.
# The summary gives, per kernel and register tile, the median GFLOPS, OpenBLAS's
# median GFLOPS both ways, the ratios (of medians; of best times in brackets,
# which a neighbour sharing the core disturbs less) and the target against
# OpenBLAS unset;
# "*" marks the register tiles the programs select on this processor.
# Usage: run_kernel_ratios.sh [build dir=build] [n=1024] [reps=15] [cpu=7]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
n=${2:-1024}
reps=${3:-15}
cpu=${4:-7}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for bench in pan/pan_kernel_bench agg1/term_product_bench; do
    name=$(basename "$bench")
    "$here/../openblas_both_ways.sh" "$build/benchmarks/$bench" "$n" "$reps" "$cpu" | tee "$out/$name.txt"
done

/usr/bin/python3 - "$out/pan_kernel_bench.txt" "$out/term_product_bench.txt" <<'PY'
import re, sys

# target against OpenBLAS (variables unset) per kernel name prefix
targets = [("pair_product", 0.95), ("accurate", None), ("term_product", 0.90)]
acc_targets = {"32": 0.85, "64": 0.90, "128": 0.90}
line_re = re.compile(r"^(.*?)\s+best=\S+ s\s+(\S+) GFLOPS\s+median=\S+ s\s+(\S+) GFLOPS")

def parse(path):
    runs, cur = {}, None
    for line in open(path):
        line = line.rstrip("\n")
        if line.startswith("== OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset"):
            cur = runs.setdefault("unset", {"rows": {}})
        elif line.startswith("== environment as set"):
            cur = runs.setdefault("set", {"rows": {}})
        elif cur is not None and line.startswith("openblas core="):
            cur["core"] = line.split()[1].split("=", 1)[1]
        elif cur is not None and line.startswith("selected tiles:"):
            cur["selected"] = line.split(":", 1)[1].strip()
        elif cur is not None:
            m = line_re.match(line)
            if m:
                cur["rows"][m.group(1).strip()] = (float(m.group(2)), float(m.group(3)))
    return runs

def target_of(name):
    if name.startswith("accurate"):
        return acc_targets[name.rsplit(" ", 1)[1]]
    for prefix, t in targets:
        if name.startswith(prefix):
            return t
    return None

print()
print("KERNEL_RATIOS (median GFLOPS; ratios to one-thread OpenBLAS SGEMM of the same run; * = selected tiles)")
for path in sys.argv[1:]:
    runs = parse(path)
    u, s = runs["unset"], runs["set"]
    blas_ub, blas_u = u["rows"]["cblas_sgemm 1 thread"]
    blas_s = s["rows"]["cblas_sgemm 1 thread"][1]
    print(f"  openblas unset: core {u['core']}, {blas_u:.1f} GFLOPS; as set: core {s['core']}, "
          f"{blas_s:.1f} GFLOPS; selected tiles: {u.get('selected', '?')}")
    for name, (best, med) in u["rows"].items():
        if name.startswith("cblas_sgemm"):
            continue
        med_s = s["rows"].get(name, (0.0, 0.0))[1]
        t = target_of(name)
        tiles = "avx512" if "avx512" in name else "avx2"
        mark = "*" if u.get("selected", "").startswith(tiles) else " "
        ok = "" if t is None else ("met" if med / blas_u >= t else "MISSED")
        print(f"  {mark} {name:<30} {med:6.1f} GFLOPS  vs openblas unset {med / blas_u:.3f}"
              f" (best {best / blas_ub:.3f})  as set {med_s / blas_s:.3f}  target {t:.2f} (unset) {ok}")
PY
