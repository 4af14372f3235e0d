#!/usr/bin/env bash
# Times minque-cov on the reference case (bench/make_reference_case.cpp):
# generates it once in bench/data (with the variance file from minque-var),
# then runs the analysis three times, printing each wall time with the phase
# times and the median. With --with-reference it also times one run of the
# straightforward reference kernels (--reference-kernels) and checks that both
# reports are byte-identical apart from the date and run-time lines.
#
# Usage: bench/run_reference_case.sh BUILD_DIRECTORY [--with-reference]
source "$(dirname "$0")/common.sh"
reference=""
[ "${2:-}" = "--with-reference" ] && reference="--reference-kernels"
args=(E 0 0 0 20 0 0 0 0 REF.TXT)
enter "$here/data"
if [ ! -f REF.MAT ] || [ ! -f MATWRN.var ]; then
  rm -f MATWRN.var
  "$build/bench/minque-reference-case" .
  echo "Writing the variance file of the reference case (minque-var) ..."
  start=$(date +%s.%N)
  "$build/minque-var" "${args[@]}" > /dev/null 2> var.log
  echo "  minque-var: $(elapsed "$start") s"
fi

run() {  # run LABEL [OPTION]: one timed run, the report kept as REF.COV.LABEL
  local start seconds
  start=$(date +%s.%N)
  "$build/minque-cov" "${args[@]}" --timings ${2:-} > /dev/null 2> cov.log
  seconds=$(elapsed "$start")
  cp REF.COV "REF.COV.$1"
  printf '  %-10s %6.2f s  %s\n' "$1" "$seconds" "$(grep 'Phase times' cov.log | sed 's/^ *//')"
  echo "$seconds" >> times.$$
}

echo "minque-cov on the reference case (n = 2000, m = 500, p = 3, t = 10, J = 100), $(nproc) hardware threads:"
rm -f times.$$
for k in 1 2 3; do run "run$k"; done
echo "  median     $(sort -n times.$$ | sed -n 2p) s"
rm -f times.$$
if [ -n "$reference" ]; then
  run reference "$reference"
  strip() { grep -v -e 'Date and Time for Analysis' -e 'Time Used' "$1"; }
  if cmp -s <(strip REF.COV.run1) <(strip REF.COV.reference); then
    echo "  reports identical to the reference kernels' (apart from the date and run-time lines)"
  else
    echo "  REPORTS DIFFER from the reference kernels'" >&2
    exit 1
  fi
fi
