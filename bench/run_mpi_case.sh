#!/usr/bin/env bash
# The reference case (n = 2000, m = 500, t = 10, J = 100) with minque-cov over
# MPI ranks against one process: `mpirun -np 2` with 1 worker thread per rank
# and one process with 2 threads, alternately, twice each; checks that the
# reports are identical (apart from the date and run-time lines). Then one
# pass's time on the host for n = 2000, 4000 and 8000 (m = n / 4), from
# minque-var runs of 3 passes with --timings.
#
# Usage: bench/run_mpi_case.sh BUILD_DIRECTORY
source "$(dirname "$0")/common.sh"
data="$here/data"
enter "$data"
if [ ! -f REF.MAT ] || [ ! -f MATWRN.var ]; then
  echo "Run bench/run_reference_case.sh first: it writes the reference case and its variance file." >&2
  exit 1
fi
args=(E 0 0 0 20 0 0 0 0 REF.TXT)
mpirun=(mpirun --oversubscribe --allow-run-as-root)
strip() { grep -v -e 'Date and Time for Analysis' -e 'Time Used' "$1"; }
echo "minque-cov on the reference case: one process with 2 threads against mpirun -np 2 with 1 thread per rank:"
for round in 1 2; do
  start=$(date +%s.%N)
  "$build/minque-cov" "${args[@]}" --threads 2 > /dev/null 2> cov.log
  single=$(elapsed "$start")
  cp REF.COV REF.COV.single
  start=$(date +%s.%N)
  "${mpirun[@]}" -np 2 "$build/minque-cov" "${args[@]}" --threads 1 > /dev/null 2> cov.log
  ranks=$(elapsed "$start")
  cmp -s <(strip REF.COV) <(strip REF.COV.single) || { echo "  REPORTS DIFFER between the two runs" >&2; exit 1; }
  printf '  round %d: one process, 2 threads %6.2f s; 2 ranks, 1 thread each %6.2f s; ratio %s\n' "$round" "$single" \
    "$ranks" "$(awk -v a="$ranks" -v b="$single" 'BEGIN { printf "%.2f", a / b }')"
done
echo "  reports identical"

echo "One estimation pass on the host (2 threads), from minque-var runs of 3 passes:"
for n in 2000 4000 8000; do
  dir="$data/size-$n"
  mkdir -p "$dir"
  (cd "$dir" && [ -f REF.TXT ] || "$build/bench/minque-reference-case" . "$n")
  (cd "$dir" && rm -f MATWRN.var && "$build/minque-var" E 0 0 0 $((n / 2)) 0 0 0 0 REF.TXT --timings > /dev/null 2> var.log)
  phases=$(grep 'Phase times' "$dir/var.log" | sed 's/^ *//')
  per=$(echo "$phases" | awk -F'[ ,]+' '{ s = 0; for (i = 1; i <= NF; ++i) if ($i ~ /^[0-9.]+$/) s += $i; printf "%.2f", s / 3 }')
  printf '  n = %5d, m = %5d: %s s per pass (%s)\n' "$n" $((n / 4)) "$per" "$phases"
done
