#!/usr/bin/env bash
# Runs the term-product benchmark twice: OpenBLAS as users get it with
# OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE unset, and with the environment as set.
# Usage: run_term_product_bench.sh [build dir=build] [n] [reps] [cpu]
set -euo pipefail
build=${1:-build}
shift || true
bench="$build/benchmarks/agg1/term_product_bench"
echo "== OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$bench" "$@"
echo "== environment as set"
"$bench" "$@"
