#!/usr/bin/env bash
# Checks a plug-in module's exports and imports, as a host's loader sees them.
#   check_exports.sh posix MODULE.so   - the dynamic symbol table defines exactly VSTPluginMain
#                                        and main
#   check_exports.sh win32 MODULE.dll  - the export table holds exactly VSTPluginMain and main,
#                                        and every imported DLL is a system DLL
set -euo pipefail
platform=$1
module=$2
expected=$'VSTPluginMain\nmain'

if [ "$platform" = posix ]; then
  exports=$(nm -D --defined-only "$module" | awk '{print $NF}' | LC_ALL=C sort)
else
  dump=$(x86_64-w64-mingw32-objdump -p "$module")
  # Rows of the name pointer table look like "	[   0] VSTPluginMain".
  exports=$(printf '%s\n' "$dump" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { inTable = 1; next }
    inTable && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next }
    inTable { inTable = 0 }' | LC_ALL=C sort)
  imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print $3 }')
  system_dlls='^(kernel32|msvcrt|ucrtbase|user32|gdi32|advapi32|comctl32|comdlg32|shell32|ole32|oleaut32|ntdll|ws2_32|bcrypt|api-ms-win-[a-z0-9-]+)\.dll$'
  echo "imports:" $imports
  bad=0
  for dll in $imports; do
    if ! printf '%s\n' "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dlls"; then
      echo "FAIL: $module imports a non-system DLL: $dll"
      bad=1
    fi
  done
  [ -n "$imports" ] || { echo "FAIL: no import table found in $module"; bad=1; }
  [ $bad -eq 0 ] || exit 1
fi

echo "exports:" $exports
if [ "$exports" != "$expected" ]; then
  echo "FAIL: $module must export exactly VSTPluginMain and main"
  exit 1
fi
echo "OK: $module"
