#!/usr/bin/env bash
# The whole chain on the bundled example, in the scratch directory
# examples/run: the model file from the data (minque-model), the variance
# components of every trait (minque-var, writing MATWRN.var and EXAMPLE.VAR),
# then the covariances and correlations of every trait pair (minque-cov,
# writing EXAMPLE.COV). Usage: examples/run_example.sh BUILD_DIRECTORY
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
run="$here/run"
rm -rf "$run"
mkdir -p "$run"
cp "$here/EXAMPLE.TXT" "$run/"
cd "$run"
# Six parents and their 15 crosses, 2 environments x 2 blocks; jackknife
# groups of 4 consecutive plots (J = 21 replicates).
"$build/minque-model" EXAMPLE.TXT --lead 4 --ad Env,Fem,Male,Blk
"$build/minque-var" E 0 0 0 4 0 0 0 0 EXAMPLE.TXT > minque-var.out 2> minque-var.log
"$build/minque-cov" E 0 0 0 4 0 0 0 0 EXAMPLE.TXT > minque-cov.out 2> minque-cov.log
echo
echo "Reports in $run:"
echo "  EXAMPLE.VAR  variance components of each trait"
echo "  EXAMPLE.COV  covariances and correlations of each trait pair"
echo
echo "First block of EXAMPLE.COV:"
awk '/Covariances and Correlations Between/ { blocks++ } blocks == 1' EXAMPLE.COV
