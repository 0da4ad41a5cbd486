# Sourced by the harness scripts: the private Wine environment of one build
# tree. TARVO_WINE_ROOT names it; everything Wine writes stays below it.
: "${TARVO_WINE_ROOT:?set TARVO_WINE_ROOT to the wine folder of a build tree}"
export WINEPREFIX="$TARVO_WINE_ROOT/prefix"
export HOME="$TARVO_WINE_ROOT/home"
export WINEARCH=win64
export WINEDEBUG="${TARVO_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ -z "${TARVO_KEEP_DISPLAY:-}" ] && [ -f "$TARVO_WINE_ROOT/display" ]; then
  DISPLAY=$(cat "$TARVO_WINE_ROOT/display")
  export DISPLAY
fi
