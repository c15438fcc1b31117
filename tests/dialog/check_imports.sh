#!/bin/sh
# Checks what a plug-in module links against:
#   check_imports.sh elf READELF MODULE       no libX11 among the needed libraries (the X11
#                                             dialog loads it at run time)
#   check_imports.sh pe OBJDUMP MODULE        InitCommonControlsEx imported from COMCTL32.dll
#                                             and DialogBoxParamA from USER32.dll
kind=$1
tool=$2
module=$3
fail() {
  echo "$module: $*" >&2
  exit 1
}
case "$kind" in
elf)
  needed=$("$tool" -d "$module") || fail "cannot be read"
  echo "$needed" | grep NEEDED
  echo "$needed" | grep -qi 'libX11' && fail "needs libX11 at load time"
  "$tool" -s --wide "$module" | grep -E ' UND ' | grep -qE ' X[A-Z][A-Za-z]+(@|$)' && fail "has undefined Xlib symbols"
  exit 0
  ;;
pe)
  imports=$("$tool" -p "$module") || fail "cannot be read"
  # "dll function" for every import.
  pairs=$(echo "$imports" | awk '/DLL Name:/ { dll = toupper($3) } dll && $3 != "" && $1 ~ /^[0-9a-f]+$/ { print dll, $3 }')
  echo "$pairs" | grep -q '^COMCTL32.DLL InitCommonControlsEx$' || fail "does not import InitCommonControlsEx from COMCTL32.dll"
  echo "$pairs" | grep -q '^USER32.DLL DialogBoxParamA$' || fail "does not import DialogBoxParamA from USER32.dll"
  echo "$module: COMCTL32.dll InitCommonControlsEx, USER32.dll DialogBoxParamA"
  exit 0
  ;;
esac
fail "unknown kind $kind"
