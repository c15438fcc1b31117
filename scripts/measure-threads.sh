#!/usr/bin/env bash
# Measures the effect plug-in under a host that calls it from three threads at once: the audio
# thread processes blocks paced in real time, an idle thread calls effIdle every 30 ms and, in
# the last scenario, a parameter thread renumbers the plug-in. Five scenarios, one line each:
#
#   (a) hung slave       the slave streams, is stopped with SIGSTOP for 5 s, then continued
#   (b) killed slave     the slave is killed with SIGKILL and stays dead
#   (c) restarted slave  the host stops processing for 6 s; meanwhile the slave is killed and a
#                        new one started; (c') the same with the plug-in suspended for the stretch
#   (d) lock-less dead   a block whose slave attach byte is set, with no process and no slave lock
#   (e) renumbering      Slave# changed 1000 times from the parameter thread while blocks run
#
#   scripts/measure-threads.sh BUILD_DIR [--wine] [--plugin PATH] [--slave PATH] [--host PATH]
#                              [--number N] [--seconds S] [--out DIR] [--only a,b,c,d,e]
#
# BUILD_DIR supplies tolvane-host, tolvane-slave and Tolvane; --plugin, --slave and --host take
# any of them from elsewhere (e.g. an older plug-in and slave under a newer host). With --wine the
# Windows build runs under Wine in a prefix of its own. Leaves no process and no /dev/shm object.
set -uo pipefail

usage() {
  sed -n '2,/^set -uo/p' "$0" | sed -e '/^set -uo/d' -e 's/^# \{0,1\}//'
}

build=""; wine=0; plugin=""; slave=""; host=""; number=12; seconds=15; out=""; only="a,b,c,d,e"
while [ $# -gt 0 ]; do
  case "$1" in
    --wine) wine=1; shift ;;
    --plugin) plugin="${2:?--plugin needs a path}"; shift 2 ;;
    --slave) slave="${2:?--slave needs a path}"; shift 2 ;;
    --host) host="${2:?--host needs a path}"; shift 2 ;;
    --number) number="${2:?--number needs a slave number}"; shift 2 ;;
    --seconds) seconds="${2:?--seconds needs a number}"; shift 2 ;;
    --out) out="${2:?--out needs a folder}"; shift 2 ;;
    --only) only="${2:?--only needs a list}"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "measure-threads.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    *) [ -z "$build" ] || { echo "measure-threads.sh: one build folder only" >&2; exit 2; }; build="$1"; shift ;;
  esac
done
[ -n "$build" ] || { usage >&2; exit 2; }
if ! [[ "$number" =~ ^[0-9]+$ ]] || [ "$number" -gt 15 ]; then
  echo "measure-threads.sh: --number takes 0 to 15 (the renumbering scenario also uses the next number)" >&2; exit 2
fi
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 12 ] || [ "$seconds" -gt 120 ]; then
  echo "measure-threads.sh: --seconds takes 12 to 120" >&2; exit 2
fi
build=$(cd "$build" && pwd) || exit 2
if [ "$wine" -eq 1 ]; then
  plugin=${plugin:-$build/plugins/Tolvane.dll}
  slave=${slave:-$build/tools/slave/tolvane-slave.exe}
  host=${host:-$build/tools/host/tolvane-host.exe}
  out=${out:-$build/measure-threads-wine}
else
  plugin=${plugin:-$build/plugins/Tolvane.so}
  slave=${slave:-$build/tools/slave/tolvane-slave}
  host=${host:-$build/tools/host/tolvane-host}
  out=${out:-$build/measure-threads}
fi
for f in "$plugin" "$slave" "$host"; do
  [ -e "$f" ] || { echo "measure-threads.sh: $f is missing" >&2; exit 1; }
done
plugin=$(realpath "$plugin"); slave=$(realpath "$slave"); host=$(realpath "$host")
other=$((number + 1))  # the renumbering scenario's second number: no slave serves it
rm -rf "$out"; mkdir -p "$out"; out=$(cd "$out" && pwd)

rate=48000; block=256
# Slave# value v selects slave -1 - (int)(v * -17): the middle of n's step is (n + 1.5) / 17.
slave_value() { awk -v n="$1" 'BEGIN { printf "%.6f", (n + 1.5) / 17 }'; }

# ---- Platform: how to run a program, name a file for it, and find its Linux process ------------
wine64=/usr/lib/wine/wine64
if [ "$wine" -eq 1 ]; then
  # shellcheck source=scripts/wine-env.sh
  source "$(dirname "$0")/wine-env.sh"
  echo "measure-threads: preparing a Wine prefix in $out/wineprefix" >&2
  wine_start "$out"
  regkey='HKCU\Software\Vantor\Tolvane'
  for kv in ConfigDlg=0 TermSlave=1 NumInputs=2 NumOutputs=2 StereoPins=0; do
    "$wine64" reg add "$regkey" /v "${kv%=*}" /t REG_DWORD /d "${kv#*=}" /f >/dev/null 2>&1
  done
  # A crashing program ends at once instead of starting the debugger.
  "$wine64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f \
    >/dev/null 2>&1
  "$wine64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  launcher=("$wine64")
  file_arg() { echo "Z:$1"; }
