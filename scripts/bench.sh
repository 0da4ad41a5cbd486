#!/usr/bin/env bash
# Builds the setup program and the benchmark program, builds the peer
# installers with NSIS, and runs the benchmark under Wine. Arguments go to
# bench/bench.py (--rounds N, --sizes 1,64,512, --publish docs). The table is
# printed and written to build/release/bench/results.csv and, as a page, to
# build/release/bench/performance-results.md; --publish docs copies the page
# and the charts into docs/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh nsis python3-matplotlib
cmake --preset release
cmake --build --preset release --target setup_file setup_bench setup_bench_empty setup_bench_empty_imports
python3=$(sed -n "s/^Python3_EXECUTABLE:[A-Z]*=//p" build/release/CMakeCache.txt)
"$python3" bench/bench.py build/release "$@"
