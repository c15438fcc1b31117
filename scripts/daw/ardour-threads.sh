#!/usr/bin/env bash
# Tolvane in Ardour 7, headless (ardour7-lua, Dummy backend): Slave# changed back and forth while
# the session plays, then the slave stopped (SIGSTOP) for a few seconds. See
# scripts/daw/ardour-threads.lua for what the session does; this driver prepares a scratch
# folder (Ardour's config with the Dummy backend shown, the plug-in copied and scanned, Tolvane's
# settings with the dialog off), starts the slave, runs Ardour, and cleans up.
#
# usage: scripts/daw/ardour-threads.sh [--plugins DIR] [--slave PATH] [--only effect|instrument]
#                                      [--changes N] [--stop-seconds S] [--number N] [--out DIR]
#   --plugins DIR     folder with Tolvane.so (and TolvaneI.so)   default build/daw/plugins
#   --slave PATH      tolvane-slave                              default build/daw/tools/slave/tolvane-slave
#   --only KIND       run only the effect or only the instrument (both when the .so is there)
#   --changes N       Slave# changes (default 200), every 20-50 ms
#   --stop-seconds S  how long the slave is stopped (default 5; 0 skips that part)
#   --number N        slave number served by the slave (default 14); N+1 is left unserved
#   --out DIR         scratch folder (default build/daw/ardour-threads); wiped per run
#
# Needs Debian's `ardour` package (ardour7-lua, the Dummy backend, ardour-vst-scanner).
# Exit status: 0 when Ardour survived every run, 1 otherwise.
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
PLUGINS=$ROOT/build/daw/plugins
SLAVE=$ROOT/build/daw/tools/slave/tolvane-slave
ONLY=""
CHANGES=200
STOP_S=5
NUMBER=14
OUT=$ROOT/build/daw/ardour-threads

while [ $# -gt 0 ]; do
  case "$1" in
    --plugins) PLUGINS=$(realpath "$2"); shift 2 ;;
    --slave) SLAVE=$(realpath "$2"); shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --changes) CHANGES=$2; shift 2 ;;
    --stop-seconds) STOP_S=$2; shift 2 ;;
    --number) NUMBER=$2; shift 2 ;;
    --out) OUT=$(realpath -m "$2"); shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
EMPTY=$((NUMBER + 1))

LUA_TOOL=$(command -v ardour7-lua || true)
SCANNER=/usr/lib/ardour7/ardour-vst-scanner
if [ -z "$LUA_TOOL" ] || [ ! -x "$SCANNER" ]; then
  echo "ardour7-lua or $SCANNER missing: apt-get install ardour" >&2
  exit 2
fi
[ -x "$SLAVE" ] || { echo "no slave at $SLAVE" >&2; exit 2; }

SLAVE_PID=""
shm_clean() {
  local n
  for n in "$NUMBER" "$EMPTY"; do
    rm -f "/dev/shm/PalisorSlave_ShMem$n" "/dev/shm/PalisorEv_Master$n" "/dev/shm/PalisorEv_Slave$n" \
          "/dev/shm/PalisorLock_Master$n" "/dev/shm/PalisorLock_Slave$n"
  done
}
stop_slave() {
  if [ -n "$SLAVE_PID" ] && kill -0 "$SLAVE_PID" 2>/dev/null; then
    kill -CONT "$SLAVE_PID" 2>/dev/null
    kill -TERM "$SLAVE_PID" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$SLAVE_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$SLAVE_PID" 2>/dev/null
    wait "$SLAVE_PID" 2>/dev/null
  fi
  SLAVE_PID=""
}
trap 'stop_slave; shm_clean' EXIT
trap 'exit 130' INT TERM

ARDOUR_VERSION=$(dpkg-query -W -f='${Version}' ardour 2>/dev/null || echo unknown)
echo "Ardour $ARDOUR_VERSION ($LUA_TOOL), plug-ins from $PLUGINS, slave $SLAVE"
FAILED=0

