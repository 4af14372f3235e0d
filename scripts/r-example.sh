#!/usr/bin/env bash
# Installs the R package minquecov from this checkout into your own R library
# (R_LIBS_USER, created when missing) and runs its example on the bundled
# diallel: the additive correlations, the heritabilities and the heatmap
# (examples/run/minquecov-example.pdf). Needs `bash scripts/setup.sh r` once.
set -euo pipefail
cd "$(dirname "$0")/.."
library=$(Rscript -e 'cat(path.expand(Sys.getenv("R_LIBS_USER")))')
mkdir -p "$library"
MAKEFLAGS="-j$(nproc 2>/dev/null || echo 2)" R CMD INSTALL -l "$library" r
R_LIBS_USER="$library" Rscript -e '
library(minquecov)
data(example_diallel)
r <- minque_analyse(example_diallel, env = "Env", female = "Fem", male = "Male", block = "Blk")
print(r)
print(r$heritability[r$heritability$quantity %in% c("h2_narrow", "h2_broad"), ], row.names = FALSE)
dir.create("examples/run", showWarnings = FALSE); pdf("examples/run/minquecov-example.pdf")
plot(r)
invisible(dev.off())
cat("\nThe heatmap is in examples/run/minquecov-example.pdf; see ?minque_analyse for the rest.\n")'
