#!/usr/bin/env bash
# The demo's chain over binaries that are already built: tolvane-slave serves one slave number,
# tolvane-host plays a test signal through the effect Tolvane and a MIDI phrase through the
# instrument TolvaneI, and the outputs, a report and a picture land in the output folder. With
# --wine-slave and --windows-build, a third pass plays both through Tolvane to the Wine-library
# tolvane-slave hosting a Windows plug-in DLL.
# scripts/main.sh builds and then runs this; the demo's test runs it over a test build.
#
#   run.sh --build DIR [--out DIR] [--slave N] [--plugin PATH]... [--fast] [--seconds S]
#          [--no-picture] [--wine-slave DIR --windows-build DIR]
#
# Leaves nothing running (the slave and the Wine server are stopped on every way out) and
# nothing in /dev/shm.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
usage() {
  cat <<'EOF'
usage: scripts/demo/run.sh --build DIR [options]

  --build DIR      a Linux build folder with tolvane-host, tolvane-slave and the plug-ins
  --out DIR        where the WAV files, the report and the picture go (default build/demo)
  --slave N        slave number 0..16 (reached through the Slave# parameter; default 16)
  --plugin PATH    a VST 2.4 plug-in (.so) for the slave to host instead of its built-in
                   processor: an instrument serves TolvaneI's pass, an effect Tolvane's
                   (needs a tolvane-slave with --process plugin:PATH); repeatable
  --fast           run the blocks as fast as possible instead of in real time
  --seconds S      length of each pass (default 3)
  --no-picture     skip the gnuplot picture
  --wine-slave DIR     a third pass: the Wine-library tolvane-slave of DIR (the wine-slave
                       preset's build folder) hosts a Windows plug-in DLL, Tolvane drives it
  --windows-build DIR  the Windows build whose tests/fixtures/host_fixture.dll that pass hosts
                       (a gain, set to -6 dB, that echoes every event); Wine runs in the
                       prefix OUT/wineprefix with a server of its own, stopped at the end
EOF
}

build=""; out=""; slave_number=16; fast=0; seconds=3; picture=1; plugins=(); wine_build=""; windows_build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="${2:?--build needs a folder}"; shift 2 ;;
    --out) out="${2:?--out needs a folder}"; shift 2 ;;
    --slave) slave_number="${2:?--slave needs a number}"; shift 2 ;;
    --plugin) plugins+=("${2:?--plugin needs a path}"); shift 2 ;;
    --fast) fast=1; shift ;;
    --seconds) seconds="${2:?--seconds needs a number}"; shift 2 ;;
    --no-picture) picture=0; shift ;;
    --wine-slave) wine_build="${2:?--wine-slave needs a folder}"; shift 2 ;;
    --windows-build) windows_build="${2:?--windows-build needs a folder}"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "run.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
[ -n "$build" ] || { usage >&2; exit 2; }
if ! [[ "$slave_number" =~ ^[0-9]+$ ]] || [ "$slave_number" -gt 16 ]; then
  echo "run.sh: --slave takes 0 to 16 (the numbers the Slave# parameter reaches)" >&2; exit 2
fi
if ! [[ "$seconds" =~ ^[0-9]+([.][0-9]+)?$ ]] || ! awk "BEGIN{exit !($seconds >= 0.5 && $seconds <= 60)}"; then
  echo "run.sh: --seconds takes 0.5 to 60" >&2; exit 2
fi
build=$(cd "$build" && pwd)
out=${out:-build/demo}
mkdir -p "$out"
out=$(cd "$out" && pwd)

host="$build/tools/host/tolvane-host"
slave="$build/tools/slave/tolvane-slave"
effect_so="$build/plugins/Tolvane.so"
instrument_so="$build/plugins/TolvaneI.so"
for f in "$host" "$slave" "$effect_so" "$instrument_so"; do
  [ -e "$f" ] || { echo "run.sh: $f is missing (build the Linux release first)" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "run.sh: python3 is needed (scripts/install-deps.sh)" >&2; exit 1; }

# The third pass's programs: Wine's 64-bit loader, the Wine-library slave's launcher and the DLL.
wine_launcher=""; fixture_dll=""; wine_skip=""
if [ -n "$wine_build$windows_build" ]; then
  if [ -z "$wine_build" ] || [ -z "$windows_build" ]; then
    echo "run.sh: --wine-slave and --windows-build go together" >&2; exit 2
  fi
  wine_launcher="$(cd "$wine_build" && pwd)/tools/slave/tolvane-slave-wine"
  fixture_dll="$(cd "$windows_build" && pwd)/tests/fixtures/host_fixture.dll"
  for f in "$wine_launcher" "${wine_launcher%/*}/tolvane-slave.exe.so" "$fixture_dll"; do
    [ -e "$f" ] || { echo "run.sh: $f is missing (build the wine-slave preset's tolvane-slave and the" \
                          "Windows build's host_fixture)" >&2; exit 1; }
  done
  if ! [ -x "${TOLVANE_WINE:-/usr/lib/wine/wine64}" ] && ! command -v wine64 >/dev/null; then
    wine_skip="Wine is not installed (apt-get install wine wine64)"
  elif ! command -v wineserver >/dev/null; then
    wine_skip="Wine's wineserver is not installed (apt-get install wine)"
  fi
