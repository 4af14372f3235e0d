#!/usr/bin/env bash
# Installs the R package minquecov from this checkout into your own R library
# (R_LIBS_USER, created when missing), from its source tarball so that its
# vignette comes with it (vignette("minquecov")), and runs its example on the bundled
# diallel: the additive correlations, the heritabilities, the components as
# matrices and the pictures (examples/run/minquecov-example.pdf). Needs `bash scripts/setup.sh r` once.
set -euo pipefail
cd "$(dirname "$0")/.."
library=$(Rscript -e 'cat(path.expand(Sys.getenv("R_LIBS_USER")))')
mkdir -p "$library"
tarballs=$(mktemp -d)
trap 'rm -rf "$tarballs"' EXIT
bash scripts/build-r-package.sh "$tarballs"
MAKEFLAGS="-j$(nproc 2>/dev/null || echo 2)" R CMD INSTALL -l "$library" "$tarballs"/minquecov_*.tar.gz
R_LIBS_USER="$library" Rscript -e '
library(minquecov)
data(example_diallel)
r <- minque_analyse(example_diallel, env = "Env", female = "Fem", male = "Male", block = "Blk", effects = TRUE)
print(r)
cat("\nAdditive genetic correlations, VarCorr(r)[[\"V(A)\"]]$correlation:\n")
print(round(VarCorr(r)[["V(A)"]]$correlation, 3))
print(confint(r, "h2_narrow"))
dir.create("examples/run", showWarnings = FALSE); pdf("examples/run/minquecov-example.pdf", width = 9, height = 7)
plot(r)
plot(r, which = "heritability")
plot(r, which = "effects")
invisible(dev.off())
cat("\nThe pictures (correlations, heritabilities, parents\x27 effects) are in examples/run/minquecov-example.pdf;",
    "see ?minque_analyse and ?VarCorr.minque for the rest.\n")'
