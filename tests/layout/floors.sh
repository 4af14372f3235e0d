#!/usr/bin/env bash
# Folders are floors: a file includes files of its own folder or of a lower
# floor, never of a higher one. The programs' engine keeps the same floors in
# its own folder (src/jackknife_engine/core, io, ...), and a folder of the
# engine and the shared folder of the same name are one floor.
# Floors, ground first: core; io, linalg, gpu; minque, model; estimator;
# resampling; report; driver; library. Prints every include that climbs and
# fails when there is one.
#
# Usage: tests/layout/floors.sh SOURCE_DIRECTORY
set -u
cd "$1" || exit 2
floor() {
  case "$1" in
    core) echo 10 ;; io|linalg|gpu) echo 20 ;; minque|model) echo 30 ;; estimator) echo 33 ;; resampling) echo 35 ;;
    report) echo 40 ;; driver) echo 50 ;; library) echo 60 ;; *) echo "" ;;
  esac
}
# The floor's folder name of a path below src/ (without src/).
folderOf() {
  local p=${1#jackknife_engine/}
  echo "${p%%/*}"
}
status=0
while IFS= read -r f; do
  mine=$(folderOf "${f#src/}")
  mf=$(floor "$mine")
  [ -n "$mf" ] || continue
  while IFS= read -r inc; do
    other=$(folderOf "$inc")
    of=$(floor "$other")
    [ -n "$of" ] || continue
    if [ "$other" != "$mine" ] && [ "$of" -ge "$mf" ]; then
      echo "$f: includes $inc ($other is above or beside $mine)"
      status=1
    fi
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+\/[^"]+)".*/\1/p' "$f")
done < <(find src -name '*.cpp' -o -name '*.hpp' -o -name '*.cu' | LC_ALL=C sort)
exit $status
