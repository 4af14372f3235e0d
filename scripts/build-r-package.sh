#!/usr/bin/env bash
# Writes the source tarball of the R package, minquecov_<version>.tar.gz,
# into DIR. The tarball is self-contained: the engine's sources and the
# bundled example trial are copied into it from this checkout at build time
# (and marked, so that its configure keeps them), never kept in r/ itself.
#
#   bash scripts/build-r-package.sh DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: bash scripts/build-r-package.sh DIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg="$stage/minquecov"
cp -R "$root/r" "$pkg"
(cd "$pkg" && sh ./cleanup)   # nothing of an install in the checkout comes along
mkdir -p "$pkg/src/minque-engine" "$pkg/data"
cp -R "$root/src" "$pkg/src/minque-engine/src"
cp -R "$root/include" "$pkg/src/minque-engine/include"
cp "$root/examples/EXAMPLE.TXT" "$pkg/data/example_diallel.txt"
echo "The engine's sources, copied by scripts/build-r-package.sh from $(git -C "$root" describe --always --dirty 2>/dev/null || echo 'a checkout')." \
  > "$pkg/src/minque-engine/FROM_TARBALL"
cd "$out"
# Building the vignette installs the package once: compile in parallel.
MAKEFLAGS="${MAKEFLAGS:--j$(nproc 2>/dev/null || echo 2)}" R CMD build --no-manual "$pkg"
