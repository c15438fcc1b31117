#!/usr/bin/env bash
# tolvane-slave-wine: starts the Wine-library tolvane-slave (tolvane-slave.exe.so, beside this
# script), which serves the Linux link and hosts a 64-bit Windows VST 2.4 plug-in.
#
#   tolvane-slave-wine PLUGIN.dll SLAVE [tolvane-slave options...]
#   tolvane-slave-wine [tolvane-slave options...]     (as tolvane-slave --help shows)
#
# PLUGIN.dll is a Linux path or a path inside the Wine prefix (C:\...). The prefix is
# $WINEPREFIX, or ~/.wine; $TOLVANE_WINE names Wine's 64-bit loader when it is not in the usual place.
set -u
me=tolvane-slave-wine
here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
program="$here/tolvane-slave.exe.so"

fail() { echo "$me: $1" >&2; exit "${2:-1}"; }

# A Linux path becomes the same file on Wine's drive Z: (the whole Linux tree in every prefix).
windows_path() {
  case "$1" in
    /*) local p="Z:$1"; printf '%s' "${p//\//\\}" ;;
    [A-Za-z]:*) printf '%s' "$1" ;;
    *) local p="Z:$(pwd)/$1"; printf '%s' "${p//\//\\}" ;;
  esac
}

args=()
if [ $# -ge 1 ] && [ "${1#-}" = "$1" ]; then
  # The short form: a plug-in and a slave number.
  [ $# -ge 2 ] || fail "give the slave number after the plug-in: $me PLUGIN.dll SLAVE [options]" 2
  plugin="$1" slave="$2"; shift 2
  case "$plugin" in
    [A-Za-z]:*) ;;
    *) [ -f "$plugin" ] || fail "no plug-in at $plugin" 3 ;;
  esac
  args=(--slave "$slave" --process "plugin:$(windows_path "$plugin")")
fi
for a in "$@"; do
  case "$a" in
    plugin:/*|plugin:./*|plugin:../*)
      [ -f "${a#plugin:}" ] || fail "no plug-in at ${a#plugin:}" 3
      args+=("plugin:$(windows_path "${a#plugin:}")") ;;
    --process=plugin:/*)
      [ -f "${a#--process=plugin:}" ] || fail "no plug-in at ${a#--process=plugin:}" 3
      args+=("--process=plugin:$(windows_path "${a#--process=plugin:}")") ;;
    *) args+=("$a") ;;
  esac
done

wine="${TOLVANE_WINE:-}"
if [ -z "$wine" ]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && { wine="$candidate"; break; }
  done
fi
[ -n "$wine" ] && [ -x "$wine" ] ||
  fail "Wine's 64-bit loader (wine64) is not installed: apt-get install wine64 (or set TOLVANE_WINE to it)"
[ -f "$program" ] || fail "the program $program is missing: build the wine-slave preset (cmake --preset wine-slave)"
if missing=$(ldd "$program" 2>/dev/null | grep 'not found'); [ -n "$missing" ]; then
  fail "the libraries that $program needs are not all installed (Debian's wine64-tools brings them):
$missing"
fi

prefix="${WINEPREFIX:-$HOME/.wine}"
[ -f "$prefix/system.reg" ] ||
  fail "no Wine prefix at $prefix: set WINEPREFIX to the prefix your plug-in is installed in, or make one with
  WINEPREFIX=$prefix wineboot -i    (about 10 s and 0.7 GB the first time)"
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG-fixme-all}"
# Wine's own start script sets WINEDLLPATH to the program's folder, and then every plug-in
# library fails to load: the program is started through the loader with its absolute path.
unset WINEDLLPATH

# The first Wine process of a prefix starts Wine's services, which keep the standard streams
# they inherit: started here from /dev/null, they never hold a pipe that reads the slave's output.
server_dir="/tmp/.wine-$(id -u)/$(printf 'server-%x-%x' $(stat -L -c '%d %i' "$prefix"))"
if [ ! -S "$server_dir/socket" ]; then
  "$wine" wineboot </dev/null >/dev/null 2>&1 || true
fi
exec "$wine" "$program" "${args[@]}"