fi

# ---- The output folder and the plug-ins' settings ------------------------------------------
rm -rf "$out/plot" "$out/config"
rm -f "$out"/{input,effect,instrument,wine}.wav "$out"/*.kv "$out"/*.log "$out"/*-times.txt "$out"/effect-runs.txt \
      "$out"/{instrument,wine}-events.txt "$out"/report.txt "$out"/demo.png
# The plug-ins read their settings from here, not from the user's own files: no configuration
# dialog (nothing may wait for a click), stop the slave's processing on close, stereo in and out
# for the effect, no inputs for the instrument.
export XDG_CONFIG_HOME="$out/config"
mkdir -p "$XDG_CONFIG_HOME/Vantor"
printf '# written by the demo\nConfigDlg=0\nTermSlave=1\nNumInputs=2\nNumOutputs=2\nStereoPins=0\n' \
  > "$XDG_CONFIG_HOME/Vantor/Tolvane.conf"
printf '# written by the demo\nConfigDlg=0\nTermSlave=1\nNumInputs=0\nNumOutputs=2\nStereoPins=0\n' \
  > "$XDG_CONFIG_HOME/Vantor/TolvaneI.conf"

# ---- What the slave runs ------------------------------------------------------------------
effect_processor="gain:-6"
instrument_processor="echo"
effect_title="Tolvane (effect) through tolvane-slave, built-in gain -6 dB"
instrument_title="TolvaneI (instrument) through tolvane-slave, built-in echo of MIDI and SysEx"
slave_hosts_plugins=0
slave_help=$("$slave" --help 2>&1 || true)
if grep -q 'plugin:' <<<"$slave_help"; then slave_hosts_plugins=1; fi
for p in ${plugins[@]+"${plugins[@]}"}; do
  [ -e "$p" ] || { echo "run.sh: no plug-in at $p (Debian's dpf-plugins-vst and amsynth packages have some)" >&2; exit 2; }
  if [ "$slave_hosts_plugins" -eq 0 ]; then
    echo "run.sh: note: this tolvane-slave cannot host plug-ins (no --process plugin:PATH); $p is not used," \
         "the built-in processors run instead" >&2
    continue
  fi
  info=$("$host" "$p" --info 2>&1) || { echo "run.sh: tolvane-host cannot load $p:"; echo "$info"; exit 1; } >&2
  name=$(sed -n 's/^name  *//p' <<<"$info" | head -1)
  if grep -q '^flags.*isSynth' <<<"$info"; then
    instrument_processor="plugin:$p"
    instrument_title="TolvaneI (instrument) through tolvane-slave hosting ${name:-$(basename "$p")}"
  else
    effect_processor="plugin:$p"
    effect_title="Tolvane (effect) through tolvane-slave hosting ${name:-$(basename "$p")}"
  fi
done

# ---- The slave process ------------------------------------------------------------------------
slave_pid=""
started_pids=()
shm_names=("PalisorSlave_ShMem$slave_number" "PalisorEv_Master$slave_number" "PalisorEv_Slave$slave_number")

stop_slave() {
  [ -n "$slave_pid" ] || return 0
  local pid=$slave_pid rc=0
  slave_pid=""
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "run.sh: tolvane-slave ($pid) did not stop within 5 s; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || rc=$?
  return $rc
}
# The Wine server of the third pass's prefix (started by wine_start, scripts/wine-env.sh).
wine_running=0
stop_wine() {
  [ "$wine_running" -eq 1 ] || return 0
  wine_running=0
  wine_stop
  timeout 10 wineserver -w >/dev/null 2>&1 || true
}
trap 'stop_slave || true; stop_wine' EXIT
trap 'exit 130' INT TERM

