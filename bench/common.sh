# Sourced by the bench scripts: strict mode, the bench folder (here), the
# build folder given as the script's first argument (build), the seconds
# since a `date +%s.%N` stamp (elapsed), and a data folder to work in (enter).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
elapsed() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }
enter() {
  mkdir -p "$1"
  cd "$1"
}
