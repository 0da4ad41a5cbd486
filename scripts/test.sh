#!/usr/bin/env bash
# Installs what is missing, builds the setup file and the tests, and runs the
# whole suite under Wine in a private prefix and X server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset test
cmake --build --preset test -j "$(nproc)"
ctest --preset test "$@"
