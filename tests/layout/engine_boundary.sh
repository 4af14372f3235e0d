#!/usr/bin/env bash
# The programs' engine (src/jackknife_engine) is reached from outside its
# folder in two places only: the library's one adapter for `--se jackknife`
# (src/library/engine_jackknife.cpp) and `minque summary`, which reads the
# programs' reports (src/driver/minque_command.cpp). The engine itself needs
# only the standard library: nothing in it includes the estimator or Eigen.
# Prints every offending include and fails when there is one.
#
# Usage: tests/layout/engine_boundary.sh SOURCE_DIRECTORY
set -u
cd "$1/src" || exit 2
status=0
outside=$(grep -rn '#include "jackknife_engine/' --include='*.cpp' --include='*.hpp' --include='*.cu' . \
          | grep -v '^./jackknife_engine/' \
          | grep -vE '^./(library/engine_jackknife\.cpp|driver/minque_command\.cpp):')
if [ -n "$outside" ]; then
  echo "Includes of the programs' engine outside its adapter:"
  echo "$outside"
  status=1
fi
inside=$(grep -rnE '#include ["<](estimator/|library/|Eigen|eigen3/)' --include='*.cpp' --include='*.hpp' --include='*.cu' \
         jackknife_engine)
if [ -n "$inside" ]; then
  echo "The programs' engine includes the estimator, the library or Eigen:"
  echo "$inside"
  status=1
fi
exit $status
