#!/usr/bin/env bash
# The full path of a block, tolvane-host -> Tolvane.so -> slave -> back, with the native
# tolvane-slave against the Wine-library tolvane-slave, both passing audio through; batches of
# the two alternate in one run so that both see the same machine load. Then the start-up time
# of each slave: from its start to its "serving" line (the link is open and attached).
#
#   bash bench/wine_slave.sh LINUX_BUILD WINE_BUILD [SLAVE [BATCHES [BLOCKS]]]
#
# LINUX_BUILD holds plugins/Tolvane.so, tools/host/tolvane-host and tools/slave/tolvane-slave;
# WINE_BUILD the wine-slave preset's tools/slave. SLAVE (default 16) must be one the plug-in's
# Slave# parameter reaches (-1..16). Wine runs in $WINEPREFIX, by default a prefix of the
# benchmark's own under build/ (the cold start-ups stop that prefix's Wine server, which must not
# be the user's). Prints Markdown.
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: $0 LINUX_BUILD WINE_BUILD [SLAVE [BATCHES [BLOCKS]]]" >&2; exit 2; }
linux=$1 wine=$2 number=${3:-16} batches=${4:-5} blocks=${5:-20000}
export WINEPREFIX="${WINEPREFIX:-$PWD/build/bench-wineprefix}"
host="$linux/tools/host/tolvane-host" effect="$linux/plugins/Tolvane.so"
native="$linux/tools/slave/tolvane-slave" launcher="$wine/tools/slave/tolvane-slave-wine"
for f in "$host" "$effect" "$native" "$launcher"; do [ -e "$f" ] || { echo "$0: $f is missing" >&2; exit 1; }; done
work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-wine-bench.XXXXXX")
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/Vantor"
printf 'ConfigDlg=0\nTermSlave=1\nNumInputs=2\nNumOutputs=2\nStereoPins=0\n' >"$XDG_CONFIG_HOME/Vantor/Tolvane.conf"
pid=""
trap '[ -n "$pid" ] && kill -TERM $pid 2>/dev/null; wait; rm -rf "$work"' EXIT

now_ms() { date +%s%3N; }
# Starts a slave (its command line after the log file) and prints the milliseconds until it serves.
start() {
  local log=$1; shift
  local t0; t0=$(now_ms)
  "$@" --slave "$number" >"$log" 2>&1 </dev/null &
  pid=$!
  until grep -q serving "$log" 2>/dev/null; do
    kill -0 $pid 2>/dev/null || { echo "$0: the slave ended: $(cat "$log")" >&2; exit 1; }
    sleep 0.005
  done
  echo $(($(now_ms) - t0))
}
stop() { kill -TERM $pid; wait $pid; pid=""; }
field() { sed -n "s/^$1=//p" "$2"; }

# ---- Round trips ------------------------------------------------------------------------------
# Blocks as fast as they go, 256 frames of stereo; the host idles from a thread of its own
# through a 1.5 s pause before the first block, so that every timed block is connected.
for kind in native wine; do : >"$work/$kind.times"; done
# A batch in which the plug-in was not connected from the first block on is run again.
for batch in $(seq "$batches"); do
  for kind in native wine; do
    for attempt in 1 2 3; do
      if [ $kind = native ]; then start "$work/slave.log" "$native" >/dev/null
      else start "$work/slave.log" "$launcher" >/dev/null; fi
      "$host" "$effect" --param-text "Slave#=$number" --signal sine --block 256 --blocks "$blocks" --idle-thread 10 \
        --pause-at 0:1500 --quiet --summary-kv "$work/run.kv" --block-times "$work/batch.times" >/dev/null 2>&1
      stop
      [ "$(field untouched_blocks "$work/run.kv")" = 0 ] && { cat "$work/batch.times" >>"$work/$kind.times"; break; }
      echo "$0: note: $kind batch $batch, attempt $attempt: $(field untouched_blocks "$work/run.kv") blocks without the slave" >&2
    done
  done
done
echo "| slave | blocks | median | p99 | p99.9 | mean |"
echo "|---|---|---|---|---|---|"
for kind in native wine; do
  sort -g "$work/$kind.times" | awk -v kind="$kind" '{ v[NR] = $1; s += $1 } END {
    printf "| %s | %d | %.1f us | %.1f us | %.1f us | %.1f us |\n", kind, NR, v[int(NR * 0.5) + 1],
           v[int(NR * 0.99) + 1], v[int(NR * 0.999) + 1], s / NR }'
done

# ---- Start-up ---------------------------------------------------------------------------------
# Native; Wine with a Wine server already running for the prefix (a second slave, a restart by
# the supervisor); Wine with none (the first Wine program of the session: the launcher starts
# Wine's services first). Median of five starts each.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for kind in native warm cold; do
  for _ in 1 2 3 4 5; do
    case $kind in
      native) start "$work/s.log" "$native" ;;
      warm) wineserver -p 5 </dev/null >/dev/null 2>&1; start "$work/s.log" "$launcher" ;;
      cold) wineserver -k >/dev/null 2>&1; sleep 0.5; start "$work/s.log" "$launcher" ;;
    esac
    stop
  done | median >"$work/$kind.start"
done
echo
echo "| start-up (launch to serving, median of 5) | native | Wine, server running | Wine, no server |"
echo "|---|---|---|---|"
echo "| tolvane-slave passthrough | $(cat "$work/native.start") ms | $(cat "$work/warm.start") ms | $(cat "$work/cold.start") ms |"
