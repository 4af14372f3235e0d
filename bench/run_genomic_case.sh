#!/usr/bin/env bash
# Genotyped individuals with a genomic relationship matrix: N individuals,
# M markers, 4 traits, one record each (random Line related by G from the
# markers; the intercept fixed), B = 1000. Times `minque grm` (the matrix
# alone) and the whole `minque analyse --relationship Line=markers`, with
# peak memory; the data are simulated once by examples/simulate_genotyped_lines.sh
# and kept in bench/data/genomic.
#
# Usage: bench/run_genomic_case.sh BUILD_DIRECTORY [N:M ...]   (default 5000:20000)
source "$(dirname "$0")/common.sh"
shift
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(5000:20000)
limit="${LIMIT:-1800}"
enter "$here/data/genomic"
echo "Genotyped individuals, one record each, 4 traits, B = 1000, $(nproc) hardware threads:"
printf '%7s %7s | %8s %8s | %8s %8s\n' N markers "grm s" MB "analyse s" MB
for c in "${cases[@]}"; do
  IFS=: read -r N M <<< "$c"
  dir="N$N-M$M"
  [ -f "$dir/SNP.csv" ] || bash "$here/../examples/simulate_genotyped_lines.sh" "$N" "$M" 1 1 "$dir"
  printf '%7d %7d | %s' "$N" "$M" "$(measure "$build/minque" grm "$dir/SNP.csv" --out "$dir/G.csv" --replace)"
  printf ' | %s\n' "$(measure "$build/minque" analyse "$dir/LINES.csv" --random Line --fixed 1 \
    --traits Yield,Height,GrainWt,Heading --relationship Line=markers --markers "$dir/SNP.csv" --out "$dir/out" --replace)"
done
