#!/usr/bin/env bash
# The engine is a library that never ends its host process: below apps/ no
# call may end the process or register work for its end (exit, _exit, abort,
# quick_exit, atexit, at_quick_exit); failures travel as RunError values to
# the programs' main. The one exception is the MPI rank team's abort point,
# MPI_Abort in src/jackknife_engine/driver/rank_team_mpi.cpp, which ends the ranks of a failed run.
# Prints every offending line and fails when there is one.
#
# Usage: tests/layout/no_process_exit.sh SOURCE_DIRECTORY
set -u
cd "$1/src" || exit 2
hits=$(grep -rnE '(^|[^A-Za-z_:.>])(std::)?(exit|_exit|_Exit|abort|quick_exit|atexit|at_quick_exit)[[:space:]]*\(' \
         --include='*.cpp' --include='*.hpp' --include='*.cu' --include='*.h' . \
       | grep -vE '^[^:]+:[0-9]+:[[:space:]]*(//|\*)')
aborts=$(grep -rn 'MPI_Abort' --include='*.cpp' --include='*.hpp' --include='*.cu' . | grep -vE '^[^:]+:[0-9]+:[[:space:]]*(//|\*)')
status=0
if [ -n "$hits" ]; then
  echo "Calls that end the process (or register exit hooks) below apps/:"
  echo "$hits"
  status=1
fi
if [ -n "$aborts" ] && [ "$(echo "$aborts" | grep -cv '^./jackknife_engine/driver/rank_team_mpi.cpp:')" -ne 0 ]; then
  echo "MPI_Abort outside the rank team's abort point (jackknife_engine/driver/rank_team_mpi.cpp):"
  echo "$aborts" | grep -v '^./jackknife_engine/driver/rank_team_mpi.cpp:'
  status=1
fi
if [ "$(echo "$aborts" | grep -c 'MPI_Abort(')" -gt 1 ]; then
  echo "More than one MPI_Abort in the rank team:"
  echo "$aborts"
  status=1
fi
exit $status
