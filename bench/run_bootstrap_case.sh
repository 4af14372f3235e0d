#!/usr/bin/env bash
# Times `minque analyse` on the reference case's trial table (n = 2000, 10
# traits, random factors of 40, 400 and 60 levels, J = 100) with the
# jackknife's standard errors, with the parametric bootstrap's (B = 1000, the
# default) and with the bootstrap and --effects, side by side, twice; checks
# that the bootstrap's tables are the same with 1 thread and with all.
#
# Usage: bench/run_bootstrap_case.sh BUILD_DIRECTORY
source "$(dirname "$0")/common.sh"
enter "$here/data/front-door"
[ -f REFTRIAL.csv ] || "$build/bench/minque-reference-case" .
model=(REFTRIAL.csv --random F1,F2,F3 --fixed Third --replace)
echo "minque analyse, jackknife against bootstrap (B = 1000), reference case (n = 2000, t = 10, J = 100), $(nproc) hardware threads:"
for round in 1 2; do
  start=$(date +%s.%N)
  "$build/minque" analyse "${model[@]}" --se jackknife --group 20 --out jackknife > /dev/null 2>&1
  jack=$(elapsed "$start")
  start=$(date +%s.%N)
  "$build/minque" analyse "${model[@]}" --out bootstrap > /dev/null 2>&1
  boot=$(elapsed "$start")
  start=$(date +%s.%N)
  "$build/minque" analyse "${model[@]}" --effects --out effects > /dev/null 2>&1
  effects=$(elapsed "$start")
  printf '  round %d: jackknife %6.2f s, bootstrap %6.2f s (ratio %s), bootstrap with --effects %6.2f s (+%s%%)\n' \
    "$round" "$jack" "$boot" "$(awk -v a="$boot" -v b="$jack" 'BEGIN { printf "%.2f", a / b }')" "$effects" \
    "$(awk -v a="$effects" -v b="$boot" 'BEGIN { printf "%.0f", 100 * (a / b - 1) }')"
done
"$build/minque" analyse "${model[@]}" --threads 1 --out bootstrap-1 > /dev/null 2>&1
for table in variances covariances correlations heritability; do
  cmp -s "bootstrap/$table.csv" "bootstrap-1/$table.csv" || { echo "  $table.csv DIFFERS between 1 thread and all" >&2; exit 1; }
done
echo "  the bootstrap's tables are the same with 1 thread and with all"
