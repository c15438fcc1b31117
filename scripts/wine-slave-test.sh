#!/usr/bin/env bash
# End-to-end checks of the Wine-library slave: the native tolvane-host with the Linux Tolvane.so
# -> the POSIX link -> tolvane-slave.exe.so under Wine -> a Windows plug-in DLL built by
# mingw-w64 (tests/fixtures). Prints one line per check and "wine-slave: N passed, M failed".
#
#   bash scripts/wine-slave-test.sh LINUX_BUILD WINE_BUILD WINDOWS_BUILD [SLAVE]
#
# LINUX_BUILD holds plugins/Tolvane.so and tools/host/tolvane-host, WINE_BUILD the wine-slave
# preset's tools/slave, WINDOWS_BUILD the windows-release preset's tests/fixtures. SLAVE (default
# 16) is the number the plug-in's Slave# parameter reaches (-1..16). Wine runs in $WINEPREFIX
# (scripts/wine-env.sh sets one up).
set -uo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 3 ] || { echo "usage: $0 LINUX_BUILD WINE_BUILD WINDOWS_BUILD [SLAVE]" >&2; exit 2; }
linux=$1 wine=$2 windows=$3 number=${4:-16}
host="$linux/tools/host/tolvane-host"
effect="$linux/plugins/Tolvane.so"
launcher="$wine/tools/slave/tolvane-slave-wine"
fixture="$(cd "$windows/tests/fixtures" 2>/dev/null && pwd)/host_fixture.dll"
crasher="$(cd "$windows/tests/fixtures" 2>/dev/null && pwd)/slave_crash_plugin.dll"
main_only="$(cd "$windows/tests/fixtures" 2>/dev/null && pwd)/host_fixture_main_only.dll"
for f in "$host" "$effect" "$launcher" "$fixture" "$crasher" "$main_only"; do
  [ -e "$f" ] || { echo "wine-slave: $f is missing"; echo "wine-slave: 0 passed, 1 failed"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-wine-slave.XXXXXX")
# The plug-in reads its settings from here: no dialog, two channels each way.
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/Vantor"
printf 'ConfigDlg=0\nTermSlave=1\nNumInputs=2\nNumOutputs=2\nStereoPins=0\n' >"$XDG_CONFIG_HOME/Vantor/Tolvane.conf"

passed=0 failed=0 slave_pid=""
check() {  # name, then a condition's exit status
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "wine-slave: ok     $1"
  else failed=$((failed + 1)); echo "wine-slave: FAILED $1"; fi
}
kv() { sed -n "s/^$1=//p" "$2" | head -1; }
start_slave() {  # log file, slave arguments...
  local log=$1; shift
  "$launcher" "$@" >"$log" 2>&1 </dev/null &
  slave_pid=$!
  for _ in $(seq 300); do grep -q 'serving\|started child' "$log" 2>/dev/null && break; sleep 0.1; done
  grep -q 'serving' "$log" || sleep 3  # a supervisor's child prints its line a moment later
}
stop_slave() {  # exit status of the slave after SIGTERM
  local pid=$slave_pid rc=0
  [ -n "$pid" ] || return 1
  slave_pid=""
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; rc=9; }
  wait "$pid" || rc=$?
  return $rc
}
cleanup() { [ -n "$slave_pid" ] && stop_slave; rm -rf "$work"; }
trap cleanup EXIT

# ---- 1. Audio sample-exact, MIDI and SysEx both ways ----------------------------------------
# The fixture at unity gain passes the counter signal through and echoes every event it gets; its
# state is kept in a file.
start_slave "$work/slave1.log" --slave "$number" --process "plugin:$fixture" --param Gain=0.5 --state "$work/state.txt"
grep -q "serving slave $number .*plug-in Fixture" "$work/slave1.log"
check "the slave loads the Windows fixture and serves slave $number" $?
"$host" "$effect" --param-text "Slave#=$number" --signal counter --block 256 --blocks 300 --realtime --idle \
  --note 60:100:4 --sysex F0112233F7:10 --output "$work/out1.f32" --print-events --quiet --summary-kv "$work/run1.kv" \
  >"$work/host1.log" 2>&1
blocks=$(kv blocks "$work/run1.kv") untouched=$(kv untouched_blocks "$work/run1.kv")
exact=$(kv counter_exact_blocks "$work/run1.kv")
[ "${blocks:-0}" -eq 300 ] && [ "${untouched:-300}" -lt 200 ] && [ "$exact" -eq $((blocks - untouched)) ]
check "audio: every block after the connection comes back sample-exact ($exact of $blocks, $untouched before it)" $?
midi=$(kv midi_received "$work/run1.kv") sysex=$(kv sysex_received "$work/run1.kv")
[ "${midi:-0}" -gt 0 ] && [ "${sysex:-0}" -gt 0 ] && grep -qi 'f0 11 22 33 f7' "$work/host1.log"
check "events: the plug-in's MIDI ($midi) and SysEx ($sysex, bytes intact) reach the host" $?
stop_slave && ! ls /dev/shm/*"Slave_ShMem$number" /dev/shm/*"_Slave$number" >/dev/null 2>&1
check "the slave stops on SIGTERM with 0 and leaves nothing in /dev/shm" $?
head -1 "$work/state.txt" 2>/dev/null | grep -q '^TolvaneState' && grep -q '^param 0 0.5$' "$work/state.txt"
check "--state: the plug-in's state is in the file" $?

# A plug-in of the older convention exports only "main", not VSTPluginMain: it loads and opens too.
"$launcher" --process "plugin:$main_only" --list-params >"$work/main-only.log" 2>&1 </dev/null &&
  grep -q 'Gain' "$work/main-only.log"
check "a plug-in that exports only main loads, opens and lists its parameters" $?

# ---- 2. A crash under --supervise -----------------------------------------------------------
# The crashing plug-in passes audio through and crashes once, in its 150th block; the
# supervisor starts a new child and the counter comes back sample-exact.
marker="$work/crashed"
TOLVANE_CRASH_AT_BLOCK=150 TOLVANE_CRASH_ONCE_FILE="Z:${marker//\//\\}" \
  start_slave "$work/slave2.log" --supervise --slave "$number" --process "plugin:$crasher"
"$host" "$effect" --param-text "Slave#=$number" --signal counter --block 512 --blocks 430 --realtime --idle \
  --output "$work/out2.f32" --quiet --summary-kv "$work/run2.kv" >"$work/host2.log" 2>&1
check "crash: the host runs to the end" $?
python3 - "$work/out2.f32" "$(kv blocks "$work/run2.kv")" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read(); blocks = int(sys.argv[2] or 0); frames = 512
samples = struct.unpack('<%df' % (len(data) // 4), data)
ok = blocks > 400 and len(samples) == blocks * frames * 2
for i in range((blocks - 100) * frames * 2, len(samples)) if ok else []:
    frame, channel = i // 2, i % 2
    if samples[i] != float(((frame & 0xFFFFF) << 4 | channel)) / 16777216.0:
        ok = False; break
sys.exit(0 if ok else 1)
EOF
check "crash: the last 100 blocks come back sample-exact after the restart" $?
stop_slave
grep -q 'died (signal' "$work/slave2.log" && grep -q 'restart 1 in' "$work/slave2.log" &&
  ! grep -q 'restart 2 in' "$work/slave2.log"
check "crash: the supervisor saw the child die by a signal and restarted it once" $?
[ "$failed" -eq 0 ] || for f in "$work"/*.log; do echo "---- $f"; tail -20 "$f"; done

echo "wine-slave: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
