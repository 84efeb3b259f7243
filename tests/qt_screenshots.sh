#!/usr/bin/env bash
# Takes a picture of every window of the desktop front-end under a virtual X
# server and writes them to docs/screenshots/<window name>.png.
#
#   tests/qt_screenshots.sh BUILD_DIR [OUTPUT_DIR]
#
# BUILD_DIR holds the qt_tests program (any build type). Needs xvfb-run
# (Debian package xvfb). OUTPUT_DIR defaults to docs/screenshots beside this
# script's tree.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [OUTPUT_DIR]" >&2
  exit 2
fi
build="$1"
here="$(cd "$(dirname "$0")/.." && pwd)"
out="${2:-$here/docs/screenshots}"
program="$build/qt_tests"
if [ ! -x "$program" ]; then
  echo "$0: $program is missing: build the qt_tests target first" >&2
  exit 2
fi
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "$0: xvfb-run is not installed (apt-get install xvfb)" >&2
  exit 2
fi
mkdir -p "$out"

# Qt's own allocations are not ours to hunt in a sanitizer build; a real X
# server (not the offscreen platform) draws the windows as people see them.
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$program" --screenshots "$out"