run_one() {  # kind so name
  local kind=$1 so=$2 name=$3
  local dir=$OUT/$kind
  rm -rf "$dir"
  mkdir -p "$dir/vst" "$dir/xdg/Vantor" "$dir/xdg/ardour7" "$dir/cache"
  cp "$PLUGINS/$so" "$dir/vst/"
  # Ardour takes a cache entry only when it is newer than the library, in whole seconds.
  touch -d "@$(($(date +%s) - 60))" "$dir/vst/$so"
  # Tolvane's settings: no configuration dialog.
  printf 'ConfigDlg=0\n' > "$dir/xdg/Vantor/Tolvane.conf"
  printf 'ConfigDlg=0\n' > "$dir/xdg/Vantor/TolvaneI.conf"
  # Ardour's own config in the same scratch XDG folder: release builds hide the Dummy backend.
  cat > "$dir/xdg/ardour7/config" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<Ardour>
  <Config>
    <Option name="hide-dummy-backend" value="0"/>
  </Config>
</Ardour>
EOF
  export XDG_CONFIG_HOME=$dir/xdg XDG_CACHE_HOME=$dir/cache LXVST_PATH=$dir/vst
  # ardour7-lua only reads Ardour's plug-in cache; the scanner writes it.
  if ! LD_LIBRARY_PATH=/usr/lib/ardour7 timeout 60 "$SCANNER" -q -f "$dir/vst/$so" > "$dir/scan.log" 2>&1; then
    echo "$kind: the scan of $so failed (see $dir/scan.log)"; FAILED=1; return
  fi

  shm_clean
  "$SLAVE" --slave "$NUMBER" --process gain:-6 > "$dir/slave.log" 2>&1 &
  SLAVE_PID=$!
  for _ in $(seq 50); do [ -e "/dev/shm/PalisorSlave_ShMem$NUMBER" ] && break; sleep 0.1; done
  sleep 0.3
  if ! kill -0 "$SLAVE_PID" 2>/dev/null; then
    echo "$kind: the slave did not start (see $dir/slave.log)"; SLAVE_PID=""; FAILED=1; return
  fi

  local pid_for_stop=""
  [ "$STOP_S" != "0" ] && pid_for_stop=$SLAVE_PID
  local t0=$(date +%s.%N)
  TOLVANE_DAW_SESSION=$dir/session TOLVANE_DAW_PLUGIN=$name TOLVANE_DAW_SERVED=$NUMBER \
  TOLVANE_DAW_EMPTY=$EMPTY TOLVANE_DAW_CHANGES=$CHANGES TOLVANE_DAW_SLAVE_PID=$pid_for_stop \
  TOLVANE_DAW_STOP_S=$STOP_S \
    timeout -k 10 600 "$LUA_TOOL" "$ROOT/scripts/daw/ardour-threads.lua" > "$dir/ardour.log" 2>&1
  local rc=$?
  local t1=$(date +%s.%N)
  stop_slave
  shm_clean

  local verdict
  if [ $rc -gt 128 ]; then
    verdict="Ardour died: SIG$(kill -l $((rc - 128))) after $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }') s"
  elif ! grep -q '^tolvane-daw: survived yes' "$dir/ardour.log"; then
    verdict="Ardour ended without finishing (exit $rc)"
  else
    verdict="Ardour survived (exit $rc)"
  fi
  grep -q '^tolvane-daw: survived yes' "$dir/ardour.log" || FAILED=1
  echo "== $kind ($name, $PLUGINS/$so): $verdict"
  grep '^tolvane-daw: ' "$dir/ardour.log" | grep -v '^tolvane-daw: change ' | sed 's/^tolvane-daw: /   /'
  local last
  last=$(grep '^tolvane-daw: change ' "$dir/ardour.log" | tail -1 | sed 's/^tolvane-daw: change /last change: /')
  [ -n "$last" ] && echo "   $last"
  echo "   slave: $(tail -1 "$dir/slave.log")"
  echo "   logs in $dir"
}

for kind in effect instrument; do
  [ -n "$ONLY" ] && [ "$ONLY" != "$kind" ] && continue
  if [ $kind = effect ]; then so=Tolvane.so; name=Tolvane; else so=TolvaneI.so; name="Tolvane VSTi"; fi
  if [ ! -f "$PLUGINS/$so" ]; then
    echo "== $kind: no $so in $PLUGINS, skipped"
    continue
  fi
  run_one "$kind" "$so" "$name"
done
exit $FAILED
