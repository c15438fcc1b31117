#!/usr/bin/env bash
# The soak run: tolvane-host's library loads the Tolvane plug-in, which drives two tolvane-slave
# processes (echo) for a few minutes of random block sizes, numbered MIDI events, suspend/resume,
# renumbering between them and slaves killed outright and started again. Every block must come
# back sample-exact or untouched, every event exactly once and in order (outside the moments of
# documented loss), and no processing call may wait past 21 x 100 ms. See docs/reliability.md.
#
#   scripts/soak.sh [--minutes M] [--seed N] [--windows]
#     --minutes M   run M minutes (default 2); e.g. --minutes 60 for an hour
#     --seed N      replay a run (the seed is printed at the start of every run)
#     --windows     also run the Windows build under Wine
# Builds in build/linux-debug (AddressSanitizer and UndefinedBehaviorSanitizer) and, with
# --windows, build/windows-release. Not part of scripts/test.sh, which runs a 15 s version.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=2; seed=(); windows=0
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes="$2"; shift 2 ;;
    --seed) seed=(--seed "$2"); shift 2 ;;
    --windows) windows=1; shift ;;
    *) echo "usage: scripts/soak.sh [--minutes M] [--seed N] [--windows]" >&2; exit 2 ;;
  esac
done
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
status=0

cmake --preset linux-debug >/dev/null
cmake --build --preset linux-debug -j2 --target tolvane-soak Tolvane tolvane-slave
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
echo "== Linux, ${seconds} s"
XDG_CONFIG_HOME="$config" build/linux-debug/tests/fault/tolvane-soak \
  --plugin build/linux-debug/plugins/Tolvane.so --slave-exe build/linux-debug/tools/slave/tolvane-slave \
  --seconds "$seconds" "${seed[@]}" --summary build/linux-debug/soak-summary.txt || status=1

if [ "$windows" = 1 ]; then
  cmake --preset windows-release >/dev/null
  cmake --build --preset windows-release -j2 --target tolvane-soak Tolvane tolvane-slave
  source scripts/wine-env.sh
  wine_start build/windows-release
  trap 'wine_stop; rm -rf "$config"' EXIT
  echo "== Windows (Wine), ${seconds} s"
  (cd build/windows-release && /usr/lib/wine/wine64 tests/fault/tolvane-soak.exe \
    --plugin plugins/Tolvane.dll --slave-exe tools/slave/tolvane-slave.exe \
    --seconds "$seconds" "${seed[@]}" --summary soak-summary.txt) || status=1
  wine_stop
fi
exit $status
