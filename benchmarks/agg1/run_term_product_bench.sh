#!/usr/bin/env bash
# Runs the term-product benchmark twice: with OPENBLAS_CORETYPE and
# OPENBLAS_L2_SIZE unset for that command alone (OpenBLAS picks its kernel for
# this processor, AVX-512 where there is one) and with the environment as set.
# Each run times the AVX2 tiles, the AVX-512F tiles where the processor has
# them, and one-thread OpenBLAS on the same pinned core.
# Usage: run_term_product_bench.sh [build dir=build] [n] [reps] [cpu]
set -euo pipefail
build=${1:-build}
shift || true
bench="$build/benchmarks/agg1/term_product_bench"
echo "== OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$bench" "$@"
echo "== environment as set"
"$bench" "$@"
