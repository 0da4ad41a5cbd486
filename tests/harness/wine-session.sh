#!/usr/bin/env bash
# Starts or stops the private Wine session of a build tree:
#   wine-session.sh start   fresh prefix from a booted template, own X server
#                           (Xvfb) unless TARVO_KEEP_DISPLAY is set, a
#                           persistent wineserver and, when
#                           TARVO_DESKTOP_KEEPER names it, the program that
#                           holds the desktop
#   wine-session.sh stop    ends the wineserver and the X server
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
template="$TARVO_WINE_ROOT/prefix-template"

quiet() { "$@" </dev/null >/dev/null 2>&1; }

start_display() {
  local number
  [ -n "${TARVO_KEEP_DISPLAY:-}" ] && return
  rm -f "$TARVO_WINE_ROOT/display"
  # -displayfd picks a free display number and writes it once listening.
  setsid Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp -noreset \
    3>"$TARVO_WINE_ROOT/display.number" </dev/null >"$TARVO_WINE_ROOT/xvfb.log" 2>&1 &
  echo $! >"$TARVO_WINE_ROOT/xvfb.pid"
  for _ in $(seq 100); do
    number=$(tr -dc '0-9' <"$TARVO_WINE_ROOT/display.number" 2>/dev/null || true)
    [ -n "$number" ] && break
    sleep 0.1
  done
  [ -n "$number" ] || { echo "Xvfb did not start" >&2; cat "$TARVO_WINE_ROOT/xvfb.log" >&2; exit 1; }
  echo ":$number" >"$TARVO_WINE_ROOT/display"
  export DISPLAY=":$number"
}

# The template is booted again whenever these settings change.
template_settings() {
  declare -f boot_template
}

boot_template() {
  [ -f "$template/system.reg" ] && [ "$(cat "$template/settings" 2>/dev/null)" = "$(template_settings)" ] && return
  rm -rf "$template"
  WINEPREFIX="$template" quiet wineboot -i
  # A virtual desktop saves the two seconds Wine spends on every window
  # hide or destroy without a window manager; it holds the window at 200 %
  # scaling. Theming off draws the progress bar in the colour the program
  # asks for.
  WINEPREFIX="$template" quiet wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
  WINEPREFIX="$template" quiet wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1600x1200 /f
  WINEPREFIX="$template" quiet wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive /d 0 /f
  WINEPREFIX="$template" quiet wineserver -w
  template_settings >"$template/settings"
}

start() {
  mkdir -p "$TARVO_WINE_ROOT"
  stop
  # Without these folders Wine links the prefix's Desktop to $HOME itself.
  rm -rf "$HOME"
  mkdir -p "$HOME/Desktop" "$HOME/Documents" "$HOME/Downloads" "$HOME/Music" "$HOME/Pictures" "$HOME/Videos"
  start_display
  boot_template
  rm -rf "$WINEPREFIX"
  cp -a "$template" "$WINEPREFIX"
  quiet wineserver -p
  # The first process after a fresh wineserver keeps its stdout open; take
  # that turn here with nothing attached.
  quiet wine wineboot
  # The desktop held for the session's life (see desktop_keeper.cpp); the
  # wineserver's end ends it. The keeper's start starts the desktop process,
  # which is waited for here: started by a test instead, it would inherit
  # that test's output and, never ending, keep ctest reading it for ever.
  if [ -n "${TARVO_DESKTOP_KEEPER:-}" ]; then
    rm -f "$TARVO_WINE_ROOT/desktop.ready"
    setsid wine "$TARVO_DESKTOP_KEEPER" "$(winepath -w "$TARVO_WINE_ROOT/desktop.ready")" </dev/null >/dev/null 2>&1 &
    for _ in $(seq 300); do
      [ -f "$TARVO_WINE_ROOT/desktop.ready" ] && break
      sleep 0.1
    done
    [ -f "$TARVO_WINE_ROOT/desktop.ready" ] || { echo "the desktop did not start" >&2; exit 1; }
  fi
  echo "wine session ready: WINEPREFIX=$WINEPREFIX DISPLAY=${DISPLAY:-}"
}

stop() {
  quiet wineserver -k || true
  if [ -f "$TARVO_WINE_ROOT/xvfb.pid" ]; then
    kill "$(cat "$TARVO_WINE_ROOT/xvfb.pid")" 2>/dev/null || true
    rm -f "$TARVO_WINE_ROOT/xvfb.pid" "$TARVO_WINE_ROOT/display"
  fi
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: wine-session.sh start|stop" >&2; exit 2 ;;
esac
