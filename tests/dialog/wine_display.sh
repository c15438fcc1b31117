#!/bin/sh
# Runs a Windows test program under Wine:
#   wine_display.sh x11  WINE PROGRAM ARGS...   on a private Xvfb (see with_xvfb.sh); the program
#                                               puts its windows on a desktop of its own, whose
#                                               desktop process it starts with this display
#   wine_display.sh none WINE PROGRAM ARGS...   without any display
mode=$1
wine=$2
shift 2
if [ "$mode" = none ]; then
  unset DISPLAY
  exec "$wine" "$@"
fi
exec sh "$(dirname "$0")/with_xvfb.sh" "$wine" "$@"
