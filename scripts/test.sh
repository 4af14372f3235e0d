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
# R CMD build compiles the package's engine to build the vignette, and R CMD
# check compiles it again to install it, with the same flags: through ccache
# (a store in the temporary folder, the source folders left out of what it
# compares, as they differ) the second compile is the first's.
if command -v ccache >/dev/null 2>&1; then
  printf 'CXX20 = ccache %s\n' "$(R CMD config CXX20)" > "$rcheck/Makevars"
  export R_MAKEVARS_USER="$rcheck/Makevars" CCACHE_DIR="$rcheck/ccache" CCACHE_NOHASHDIR=1
fi
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
