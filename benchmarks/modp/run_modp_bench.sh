#!/bin/bash
# Benchmark of korvane_multiply_modp at N = 8192 against one 8-thread
# cblas_dgemm of the same side, measured in the same run.
#
#   benchmarks/modp/run_modp_bench.sh [build_dir] [work_dir] [repetitions]
#
# build_dir: where korvane_multiply_modp and modp_dgemm_reference were built
# (default /work/build-modp); work_dir: scratch space for the two 256 MiB
# inputs and the output (default /tmp/korvane_modp_bench); repetitions: rounds
# (default 3). Each round runs the reference and every row once, interleaved,
# so that a change in machine load affects all of them alike; the table keeps
# the best time of each. Needs /usr/bin/python3 with numpy for the inputs.
set -eu
BUILD=${1:-/work/build-modp}
WORK=${2:-/tmp/korvane_modp_bench}
REPS=${3:-3}
N=8192
PROG=$BUILD/modp/korvane_multiply_modp
REF=$BUILD/benchmarks/modp/modp_dgemm_reference
PY=${KORVANE_PYTHON:-/usr/bin/python3}

mkdir -p "$WORK"
if [ ! -f "$WORK/a.npy" ] || [ ! -f "$WORK/b.npy" ]; then
  "$PY" -c "
import numpy as np
r = np.random.default_rng(8192)
np.save('$WORK/a.npy', r.integers(-2**31, 2**31, ($N, $N), dtype=np.int64).astype('<i4'))
np.save('$WORK/b.npy', r.integers(-2**31, 2**31, ($N, $N), dtype=np.int64).astype('<i4'))
"
fi

ROWS=("classical 1024 65521" "fmm 1024 65521" "fmm 512 65521"
      "classical 1024 1048573" "fmm 1024 1048573" "fmm 512 1048573")
declare -a BEST
DGEMM=""
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

for ((r = 0; r < REPS; r++)); do
  s=$("$REF" $N 8 1 | awk '/^dgemm_seconds/ {print $2}')
  DGEMM=$(min "$DGEMM" "$s")
  for i in "${!ROWS[@]}"; do
    set -- ${ROWS[$i]}
    if out=$("$PROG" "$WORK/a.npy" "$WORK/b.npy" "$WORK/c.npy" --p "$3" --mode "$1" --block "$2" --workers 8 2>&1); then
      s=$(printf '%s\n' "$out" | awk '/^multiply:/ {print $2}')
      BEST[$i]=$(min "${BEST[$i]:-}" "$s")
    else
      BEST[$i]=refused   # the route's bound reaches 2^53 for this p
    fi
    rm -f "$WORK/c.npy"
  done
done

printf 'N = %d, 8 workers, best of %d rounds; plain 8-thread cblas_dgemm: %.3f s\n' $N "$REPS" "$DGEMM"
printf '%-10s %6s %8s %12s %10s\n' route block p multiply_s vs_dgemm
for i in "${!ROWS[@]}"; do
  set -- ${ROWS[$i]}
  if [ "${BEST[$i]}" = refused ]; then
    printf '%-10s %6s %8s %12s %10s\n' "$1" "$2" "$3" refused -
  else
    printf '%-10s %6s %8s %12.3f %10.3f\n' "$1" "$2" "$3" "${BEST[$i]}" \
      "$(awk -v s="${BEST[$i]}" -v d="$DGEMM" 'BEGIN { print s / d }')"
  fi
done
