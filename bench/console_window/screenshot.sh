#!/bin/sh
# Starts the console under a virtual X display and saves a PNG of its main
# window. Usage: screenshot.sh <path to KestraGangA4> [out.png]
# No serial port is listed (empty device table), so no device is searched.
set -eu
exe=${1:?path to KestraGangA4}
out=${2:-$(pwd)/console_window.png}
table=$(mktemp)
trap 'rm -f "$table"' EXIT
KESTRA_SERIAL_TABLE=$table KESTRA_SCREENSHOT=$out \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$exe"
echo "$out"
