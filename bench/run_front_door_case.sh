#!/usr/bin/env bash
# Times `minque analyse` on the reference case's trial table (REFTRIAL.csv:
# n = 2000, random factors F1, F2, F3 of 40, 400 and 60 levels, three fixed
# columns, 10 traits, groups of 20: J = 100) against minque-var followed by
# minque-cov on the same engine files, which analyse writes. Two rounds, each
# analyse then the two programs; prints each time and the ratios.
#
# Usage: bench/run_front_door_case.sh BUILD_DIRECTORY
source "$(dirname "$0")/common.sh"
enter "$here/data/front-door"
[ -f REFTRIAL.csv ] || "$build/bench/minque-reference-case" .
args=(E 0 0 0 20 0 0 0 0 REFTRIAL.TXT)
echo "minque analyse against minque-var + minque-cov on the reference case (n = 2000, t = 10, J = 100), $(nproc) hardware threads:"
for round in 1 2; do
  start=$(date +%s.%N)
  "$build/minque" analyse REFTRIAL.csv --random F1,F2,F3 --fixed Third --se jackknife --group 20 --out results --replace > /dev/null 2> analyse.log
  front=$(elapsed "$start")
  rm -rf chain && mkdir chain && cp results/REFTRIAL.TXT results/REFTRIAL.MAT results/REFTRIAL.DAT chain/
  start=$(date +%s.%N)
  (cd chain && "$build/minque-var" "${args[@]}" > /dev/null 2> var.log)
  var=$(elapsed "$start")
  start=$(date +%s.%N)
  (cd chain && "$build/minque-cov" "${args[@]}" > /dev/null 2> cov.log)
  cov=$(elapsed "$start")
  ratio=$(awk -v f="$front" -v v="$var" -v c="$cov" 'BEGIN { printf "%.2f", f / (v + c) }')
  printf '  round %d: analyse %6.2f s; minque-var %6.2f s + minque-cov %6.2f s; ratio %s\n' "$round" "$front" "$var" "$cov" "$ratio"
  strip() { grep -v -e 'Date and Time for Analysis' -e 'Time Used' "$1"; }
  for report in REFTRIAL.VAR REFTRIAL.COV; do
    cmp -s <(strip "results/$report") <(strip "chain/$report") || { echo "  $report DIFFERS from the programs'" >&2; exit 1; }
  done
  cmp -s results/MATWRN.var chain/MATWRN.var || { echo "  MATWRN.var DIFFERS from minque-var's" >&2; exit 1; }
done
echo "  reports and MATWRN.var identical to the programs' (apart from the date and run-time lines)"
