#!/usr/bin/env bash
# Runs the commands of the breeder's guide that are marked as runnable (fenced
# blocks opened with "```sh runnable", and "```sh runnable long" unless
# QUICK), in order, in a fresh folder holding a copy of the examples and
# scripts, with the built programs on the PATH, so the guide never drifts
# from the programs. Any command that fails fails the test. The sanitizer
# build passes QUICK: a long command there takes minutes and finds nothing
# the unit and command-line tests of the same code do not.
#
# Usage: tests/guide/run_guide_commands.sh BUILD_DIRECTORY SOURCE_DIRECTORY [QUICK]
set -euo pipefail
build="$(cd "$1" && pwd)"
source="$(cd "$2" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$source/examples" "$source/scripts" "$work/"
rm -rf "$work/examples/run"
export PATH="$build:$PATH"
awk -v quick="${3:-}" '/^```sh runnable$/ || (/^```sh runnable long$/ && quick == "") { inside = 1; next } /^```/ { inside = 0 } inside' \
  "$source/docs/guide.md" > "$work/commands.sh"
count=$(grep -c . "$work/commands.sh" || true)
if [ "$count" -eq 0 ]; then echo "no runnable commands found in docs/guide.md" >&2; exit 1; fi
cd "$work"
while IFS= read -r command; do
  [ -n "$command" ] || continue
  echo "+ $command"
  bash -c "$command" > output.log 2>&1 || { cat output.log; echo "FAILED: $command" >&2; exit 1; }
done < commands.sh
# The group-size table the guide quotes is the one the script writes.
scripts/group_size_table.sh > table.md
while IFS= read -r line; do
  grep -qxF -- "$line" "$source/docs/guide.md" || { echo "docs/guide.md does not quote this line of the group-size table: $line" >&2; exit 1; }
done < table.md
echo "$count commands of docs/guide.md ran; its group-size table is the script's"
