#!/bin/bash
# Benchmark of korvane_multiply_modp against one 8-thread cblas_dgemm of the
# same side and against FLINT's nmod_mat_mul, all measured in the same run.
#
#   benchmarks/modp/run_modp_bench.sh [build_dir] [work_dir] [repetitions] [sides]
#
# build_dir: where korvane_multiply_modp and the references were built
# (default ./build); work_dir: scratch space for the inputs and the output
# (default /tmp/korvane_modp_bench); repetitions: rounds (default 3); sides:
# matrix sides (default "4096 8192"). Each round runs every row once,
# interleaved, so that a change in machine load affects all of them alike;
# the tables keep the best time of each row.
#
# Rows: the dgemm reference (with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE as
# the environment sets them and, when set, once more with both unset), the
# fmm route at p = 65521 with blocks 256, 512 and 1024, the classical route
# at p = 1048573, and FLINT's nmod_mat_mul (8 threads) at both moduli (one
# run per round at the largest side: it takes minutes). "multiply" is the
# program's multiply line, "command" the whole command (reading and writing
# included). A second table gives the seconds per phase of the products
# (modp_phases, best run). Needs /usr/bin/python3 with numpy for the inputs.
set -eu
BUILD=${1:-build}
WORK=${2:-/tmp/korvane_modp_bench}
REPS=${3:-3}
SIDES=${4:-"4096 8192"}
PROG=$BUILD/modp/korvane_multiply_modp
REF=$BUILD/benchmarks/modp/modp_dgemm_reference
PHASES=$BUILD/benchmarks/modp/modp_phases
FLINT=$BUILD/benchmarks/modp/modp_flint_reference
PY=${KORVANE_PYTHON:-/usr/bin/python3}
[ -x "$FLINT" ] || FLINT=""

mkdir -p "$WORK"
for N in $SIDES; do
  if [ ! -f "$WORK/a$N.npy" ] || [ ! -f "$WORK/b$N.npy" ]; then
    "$PY" -c "
import numpy as np
r = np.random.default_rng($N)
for f in 'ab':
    np.save('$WORK/%s$N.npy' % f, r.integers(-2**31, 2**31, ($N, $N), dtype=np.int64).astype('<i4'))
"
  fi
done

# Row: kind route block p. kind: dgemm, dgemm_unset, prog, flint.
ROWS=("dgemm - - -")
if [ -n "${OPENBLAS_CORETYPE:-}${OPENBLAS_L2_SIZE:-}" ]; then ROWS+=("dgemm_unset - - -"); fi
ROWS+=("prog fmm 256 65521" "prog fmm 512 65521" "prog fmm 1024 65521" "prog classical 1024 1048573")
if [ -n "$FLINT" ]; then ROWS+=("flint - - 65521" "flint - - 1048573"); fi

declare -A BEST BESTCMD PHASE
CORE="" CORE_UNSET=""
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
now() { date +%s.%N; }
total_of() { printf '%s\n' "$1" | sed -n 's/.* total=\([0-9.]*\).*/\1/p'; }

for ((r = 0; r < REPS; r++)); do
  for N in $SIDES; do
    for row in "${ROWS[@]}"; do
      set -- $row
      key="$N $row"
      case $1 in
        dgemm)
          out=$("$REF" "$N" 8 1)
          CORE=$(printf '%s\n' "$out" | awk '/^openblas_core/ {print $2}')
          s=$(printf '%s\n' "$out" | awk '/^dgemm_seconds/ {print $2}') ;;
        dgemm_unset)
          out=$(env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$REF" "$N" 8 1)
          CORE_UNSET=$(printf '%s\n' "$out" | awk '/^openblas_core/ {print $2}')
          s=$(printf '%s\n' "$out" | awk '/^dgemm_seconds/ {print $2}') ;;
        flint)
          if [ "$N" = "${SIDES##* }" ] && [ "$r" -gt 0 ]; then continue; fi
          s=$("$FLINT" "$N" "$4" 8 1 | awk '/^flint_seconds/ {print $2}') ;;
        prog)
          t0=$(now)
          if out=$("$PROG" "$WORK/a$N.npy" "$WORK/b$N.npy" "$WORK/c.npy" --p "$4" --mode "$2" --block "$3" --workers 8 2>&1); then
            s=$(printf '%s\n' "$out" | awk '/^multiply:/ {print $2}')
            BESTCMD[$key]=$(min "${BESTCMD[$key]:-}" "$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }')")
          else
            s=refused
          fi
          rm -f "$WORK/c.npy"
          if [ "$s" != refused ]; then
            ph=$("$PHASES" "$2" "$N" "$3" "$4" 8 1)
            if [ -z "${PHASE[$key]:-}" ] || [ "$(min "$(total_of "${PHASE[$key]}")" "$(total_of "$ph")")" != "$(total_of "${PHASE[$key]}")" ]; then
              PHASE[$key]=$ph
            fi
          fi ;;
      esac
      if [ "$s" = refused ]; then BEST[$key]=refused; else BEST[$key]=$(min "${BEST[$key]:-}" "$s"); fi
    done
  done
done

echo "8 workers / 8 threads, best of $REPS rounds (FLINT at the largest side: one run)"
echo "OpenBLAS kernel: ${CORE}${CORE_UNSET:+ (with OPENBLAS_CORETYPE/OPENBLAS_L2_SIZE unset: $CORE_UNSET)}"
printf '%-6s %-22s %8s %12s %12s %10s\n' N row p multiply_s command_s vs_dgemm
for N in $SIDES; do
  d=${BEST["$N dgemm - - -"]}
  for row in "${ROWS[@]}"; do
    set -- $row
    key="$N $row"
    case $1 in
      dgemm) name="cblas_dgemm" ;;
      dgemm_unset) name="cblas_dgemm (env unset)" ;;
      flint) name="flint nmod_mat_mul" ;;
      prog) name="$2 block $3" ;;
    esac
    s=${BEST[$key]:-}
    if [ -z "$s" ] || [ "$s" = refused ]; then
      printf '%-6s %-22s %8s %12s %12s %10s\n' "$N" "$name" "$4" "${s:-none}" - -
    else
      c=${BESTCMD[$key]:-}
      [ -n "$c" ] && c=$(printf '%.3f' "$c") || c=-
      printf '%-6s %-22s %8s %12.3f %12s %10.3f\n' "$N" "$name" "$4" "$s" "$c" \
        "$(awk -v s="$s" -v d="$d" 'BEGIN { print s / d }')"
    fi
  done
done
echo
echo "Seconds per phase of the products (best run):"
for N in $SIDES; do
  for row in "${ROWS[@]}"; do
    key="$N $row"
    [ -n "${PHASE[$key]:-}" ] && printf '%s\n' "${PHASE[$key]}"
  done
done
