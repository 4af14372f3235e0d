#!/usr/bin/env bash
# The second command on a fresh machine: installs what is missing, builds
# everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh tests
make test
