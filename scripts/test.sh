#!/usr/bin/env bash
# Runs every test of both platforms: Linux natively (AddressSanitizer and
# UndefinedBehaviorSanitizer build), Windows cross-built with mingw-w64 and run under Wine,
# and a short smoke run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
werror=-DTOLVANE_WERROR=ON

summary=()
passed=0; failed=0
run_ctest() {
  local preset="$1"; shift; local log="build/$preset/ctest.log"
  set +e
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line; line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  local total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
  local bad=$(echo "$line" | sed -E 's/.*, ([0-9]+) tests failed.*/\1/')
  if [ -z "$line" ]; then total=0; bad=1; fi
  passed=$((passed + total - bad)); failed=$((failed + bad))
  summary+=("$preset: $((total - bad)) passed, $bad failed")
  return $rc
}

status=0
cmake --preset linux-debug $werror >/dev/null
cmake --build --preset linux-debug -j2
run_ctest linux-debug || status=1

cmake --preset windows-release $werror >/dev/null
cmake --build --preset windows-release -j2
source scripts/wine-env.sh
wine_start build/windows-release
trap wine_stop EXIT
run_ctest windows-release || status=1
wine_stop

# The Wine-library slave between the Linux plug-in and the Windows fixture plug-ins
# (scripts/wine-slave-test.sh), in the Windows stage's Wine prefix, on slave number 16.
cmake --preset wine-slave $werror >/dev/null
cmake --build --preset wine-slave -j2
wine_start build/windows-release
set +e
bash scripts/wine-slave-test.sh build/linux-debug build/wine-slave build/windows-release 16 | tee build/wine-slave/test.log
set -e
wine_stop
line=$(grep -E '^wine-slave: [0-9]+ passed, [0-9]+ failed$' build/wine-slave/test.log | tail -1)
wine_ok=$(echo "$line" | sed -E 's/wine-slave: ([0-9]+) passed.*/\1/'); wine_bad=$(echo "$line" | sed -E 's/.* ([0-9]+) failed/\1/')
if [ -z "$line" ]; then wine_ok=0; wine_bad=1; fi
[ "$wine_bad" -eq 0 ] || status=1
summary+=("wine-slave: $wine_ok passed, $wine_bad failed")
passed=$((passed + wine_ok)); failed=$((failed + wine_bad))

# ThreadSanitizer over the tests that run both ends of a link in one process (a bridge or a
# channel against a slave thread). Only their targets are built. Warnings are not errors here:
# gcc warns that the detector cannot see std::atomic_thread_fence, and the builds above already
# hold every other warning to -Werror.
tsan_targets="test_bridge_link test_bridge_threads test_bridge_stale_slave test_link_channel test_link_block test_slave_core test_slave_process"
tsan_tests='^(BridgeLink|BridgeThreads|StalePeers|Channel|ChannelNames|PosixLink|BlockChannels|BlockReset|EventPacking|EventReading|SlaveMemTest|SlaveMemWithoutBlock|SlaveCore|SlaveProcessors|SlaveOptionsParsing|SlaveProgram|SlaveServer)[.]'
cmake --preset linux-tsan >/dev/null
cmake --build --preset linux-tsan -j2 --target $tsan_targets
run_ctest linux-tsan -j2 -R "$tsan_tests" || status=1

cmake --preset fuzz $werror >/dev/null
cmake --build --preset fuzz -j2
fuzz_ok=0; fuzz_bad=0
for f in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="build/fuzz/corpus/$name"; mkdir -p "$corpus"
  if "$f" -max_total_time=15 -timeout=5 "$corpus" >"build/fuzz/$name.log" 2>&1; then
    fuzz_ok=$((fuzz_ok + 1)); echo "fuzz $name: ok ($(grep -c . "build/fuzz/$name.log") log lines)"
  else
    fuzz_bad=$((fuzz_bad + 1)); status=1; echo "fuzz $name: FAILED"; tail -40 "build/fuzz/$name.log"
  fi
done
summary+=("fuzz: $fuzz_ok passed, $fuzz_bad failed")
passed=$((passed + fuzz_ok)); failed=$((failed + fuzz_bad))

printf '%s\n' "${summary[@]}"
echo "total: $passed passed, $failed failed"
exit $status
