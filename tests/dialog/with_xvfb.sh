#!/bin/sh
# Runs a test command with DISPLAY set to a private Xvfb that is started here and stopped after.
# Without Xvfb the command runs with TOLVANE_TEST_NO_XVFB=1 (and no display) and skips its
# cases that need one.
if ! command -v Xvfb >/dev/null 2>&1; then
  unset DISPLAY
  TOLVANE_TEST_NO_XVFB=1 "$@"
  exit $?
fi
dir=$(mktemp -d /tmp/tolvane-xvfb-XXXXXX) || exit 1
# -displayfd picks a free display number and writes it once the server is ready.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >"$dir/log" 2>&1 &
server=$!
i=0
while [ ! -s "$dir/display" ] && [ $i -lt 100 ] && kill -0 $server 2>/dev/null; do
  sleep 0.1
  i=$((i + 1))
done
if [ ! -s "$dir/display" ]; then
  echo "Xvfb did not start:" >&2
  cat "$dir/log" >&2
  kill $server 2>/dev/null
  rm -rf "$dir"
  exit 1
fi
DISPLAY=":$(tr -d '\n' <"$dir/display")"
export DISPLAY
"$@"
status=$?
kill $server 2>/dev/null
wait $server 2>/dev/null
rm -rf "$dir"
exit $status
