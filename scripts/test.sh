#!/usr/bin/env bash
# The second command on a fresh machine: installs what is missing, builds
# everything and runs every test: the suite of the programs and the library,
# then the R package, whose tarball R CMD check installs into a library of
# its own and tests (its tables compared with build/minque's CSV files).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh tests
make test

root=$PWD
rcheck=$(mktemp -d)
trap 'rm -rf "$rcheck"' EXIT
bash scripts/build-r-package.sh "$rcheck" > "$rcheck/build.log" 2>&1 || { cat "$rcheck/build.log"; exit 1; }
(cd "$rcheck" && MAKEFLAGS="-j$(nproc 2>/dev/null || echo 2)" MINQUE_BIN="$root/build/minque" \
   R CMD check --no-manual minquecov_*.tar.gz > check.log 2>&1) || true
status=$(grep '^Status:' "$rcheck/check.log" || echo "Status: did not finish")
echo "R CMD check of the R package: $status"
case "$status" in
  *ERROR*|*WARNING*|*"did not finish"*)
    cat "$rcheck/check.log"
    tail -40 "$rcheck"/minquecov.Rcheck/00install.out "$rcheck"/minquecov.Rcheck/tests/testthat.Rout* 2>/dev/null || true
    exit 1 ;;
esac
