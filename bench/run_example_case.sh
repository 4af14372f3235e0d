#!/usr/bin/env bash
# Times `minque analyse` on the bundled example (the half diallel of
# examples/EXAMPLE.TXT: 84 plots, 4 traits, the default bootstrap, B = 1000)
# RUNS times (default 40); with BASELINE=/path/to/another/minque, that build
# as well, the two taking turns (a busy moment of the machine slows both).
# Prints the median and the fastest run of each, and the ratio of the
# medians. A small run: its time is mostly the process's start, the 1,000
# samples' normal deviates and their projections, and the files.
#
# Usage: [BASELINE=path] [RUNS=n] bench/run_example_case.sh BUILD_DIRECTORY
source "$(dirname "$0")/common.sh"
example="$here/../examples/EXAMPLE.TXT"
enter "$here/data/example"
runs=${RUNS:-40}
programs=("$build/minque")
[ -n "${BASELINE:-}" ] && programs+=("$(cd "$(dirname "$BASELINE")" && pwd)/$(basename "$BASELINE")")
for p in "${!programs[@]}"; do : > "times-$p.txt"; done
for run in $(seq "$runs"); do
  for p in "${!programs[@]}"; do
    start=$EPOCHREALTIME
    "${programs[$p]}" analyse "$example" --env Env --female Fem --male Male --block Blk --out "results-$p" --replace \
      > /dev/null 2> run.err || { cat run.err >&2; exit 1; }
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f\n", 1000 * (b - a) }' >> "times-$p.txt"
  done
done
echo "minque analyse on the bundled example (B = 1000), $runs runs each, $(nproc) hardware threads:"
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.1f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
for p in "${!programs[@]}"; do
  printf '  %-10s median %6.1f ms, fastest %6.1f ms  (%s)\n' "$([ "$p" = 0 ] && echo this || echo baseline)" \
    "$(median "times-$p.txt")" "$(sort -n "times-$p.txt" | head -1)" "${programs[$p]}"
done
if [ "${#programs[@]}" = 2 ]; then
  awk -v a="$(median times-0.txt)" -v b="$(median times-1.txt)" 'BEGIN { printf "  ratio of the medians: %.2f\n", a / b }'
fi
