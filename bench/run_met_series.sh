#!/usr/bin/env bash
# The estimator's growth in n: `minque analyse` (default: the parametric
# bootstrap, B = 1000) on simulated multi-environment trials, G genotypes x
# E environments x R replicates, four traits, random Geno, Geno*Env and
# Env*Rep, Env fixed. Prints n, the random levels m, the factor eliminated in
# closed form and the levels left, seconds and peak memory; with BASELINE=/path/to/another/minque,
# the same for that program (an earlier build) side by side, where n is at
# most BASELINE_UP_TO (default 16000) and it finishes within LIMIT seconds
# (default 600).
#
# Usage: bench/run_met_series.sh BUILD_DIRECTORY [G:E:R ...]
#   default series: 100:4:5 400:4:5 800:4:5 2000:4:5 5000:4:5 1000:20:5
source "$(dirname "$0")/common.sh"
shift
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(100:4:5 400:4:5 800:4:5 2000:4:5 5000:4:5 1000:20:5)
limit="${LIMIT:-600}"
enter "$here/data/met"
echo "minque analyse on multi-environment trials (B = 1000), $(nproc) hardware threads:"
printf '%7s %7s %10s %6s | %8s %8s' n m eliminated left seconds MB
[ -n "${BASELINE:-}" ] && printf ' | %8s %8s' "baseline" MB
printf '\n'
for c in "${cases[@]}"; do
  IFS=: read -r G E R <<< "$c"
  file="MET-$G-$E-$R.csv"
  [ -f "$file" ] || bash "$here/make_met_trial.sh" "$G" "$E" "$R" "$file"
  # Geno*Env's levels are eliminated in closed form; Geno's and Env*Rep's are left.
  n=$((G * E * R)); m=$((G + G * E + E * R)); left=$((G + E * R))
  model=("$file" --random Geno,Geno*Env,Env*Rep --fixed Env --traits Yield,Height,GrainWt,Heading --replace)
  printf '%7d %7d %10s %6d | %s' "$n" "$m" "Geno*Env" "$left" "$(measure "$build/minque" analyse "${model[@]}" --out new)"
  if [ -n "${BASELINE:-}" ]; then
    if [ "$n" -le "${BASELINE_UP_TO:-16000}" ]; then
      printf ' | %s' "$(measure "$BASELINE" analyse "${model[@]}" --out baseline)"
    else
      printf ' | %8s %8s' "-" "-"
    fi
  fi
  printf '\n'
done
