#!/usr/bin/env bash
# Measures what a crash and a hang of a hosted plug-in cost under tolvane-slave --supervise --state:
# tolvane-host -> Tolvane.so -> tolvane-slave hosting Debian's DPF 3-band equaliser, whose Mid and
# Master were turned down (-12 dB each) in an earlier run and kept in the state file only. The
# child is killed with SIGSEGV (a crash), then stopped with SIGSTOP (a hang, which the hang watch
# ends); for each the level of the 1 kHz sine before and after, and the gap in blocks and ms.
#
#   bash scripts/measure-state-restart.sh [--build DIR] [--slave N] [--hang-limit MS]
#
# DIR (default build/linux-release) must hold tolvane-host, tolvane-slave and plugins/Tolvane.so.
# Needs dpf-plugins-vst (/usr/lib/vst/3BandEQ-vst.so) and python3.
set -euo pipefail

build=build/linux-release
# The bridge's Slave# reaches -1..16 only; -1 (the unnumbered objects) is left alone by the tests,
# which hold 0..16.
slave=-1
hang_limit=1000
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --slave) slave="$2"; shift 2 ;;
    --hang-limit) hang_limit="$2"; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--slave N] [--hang-limit MS]" >&2; exit 2 ;;
  esac
done
plugin=/usr/lib/vst/3BandEQ-vst.so
host_exe="$build/tools/host/tolvane-host"
slave_exe="$build/tools/slave/tolvane-slave"
effect="$build/plugins/Tolvane.so"
for f in "$plugin" "$host_exe" "$slave_exe" "$effect"; do
  [[ -e "$f" ]] || { echo "missing: $f" >&2; exit 1; }
done

out="$build/state-restart"
rm -rf "$out"
mkdir -p "$out/config/Vantor"
export XDG_CONFIG_HOME="$out/config"
export ASAN_OPTIONS=handle_segv=0  # a sanitizer build: the crash stays a plain SIGSEGV
printf 'ConfigDlg=0\nTermSlave=0\nNumInputs=2\nNumOutputs=2\nStereoPins=0\n' > "$out/config/Vantor/Tolvane.conf"
state="$out/eq.state"
block=512
blocks=700  # 8.1 s at 44.1 kHz, paced in real time

wait_for() {  # file text seconds
  for _ in $(seq 1 $(( $3 * 20 ))); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  echo "no '$2' in $1:" >&2; cat "$1" >&2; return 1
}

# The earlier run: the parameters changed, kept in the state file at exit.
"$slave_exe" --slave "$slave" --state "$state" --process "plugin:$plugin" --param Mid=0.25 --param Master=0.25 \
  > "$out/first.log" 2>&1 &
first=$!
wait_for "$out/first.log" serving 20
kill -TERM "$first"; wait "$first" || true
echo "state file ($state):"; sed 's/^/  /' "$state"

run_case() {  # name signal
  local name="$1" signal="$2"
  "$slave_exe" --supervise --hang-limit "$hang_limit" --slave "$slave" --state "$state" --process "plugin:$plugin" \
    > "$out/$name-slave.log" 2>&1 &
  local supervisor=$!
  wait_for "$out/$name-slave.log" serving 20
  "$host_exe" "$effect" --param-text "Slave#=$slave" --idle --realtime --signal sine:1000:0.5 --block "$block" \
    --blocks "$blocks" --output "$out/$name.f32" --summary-kv "$out/$name.kv" --quiet &
  local host=$!
  sleep 3
  local child
  child=$(pgrep -P "$supervisor" | head -1)
  kill "-$signal" "$child"
  wait "$host"
  kill -TERM "$supervisor"; wait "$supervisor" || true
  python3 - "$out/$name.f32" "$block" "$name" "$out/$name-slave.log" <<'EOF'
import math, struct, sys
path, block, name, log = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
data = open(path, "rb").read()
samples = struct.unpack("<%df" % (len(data) // 4), data)
left = samples[0::2]
count = len(left) // block
rms = [math.sqrt(sum(x * x for x in left[b * block:(b + 1) * block]) / block) for b in range(count)]
audible = [r > 1e-4 for r in rms]
first = audible.index(True)
gap_start = audible.index(False, first)
gap_end = audible.index(True, gap_start)
gap = gap_end - gap_start
ref = 0.5 / math.sqrt(2.0)
def level(lo, hi):
    values = rms[lo:hi]
    return 20.0 * math.log10(math.sqrt(sum(v * v for v in values) / len(values)) / ref)
before = level(max(first + 20, gap_start - 100), gap_start)
after = level(gap_end + 20, min(count, gap_end + 120))
ms = gap * block * 1000.0 / 44100.0
died = [l.strip() for l in open(log) if "died" in l]
print(f"{name:5s}: level before {before:+.2f} dB, after the restart {after:+.2f} dB (defaults: 0 dB); "
      f"gap {gap} blocks = {ms:.0f} ms")
for line in died:
    print(f"       {line}")
EOF
}

echo "Tolvane.so -> tolvane-slave --supervise --hang-limit $hang_limit --state -> 3BandEQ, sine 1 kHz at 0.5, $block-frame blocks, 44.1 kHz, real time"
run_case crash SEGV
run_case hang STOP
