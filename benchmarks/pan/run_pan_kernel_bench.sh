#!/usr/bin/env bash
# The Pan leaf kernel against one-thread OpenBLAS, twice: with OPENBLAS_CORETYPE
# and OPENBLAS_L2_SIZE unset for that command alone (OpenBLAS picks its kernel
# for this processor, AVX-512 where there is one) and with the environment as
# it is. Usage: run_pan_kernel_bench.sh [build dir=build] [n=1024] [reps=15] [cpu]
set -euo pipefail
build=${1:-build}
shift || true
bench="$build/benchmarks/pan/pan_kernel_bench"
echo "== OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$bench" "$@"
echo "== environment as set"
"$bench" "$@"
