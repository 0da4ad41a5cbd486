#!/usr/bin/env bash
# Installs what is missing, builds build/release/TarvoMarkwise_Setup.exe and
# starts it under Wine in a private prefix (build/release/wine): on your X
# display when DISPLAY is set, otherwise in a virtual display, where a
# screenshot is saved and the program is then ended.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
setup=build/release/TarvoMarkwise_Setup.exe
python3 tools/pack_setup.py --verify "$setup"

export TARVO_WINE_ROOT="$PWD/build/release/wine"
if [ -n "${DISPLAY:-}" ]; then
  export TARVO_KEEP_DISPLAY=1
  tests/harness/wine-session.sh start
  tests/harness/wine-run.sh "$setup" || true
  tests/harness/wine-session.sh stop
  exit 0
fi

tests/harness/wine-session.sh start
trap 'tests/harness/wine-session.sh stop' EXIT
DISPLAY=$(cat "$TARVO_WINE_ROOT/display")
export DISPLAY
tests/harness/wine-run.sh "$setup" </dev/null >/dev/null 2>&1 &
window=""
for _ in $(seq 100); do
  window=$(xwininfo -root -tree 2>/dev/null | awk '/"tarvomarkwise_setup.exe"/ && !/Default IME/ {print $1; exit}')
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "the setup window did not appear" >&2; exit 1; }
sleep 3
shot="$PWD/build/release/setup-window.png"
import -window "$window" "$shot"
echo "No X display: the setup ran in a virtual display ($DISPLAY); screenshot of its window saved to $shot"
