#!/usr/bin/env bash
# Runs a benchmark command twice: with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE
# unset for that command alone (OpenBLAS picks its kernel for this processor,
# AVX-512 where there is one) and with the environment as set.
# Usage: openblas_both_ways.sh command [arguments]
set -euo pipefail
echo "== OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$@"
echo "== environment as set"
"$@"
