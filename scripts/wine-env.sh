# Sourced: sets up a fresh Wine prefix under the given build folder and one persistent
# wineserver for the whole run (so no test waits for a server to exit, and nothing holds the
# caller's pipe open). Call wine_stop when done.
wine_start() {
  local build="$1"
  export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  mkdir -p "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1 </dev/null &
  sleep 0.5
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 </dev/null || true
}
wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
}
