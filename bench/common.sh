# Sourced by the bench scripts: strict mode, the bench folder (here), the
# build folder given as the script's first argument (build), the seconds
# since a `date +%s.%N` stamp (elapsed), a data folder to work in (enter),
# and the time and memory of one run (measure).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }
enter() {
  mkdir -p "$1"
  cd "$1"
}
# Seconds and peak resident memory (MB) of one run, or ">LIMIT" when cut
# (LIMIT: the script's $limit); its standard error in run.err.
measure() {
  if /usr/bin/time -o time.txt -f '%e %M' timeout "$limit" "$@" > /dev/null 2> run.err; then
    awk '{ printf "%8.2f %8.0f", $1, $2 / 1024 }' time.txt
  else
    printf '%8s %8s' ">$limit" "-"
  fi
}
