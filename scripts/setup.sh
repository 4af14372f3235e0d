#!/usr/bin/env bash
# Installs the Debian or Ubuntu packages a build needs, when they are missing.
#   scripts/setup.sh programs   the compiler, CMake, make, CLI11 and Eigen 3
#   scripts/setup.sh r          also R with its compilers, Rcpp, testthat,
#                               RcppEigen, ggplot2, generics, nlme, knitr and
#                               markdown
#                               (the R package minquecov and its vignette)
#   scripts/setup.sh tests      also GoogleTest, Google Benchmark, headless
#                               Chromium (for the test that loads the page),
#                               Open MPI (for the runs over MPI ranks),
#                               ccache and what the R package and its
#                               tests need
# Needs root or sudo when something is missing; prints what it installs.
set -euo pipefail
mode="${1:-programs}"
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/eigen3/Eigen/Core ] || need+=(libeigen3-dev)
# OpenBLAS: the product behind a genomic relationship matrix (optional to the
# build; without it the same numbers come slower).
ls /usr/lib/x86_64-linux-gnu/libopenblas.so* >/dev/null 2>&1 || ls /usr/lib/*/libopenblas.so* >/dev/null 2>&1 || need+=(libopenblas-dev)
if [ "$mode" = r ] || [ "$mode" = tests ]; then
  # r-base-dev: R, its headers and the compilers R CMD INSTALL uses.
  dpkg -s r-base-dev >/dev/null 2>&1 || need+=(r-base-dev)
  [ -d /usr/lib/R/site-library/Rcpp ] || [ -d /usr/lib/R/library/Rcpp ] || need+=(r-cran-rcpp)
  [ -d /usr/lib/R/site-library/testthat ] || [ -d /usr/lib/R/library/testthat ] || need+=(r-cran-testthat)
  # RcppEigen: the Eigen headers the estimator is compiled with in R.
  [ -d /usr/lib/R/site-library/RcppEigen ] || [ -d /usr/lib/R/library/RcppEigen ] || need+=(r-cran-rcppeigen)
  # generics and nlme: the generics tidy/glance and VarCorr/ranef the
  # package's methods belong to; knitr and markdown build its vignette.
  for p in ggplot2 generics nlme knitr markdown; do
    [ -d /usr/lib/R/site-library/$p ] || [ -d /usr/lib/R/library/$p ] || need+=(r-cran-$p)
  done
fi
if [ "$mode" = tests ]; then
  # lme4: the R tests compare the accessors with it.
  [ -d /usr/lib/R/site-library/lme4 ] || [ -d /usr/lib/R/library/lme4 ] || need+=(r-cran-lme4)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  [ -x /usr/bin/chromium-headless-shell ] || [ -x /usr/bin/chromium ] || need+=(chromium-headless-shell)
  [ -f /usr/include/x86_64-linux-gnu/openmpi/mpi.h ] || [ -f /usr/lib/x86_64-linux-gnu/openmpi/include/mpi.h ] \
    || need+=(libopenmpi-dev)
  command -v mpirun >/dev/null 2>&1 || need+=(openmpi-bin)
  # ccache: the test command compiles the R package's engine twice (for its
  # vignette, then for the check), the second time from the first's store.
  command -v ccache >/dev/null 2>&1 || need+=(ccache)
fi
[ "${#need[@]}" -eq 0 ] && exit 0
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "scripts/setup.sh: these packages are missing: ${need[*]}; run as root, or install sudo" >&2
    exit 1
  fi
  sudo=sudo
fi
echo "Installing ${need[*]} ..."
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
