#!/usr/bin/env bash
# The main job, end to end on this machine: installs what is missing, builds the Linux release
# (and the Windows plug-ins and tools, cross-built with mingw-w64, so that the DLLs exist), then
# runs the chain tolvane-host -> Tolvane / TolvaneI -> tolvane-slave -> back over a test signal
# and a MIDI phrase, prints a report and draws docs/demo.png. A third pass (skipped with
# --no-windows or without Wine) runs both through Tolvane.so -> the Wine-library tolvane-slave
# (the wine-slave preset) -> a Windows plug-in DLL (the Windows build's host_fixture).
#
#   bash scripts/main.sh [--plugin PATH]... [--slave N] [--fast] [--seconds S] [--no-windows]
#
# --plugin PATH has the slave host a VST 2.4 plug-in instead of its built-in processor (an
# instrument for the TolvaneI pass, an effect for the Tolvane pass), e.g. after
# `apt-get install dpf-plugins-vst`: --plugin /usr/lib/vst/MVerb-vst.so --plugin /usr/lib/vst/Kars-vst.so
# The outputs go to build/demo/. TOLVANE_LINUX_BUILD, TOLVANE_WINDOWS_BUILD and TOLVANE_WINE_BUILD
# name other build folders than the presets' build/linux-release, build/windows-release and
# build/wine-slave.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

windows=1
demo_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-windows) windows=0; shift ;;
    --plugin|--slave|--seconds) demo_args+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    --fast|--no-picture) demo_args+=("$1"); shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "main.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh

# Builds only what the demo and a user need: the two plug-ins and the two tools.
targets=(Tolvane TolvaneI tolvane-host tolvane-slave)
build_tree() {  # preset, folder, extra configure arguments...
  local preset=$1 dir=$2; shift 2
  if [ "$dir" = "build/$preset" ]; then
    cmake --preset "$preset" >/dev/null
  else
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  fi
  cmake --build "$dir" --target "${targets[@]}" -j2
}
linux_build=${TOLVANE_LINUX_BUILD:-build/linux-release}
windows_build=${TOLVANE_WINDOWS_BUILD:-build/windows-release}
wine_build=${TOLVANE_WINE_BUILD:-build/wine-slave}
echo "== building the Linux release in $linux_build"
build_tree linux-release "$linux_build"
if [ "$windows" -eq 1 ]; then
  echo "== building the Windows plug-ins and tools (mingw-w64) in $windows_build"
  # With the fixture plug-in DLL that the Wine pass hosts.
  targets+=(host_fixture)
  build_tree windows-release "$windows_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
  if command -v winegcc >/dev/null; then
    echo "== building the Wine-library tolvane-slave (winegcc) in $wine_build"
    targets=(tolvane-slave)
    build_tree wine-slave "$wine_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/winegcc.cmake" \
      -DTOLVANE_TESTS=OFF -DTOLVANE_BENCH=OFF
    demo_args+=(--wine-slave "$wine_build" --windows-build "$windows_build")
  else
    echo "== the Wine pass is skipped: Wine's winegcc is not installed (apt-get install wine64-tools)"
  fi
else
  echo "== the Wine pass is skipped (--no-windows)"
fi

echo
echo "== the demo"
bash scripts/demo/run.sh --build "$linux_build" --out build/demo ${demo_args[@]+"${demo_args[@]}"}
if [ -f build/demo/demo.png ]; then
  cp build/demo/demo.png docs/demo.png
  echo "copied         docs/demo.png (the README shows it)"
fi

echo
echo "Built:"
for dir in "$linux_build" "$windows_build"; do
  [ -d "$dir" ] || continue
  for f in plugins/Tolvane.so plugins/TolvaneI.so plugins/Tolvane.dll plugins/TolvaneI.dll \
           tools/host/tolvane-host tools/slave/tolvane-slave tools/host/tolvane-host.exe tools/slave/tolvane-slave.exe; do
    if [ -f "$dir/$f" ]; then echo "  $dir/$f"; fi
  done
done
for f in "$windows_build/tests/fixtures/host_fixture.dll" "$wine_build/tools/slave/tolvane-slave-wine"; do
  if [ "$windows" -eq 1 ] && [ -f "$f" ]; then echo "  $f"; fi
done
