#!/usr/bin/env bash
# Runs the term-product benchmark with OpenBLAS's variables unset and as set
# (openblas_both_ways.sh). Each run times the AVX2 tiles, the AVX-512F tiles
# where the processor has them, and one-thread OpenBLAS on the same pinned core.
# Usage: run_term_product_bench.sh [build dir=build] [n] [reps] [cpu]
set -euo pipefail
build=${1:-build}
shift || true
exec "$(dirname "$0")/../openblas_both_ways.sh" "$build/benchmarks/agg1/term_product_bench" "$@"
