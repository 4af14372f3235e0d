#!/usr/bin/env bash
# The standard errors of a few correlations of the bundled example for
# several jackknife group sizes, as a Markdown table (quoted in
# docs/guide.md). The example's 84 plots are ordered by environment, block and
# entry (21 entries per block), so groups of 21 are the blocks and groups of
# 42 the environments.
#
# Usage: scripts/group_size_table.sh [BUILD_DIRECTORY]
# (default: the minque on the PATH, else build/ of this repository)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -ge 1 ]; then
  minque="$(cd "$1" && pwd)/minque"
elif command -v minque >/dev/null 2>&1; then
  minque="$(command -v minque)"
else
  minque="$root/build/minque"
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root/examples/EXAMPLE.TXT" "$work/"
cd "$work"
rows=("Yield,Height,V(A)" "Yield,GrainWt,V(A)" "Height,Heading,V(D)" "Yield,Height,V(e)" "Yield,Height,Phenotypic")
printf '| group size g | J | what a group is |'
for r in "${rows[@]}"; do IFS=, read -r a b c <<< "$r"; printf ' %s %s-%s |' "$c" "$a" "$b"; done
printf '\n|---|---|---|'
for r in "${rows[@]}"; do printf -- '---|'; done
printf '\n'
for g in 1 3 7 21 42; do
  case $g in
    1) what="one plot" ;;
    21) what="one block" ;;
    42) what="one environment" ;;
    *) what="$g consecutive plots" ;;
  esac
  "$minque" analyse EXAMPLE.TXT --env Env --female Fem --male Male --block Blk --se jackknife --group $g \
    --out "g$g" > /dev/null 2>&1
  printf '| %d | %d | %s |' "$g" $((84 / g)) "$what"
  for r in "${rows[@]}"; do
    IFS=, read -r a b c <<< "$r"
    # estimate (S.E.) from correlations.csv: trait_1,trait_2,component,estimate,se,...
    cell=$(awk -F, -v a="$a" -v b="$b" -v c="$c" '$1 == a && $2 == b && $3 == c { printf "%.2f (%.3f)", $4, $5 }' "g$g/correlations.csv")
    printf ' %s |' "$cell"
  done
  printf '\n'
done
