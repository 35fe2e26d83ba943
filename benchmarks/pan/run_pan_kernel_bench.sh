#!/usr/bin/env bash
# The Pan leaf kernel against one-thread OpenBLAS, with OpenBLAS's variables
# unset and as set (openblas_both_ways.sh).
# Usage: run_pan_kernel_bench.sh [build dir=build] [n=1024] [reps=15] [cpu]
set -euo pipefail
build=${1:-build}
shift || true
exec "$(dirname "$0")/../openblas_both_ways.sh" "$build/benchmarks/pan/pan_kernel_bench" "$@"
