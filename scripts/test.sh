#!/usr/bin/env bash
# Installs what is missing, builds the setup file and the tests, and runs the
# whole suite under Wine in a private prefix and X server. Screenshots taken
# by the suite end up as PNG files in build/test/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset test
cmake --build --preset test -j "$(nproc)"
status=0
ctest --preset test "$@" || status=$?
for bitmap in build/test/artifacts/*.bmp; do
  [ -f "$bitmap" ] && /usr/bin/convert "$bitmap" "${bitmap%.bmp}.png"
done
exit $status