else
  export XDG_CONFIG_HOME="$out/config"
  mkdir -p "$XDG_CONFIG_HOME/Vantor"
  printf 'ConfigDlg=0\nTermSlave=1\nNumInputs=2\nNumOutputs=2\nStereoPins=0\n' >"$XDG_CONFIG_HOME/Vantor/Tolvane.conf"
  launcher=(env)
  file_arg() { echo "$1"; }
  for n in "$number" "$other"; do
    for f in /dev/shm/Palisor*; do
      if [[ "$f" =~ [^0-9]${n}$ ]]; then
        echo "measure-threads.sh: $f exists: slave number $n is in use; pick another with --number" >&2; exit 1
      fi
    done
  done
fi

host_help=$("${launcher[@]}" "$host" --help 2>/dev/null)
if ! grep -q -- '--idle-thread' <<<"$host_help"; then
  echo "measure-threads.sh: $host has no --idle-thread (build a newer tolvane-host)" >&2; exit 1
fi

started=()  # Linux ids of every process started here
cleanup() {
  local pid alive=0
  for pid in ${started[@]+"${started[@]}"}; do
    kill -0 "$pid" 2>/dev/null || continue
    alive=1; kill -CONT "$pid" 2>/dev/null; kill -TERM "$pid" 2>/dev/null
  done
  [ "$alive" -eq 0 ] || sleep 1
  for pid in ${started[@]+"${started[@]}"}; do kill -KILL "$pid" 2>/dev/null; done
  for pid in ${started[@]+"${started[@]}"}; do wait "$pid" 2>/dev/null; done
  if [ "$wine" -eq 1 ]; then
    wine_stop
  else
    local n f
    for n in "$number" "$other"; do
      for f in /dev/shm/Palisor*; do [[ "$f" =~ [^0-9]${n}$ ]] && rm -f "$f"; done
    done
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }
sleep_until() {  # T0 SECONDS: sleeps until SECONDS after the time T0
  sleep "$(awk -v t="$1" -v s="$2" -v n="$(now)" 'BEGIN { d = t + s - n; printf "%.3f", (d > 0 ? d : 0) }')"
}
wait_for_line() {  # FILE PATTERN SECONDS
  local i
  for i in $(seq $(( $3 * 20 ))); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

# Starts tolvane-slave on $number with the gain -6 dB, output into $1; sets slave_pid to its Linux
# process (under Wine, the Windows program's own process, not the loader's).
slave_pid=""
start_slave() {
  local log=$1
  "${launcher[@]}" "$slave" --slave "$number" --process gain:-6 "${@:2}" >"$log" 2>&1 &
  local launched=$!
  started+=("$launched")
  slave_pid=$launched
  if ! wait_for_line "$log" 'serving' 30; then
    echo "measure-threads.sh: tolvane-slave did not come up:" >&2; cat "$log" >&2; return 1
  fi
  if [ "$wine" -eq 1 ]; then
    local pid
    for pid in $(pgrep -f -- "tolvane-slave.exe --slave $number "); do
      if ! printf '%s\n' "${started[@]}" | grep -qx "$pid"; then started+=("$pid"); fi
      slave_pid=$pid
    done
  fi
}
stop_process() {  # PID
  kill -CONT "$1" 2>/dev/null; kill -TERM "$1" 2>/dev/null
  local i; for i in $(seq 50); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null; return 0
}

# Starts the host on $number for $1 seconds with the figures going to $out/$2.*; extra options
# follow. Sets host_pid.
host_pid=""
start_host() {
  local length=$1 name=$2
  shift 2
  timeout -s KILL $((length + 90)) "${launcher[@]}" "$host" "$(file_arg "$plugin")" \
    --param-text "Slave#=$number" --rate "$rate" --block "$block" --realtime --seconds "$length" --signal sine:440:0.5 \
    --idle-thread 30 --no-progress --quiet --summary-kv "$(file_arg "$out/$name.kv")" \
    --block-log "$(file_arg "$out/$name.blocks")" "$@" >"$out/$name.host.log" 2>&1 &
  host_pid=$!
  started+=("$host_pid")
}
# Waits for the host; sets host_exit to "0", "N" or "signal NAME".
wait_host() {
  local rc=0
  wait "$host_pid" 2>/dev/null || rc=$?
  if [ "$rc" -gt 128 ] && [ "$rc" -lt 160 ]; then
    host_exit="signal $(kill -l $((rc - 128)))"
  else
    host_exit=$rc
  fi
}

kv() { sed -n "s/^$2=//p" "$out/$1.kv" 2>/dev/null; }
ms() { awk -v us="$1" 'BEGIN { if (us == "") print "-"; else printf "%.1f", us / 1000 }'; }
# The common figures of a run: exit, processing calls, idle calls, signal per second.
figures() {
  local name=$1
  if [ ! -s "$out/$name.kv" ]; then
    local why="the host did not finish"
    # Under Wine a crash ends the program with the exception's code, whose low byte is the status.
    if grep -q 'Unhandled page fault' "$out/$name.host.log" 2>/dev/null; then why="crashed: unhandled page fault"; fi
    echo "exit=$host_exit ($why; no summary)"; return
  fi
  local share
  share=$(awk -v s="$(kv "$name" idle_share)" 'BEGIN { printf "%.2f", s * 100 }')
  echo "exit=$host_exit blocks=$(kv "$name" blocks) max=$(ms "$(kv "$name" block_us_max)")ms" \
       "p99=$(ms "$(kv "$name" block_us_p99)")ms over10ms=$(kv "$name" blocks_over_10ms)" \
       "idle_max=$(ms "$(kv "$name" idle_us_max)")ms idle_share=${share}% idle_over10ms=$(kv "$name" idle_over_10ms)" \
       "signal=$(kv "$name" signal_by_second)"
}

results=()
report() { results+=("$1"); echo "$1"; }

# The host's loop begins just before its first block reaches the slave: the slave's Resume line.
loop_start() { wait_for_line "$1" 'Resume' 30 && now; }

# ---- (a) hung slave ---------------------------------------------------------------------------
if [[ ",$only," == *,a,* ]]; then
  echo "measure-threads: (a) hung slave" >&2
  start_slave "$out/a.slave.log" || exit 1
  start_host "$seconds" a
  t0=$(loop_start "$out/a.slave.log") || t0=$(now)
  sleep_until "$t0" 4
  kill -STOP "$slave_pid"; t_stop=$(now)
  sleep 5
  kill -CONT "$slave_pid"; t_cont=$(now)
  wait_host
  stop_process "$slave_pid"
  # The first block that ended after CONT with signal in its output.
  back=$(awk -v t="$t_cont" '{ end = $1 + $2 / 1e6 } end >= t && $3 > 1e-4 { printf "%.2f s", end - t; found = 1; exit }
                            END { if (!found) print "never" }' "$out/a.blocks" 2>/dev/null)
  report "(a) hung slave       $(figures a) back_after_CONT=${back:-never}"
fi

# ---- (b) killed slave -------------------------------------------------------------------------
if [[ ",$only," == *,b,* ]]; then
  echo "measure-threads: (b) killed slave" >&2
  start_slave "$out/b.slave.log" || exit 1
  start_host "$seconds" b
  t0=$(loop_start "$out/b.slave.log") || t0=$(now)
  sleep_until "$t0" 4
  kill -KILL "$slave_pid"
  wait_host
  report "(b) killed slave     $(figures b)"
fi

# ---- (c) restarted slave while no blocks flow ----------------------------------------------------
# The pause begins 4 s into the loop and lasts 6 s; the slave is killed 1 s into it and a new one
# started at once.
restart_scenario() {
  local name=$1 pause=$2 label=$3
  echo "measure-threads: ($name) $label" >&2
  local pause_block=$(( 4 * rate / block ))
  start_slave "$out/$name.slave.log" || exit 1
  start_host "$seconds" "$name" --pause-at "$pause_block:6000$pause"
  local t0 t_kill t_up
  t0=$(loop_start "$out/$name.slave.log") || t0=$(now)
  sleep_until "$t0" 5
  kill -KILL "$slave_pid"; t_kill=$(now)
  wait "$slave_pid" 2>/dev/null
  sleep 0.2
  start_slave "$out/$name.new-slave.log" || exit 1
  t_up=$(now)
  wait_host
  stop_process "$slave_pid"
  local log="$out/$name.new-slave.log" connect rate_line during
  if grep -q 'SetSampleRate' "$log"; then
    rate_line=$(grep 'SetSampleRate' "$log" | tail -1 | sed 's/.*SetSampleRate: *//; s/ *$//')
    connect="yes ($(grep -c -E '^(SetIo|SetSampleRate|SetBlockSize|Start|Resume)' "$log") connect commands), runs at $rate_line"
  else
    connect="no (no SetSampleRate: runs at its default 44100 Hz)"
  fi
  # Where the pause was: the longest gap between block starts; the kill and the new slave's
  # start must fall inside it for the figures to mean what they say.
  during=$(awk -v k="$t_kill" -v u="$t_up" 'NR > 1 && $1 - prev > gap { gap = $1 - prev; from = prev; to = $1 }
           { prev = $1 } END { print (k > from && u < to) ? "inside" : "NOT inside" }' "$out/$name.blocks" 2>/dev/null)
  local after
  after=$(awk -v u="$t_up" '$1 > u { n++; if ($3 > 1e-4) s++ } END { printf "%d of %d", s, n }' "$out/$name.blocks" 2>/dev/null)
  report "($name) $label $(figures "$name") new_slave_connected=$connect blocks_with_signal_after=$after restart=${during:-?}_the_pause"
}
if [[ ",$only," == *,c,* ]]; then
  restart_scenario c "" "restarted slave (no process calls)"
  restart_scenario "c'" ":suspend" "restarted slave (suspended)"
fi

# ---- (d) a dead slave that kept no lock ---------------------------------------------------------
if [[ ",$only," == *,d,* ]]; then
  echo "measure-threads: (d) lock-less dead slave" >&2
  ready=1
  if [ "$wine" -eq 1 ]; then
    # On Windows the block lives while a process holds a handle to it: a small program makes it,
    # marks the slave attached and then only sleeps, as a slave that hangs for good and keeps no
    # lock mutex. Built here with the mingw-w64 compiler of the Windows build.
    cat >"$out/dead_block.c" <<'EOF'
#include <windows.h>
#include <stdio.h>
int main(int argc, char** argv) {
    const DWORD size = 5776176;  /* the block's size */
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, size, argv[1]);
    unsigned char* view = mapping ? (unsigned char*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : NULL;
    if (view == NULL) { printf("cannot make %s\n", argv[1]); return 1; }
    memcpy(view, "HSHS", 4);  /* the block's magic */
    view[7] = 1;              /* slaveAttached */
    printf("holding %s\n", argv[1]);
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
EOF
    if x86_64-w64-mingw32-gcc -O2 -o "$out/dead_block.exe" "$out/dead_block.c" 2>"$out/dead_block.build.log"; then
      "$wine64" "$out/dead_block.exe" "PalisorSlave_ShMem$number" >"$out/d.block.log" 2>&1 &
      started+=("$!")
      wait_for_line "$out/d.block.log" 'holding' 30 || ready=0
      for pid in $(pgrep -f -- "dead_block.exe PalisorSlave_ShMem$number"); do started+=("$pid"); done
    else
      ready=0
    fi
  else
    # The block as a killed slave that kept no lock leaves it: the magic, slaveAttached (offset 7)
    # set, the rest zero, mode 0600; no process holds it and no slave lock object exists.
    f="/dev/shm/PalisorSlave_ShMem$number"
    (umask 077 && python3 -c "
import sys
with open(sys.argv[1], 'wb') as f:
    f.truncate(5776176)
    f.write(b'HSHS\0\0\0\x01')
" "$f") || ready=0
  fi
  if [ "$ready" -eq 1 ]; then
    start_host "$seconds" d
    wait_host
    report "(d) lock-less dead   $(figures d)"
  else
    report "(d) lock-less dead   not measured: the block could not be made (see $out)"
  fi
  if [ "$wine" -eq 1 ]; then
    for pid in $(pgrep -f -- "dead_block.exe PalisorSlave_ShMem$number"); do kill -KILL "$pid" 2>/dev/null; done
    wait 2>/dev/null
  else
    rm -f "/dev/shm/PalisorSlave_ShMem$number"
  fi
fi

# ---- (e) renumbering from the parameter thread ----------------------------------------------------
if [[ ",$only," == *,e,* ]]; then
  echo "measure-threads: (e) renumbering stress" >&2
  start_slave "$out/e.slave.log" || exit 1
  t_start=$(now)
  start_host "$((seconds + 5))" e --param-thread "1=$(slave_value "$other"),$(slave_value "$number"):1000:5"
  wait_host
  t_end=$(now)
  stop_process "$slave_pid"
  if [ -s "$out/e.kv" ]; then
    extra="changes=$(kv e param_thread_changes) in $(kv e param_thread_seconds | awk '{ printf "%.2f", $1 }') s" 
    extra+=" longest_change=$(ms "$(kv e param_thread_us_max)")ms"
  else
    extra="host ended after $(awk -v a="$t_start" -v b="$t_end" 'BEGIN { printf "%.1f", b - a }') s"
  fi
  report "(e) renumbering      $(figures e) $extra"
fi

echo
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "plug-in: $plugin"
echo "slave:   $slave"
echo "host:    $host"
printf '%s\n' "${results[@]}" >"$out/results.txt"
echo "files:   $out"