# Starts the slave with processor $1, its output into $2; $3 and on, when given, are another
# slave program (the Wine-library slave's launcher) and arguments after the processor. A block
# that exists with nobody holding it was left by a slave that was killed: its attach mark is
# stale, so take over.
start_slave() {
  local processor=$1 log=$2 program=$slave extra=()
  if [ $# -ge 3 ]; then program=$3; extra=("${@:4}"); fi
  local block="/dev/shm/${shm_names[0]}"
  if [ -e "$block" ]; then
    if flock -n -x "$block" true 2>/dev/null; then
      echo "demo: ${shm_names[0]} was left by a slave that vanished: taking it over"
      extra+=(--takeover)
    else
      echo "run.sh: slave $slave_number is in use by another process (${shm_names[0]} is open);" \
           "pick another number with --slave" >&2
      return 1
    fi
  fi
  "$program" --slave "$slave_number" --process "$processor" ${extra[@]+"${extra[@]}"} >"$log" 2>&1 </dev/null &
  slave_pid=$!
  started_pids+=("$slave_pid")
  for _ in $(seq 300); do
    grep -q 'serving' "$log" && return 0
    kill -0 "$slave_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "run.sh: tolvane-slave did not come up:" >&2; cat "$log" >&2
  stop_slave || true
  return 1
}

host_help=$("$host" --help 2>&1 || true)
host_supports() { grep -q -- "$1" <<<"$host_help"; }
pace=(--realtime)
if [ "$fast" -eq 1 ]; then pace=(); fi
times_option=0
if host_supports '--block-times'; then times_option=1; fi
notes="45:100:64:48 57:90:32:24 64:80:16:8 69:70:8:3:128"
note_args=(); for n in $notes; do note_args+=(--note "$n"); done

# ---- Pass 1: the effect over the test signal ----------------------------------------------------
python3 "$here/demo_tools.py" signal "$out/input.wav" --seconds "$seconds"
effect_args=("$effect_so" --param-text "Slave#=$slave_number" --input "$out/input.wav" --output "$out/effect.wav"
             --block 256 --idle --no-progress --summary-kv "$out/effect.kv" ${pace[@]+"${pace[@]}"})
if [ "$times_option" -eq 1 ]; then effect_args+=(--block-times "$out/effect-times.txt"); fi

echo "demo: slave $slave_number: tolvane-slave --process $effect_processor"
start_slave "$effect_processor" "$out/effect-slave.log"
echo "demo: tolvane-host Tolvane.so over $seconds s of test signal"
"$host" "${effect_args[@]}" >"$out/effect-host.log" 2>&1 || {
  echo "run.sh: tolvane-host failed:" >&2; cat "$out/effect-host.log" >&2; exit 1; }
if [ "$times_option" -eq 0 ]; then
  # Without a per-block dump the histogram is drawn from the medians of short runs.
  echo "demo: 30 short runs for the round-trip histogram (this tolvane-host has no --block-times)"
  for _ in $(seq 30); do
    "$host" "$effect_so" --param-text "Slave#=$slave_number" --blocks 24 --block 256 --idle --quiet \
      --summary-kv - ${pace[@]+"${pace[@]}"} | tr '\n' ' ' >>"$out/effect-runs.txt"
    echo >>"$out/effect-runs.txt"
  done
fi
stop_slave || { echo "run.sh: tolvane-slave ended with an error:" >&2; cat "$out/effect-slave.log" >&2; exit 1; }

# ---- Pass 2: the instrument over a MIDI phrase --------------------------------------------------
instrument_args=("$instrument_so" --param-text "Slave#=$slave_number" --signal silence --seconds "$seconds"
                 --block 512 "${note_args[@]}" --sysex F07D0102F7:64 --idle --no-progress --print-events
                 --output "$out/instrument.wav" --summary-kv "$out/instrument.kv" ${pace[@]+"${pace[@]}"})
if [ "$times_option" -eq 1 ]; then instrument_args+=(--block-times "$out/instrument-times.txt"); fi
echo "demo: slave $slave_number: tolvane-slave --process $instrument_processor"
start_slave "$instrument_processor" "$out/instrument-slave.log"
echo "demo: tolvane-host TolvaneI.so with a MIDI phrase of $seconds s"
"$host" "${instrument_args[@]}" >"$out/instrument-events.txt" 2>"$out/instrument-host.log" || {
  echo "run.sh: tolvane-host failed:" >&2; cat "$out/instrument-host.log" "$out/instrument-events.txt" >&2; exit 1; }
stop_slave || { echo "run.sh: tolvane-slave ended with an error:" >&2; cat "$out/instrument-slave.log" >&2; exit 1; }

# ---- Pass 3: the test signal and the phrase through the Wine-library slave to a Windows DLL ------
wine_args=("$effect_so" --param-text "Slave#=$slave_number" --input "$out/input.wav" --output "$out/wine.wav"
           --block 512 "${note_args[@]}" --sysex F07D0102F7:64 --idle --no-progress --print-events
           --summary-kv "$out/wine.kv" ${pace[@]+"${pace[@]}"})
if [ "$times_option" -eq 1 ]; then wine_args+=(--block-times "$out/wine-times.txt"); fi
if [ -n "$wine_skip" ]; then
  echo "demo: the Wine pass is skipped: $wine_skip"
elif [ -n "$wine_launcher" ]; then
  # A prefix of the demo's own under the output folder (made once, about 10 s), with a server
  # that only this run uses; the fixture at Gain 0.25 is a gain of 0.5 (-6 dB).
  # shellcheck source=../wine-env.sh
  source "$here/../wine-env.sh"
  echo "demo: Wine prefix $out/wineprefix (a new one takes a few seconds)"
  wine_running=1
  wine_start "$out"
  # A new prefix's registry files appear when the server first saves them, a moment after
  # wineboot returns; the launcher looks for them.
  for _ in $(seq 600); do [ -f "$WINEPREFIX/system.reg" ] && break; sleep 0.1; done
  echo "demo: slave $slave_number: tolvane-slave-wine --process plugin:host_fixture.dll --param Gain=0.25"
  start_slave "plugin:$fixture_dll" "$out/wine-slave.log" "$wine_launcher" --param Gain=0.25
  echo "demo: tolvane-host Tolvane.so over the test signal and the MIDI phrase, through Wine"
  "$host" "${wine_args[@]}" >"$out/wine-events.txt" 2>"$out/wine-host.log" || {
    echo "run.sh: tolvane-host failed:" >&2; cat "$out/wine-host.log" >&2; exit 1; }
  stop_slave || { echo "run.sh: tolvane-slave-wine ended with an error:" >&2; cat "$out/wine-slave.log" >&2; exit 1; }
  stop_wine
fi

# ---- What is left behind ------------------------------------------------------------------------
left=()
for f in /dev/shm/Palisor*; do
  n=${f#/dev/shm/}
  if [[ "$n" =~ ^Palisor[A-Za-z_]*[^0-9]${slave_number}$ ]]; then left+=("$n"); fi
done

rel() { realpath --relative-to="$PWD" "$1" 2>/dev/null || echo "$1"; }
{
  echo "slave=$slave_number"
  echo "realtime=$((1 - fast))"
  echo "rate=44100"
  echo "notes=$notes"
  echo "effect_slave_cmd=tolvane-slave --slave $slave_number --process $effect_processor"
  echo "effect_host_cmd=tolvane-host Tolvane.so --param-text Slave#=$slave_number --input input.wav --block 256 --idle${pace:+ --realtime} --output effect.wav"
  echo "instrument_slave_cmd=tolvane-slave --slave $slave_number --process $instrument_processor"
  echo "instrument_host_cmd=tolvane-host TolvaneI.so --param-text Slave#=$slave_number --block 512 --note ... --sysex F07D0102F7:64 --idle${pace:+ --realtime} --output instrument.wav"
  echo "effect_title=$effect_title"
  echo "instrument_title=$instrument_title"
  if [ -n "$wine_skip" ]; then
    echo "wine_skipped=$wine_skip"
  elif [ -n "$wine_launcher" ]; then
    echo "wine_slave_cmd=tolvane-slave-wine --slave $slave_number --process plugin:host_fixture.dll --param Gain=0.25"
    echo "wine_host_cmd=tolvane-host Tolvane.so --param-text Slave#=$slave_number --input input.wav --block 512 --note ... --sysex F07D0102F7:64 --idle${pace:+ --realtime} --output wine.wav"
  fi
  echo "zoom_start=0.40"
  echo "zoom_length=0.02"
} >"$out/run.kv"

echo
python3 "$here/demo_tools.py" report "$out"
echo "files          $(rel "$out")/: input.wav effect.wav instrument.wav$([ -f "$out/wine.wav" ] && echo " wine.wav") report.txt"
if [ "$picture" -eq 1 ]; then
  if command -v gnuplot >/dev/null; then
    gnuplot -e "dir='$out'" "$here/picture.gp"
    echo "picture        $(rel "$out")/demo.png"
  else
    echo "picture        skipped: gnuplot is not installed (scripts/install-deps.sh installs gnuplot-nox)"
  fi
fi
for pid in "${started_pids[@]}"; do
  if kill -0 "$pid" 2>/dev/null; then echo "left running   tolvane-slave $pid" >&2; exit 1; fi
done
stopped="the slave has stopped"
if [ -d "$out/wineprefix" ] && [ -n "$wine_launcher" ] && [ -z "$wine_skip" ]; then
  # A running Wine server keeps its socket in a folder named after the prefix's device and inode.
  server_dir="/tmp/.wine-$(id -u)/$(printf 'server-%x-%x' $(stat -L -c '%d %i' "$out/wineprefix"))"
  if [ -S "$server_dir/socket" ]; then echo "left running   the Wine server of $(rel "$out")/wineprefix" >&2; exit 1; fi
  stopped="the slave and the Wine server have stopped"
fi
if [ ${#left[@]} -gt 0 ]; then
  echo "left behind    /dev/shm: ${left[*]}" >&2; exit 1
fi
echo "left behind    nothing: $stopped and /dev/shm holds no object of slave $slave_number"
