#!/usr/bin/env bash
# Measures the window's output view on a real X server (Xvfb): how long each
# action (showing a report, Ctrl+End, Page Up, scrolling, Ctrl+A, Ctrl+C...)
# keeps the window's thread, with a report of LINES lines (default 1,000,000,
# about 75 MiB, as a ~2 GiB address book's contacts report). Every action must
# stay under 200 ms. Usage: measure-output-view.sh [BUILD_DIR] [LINES]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
lines=${2:-1000000}
bash "$root/scripts/install-deps.sh" xvfb xauth
[[ -x $build/quarrow_window_tests ]] || cmake --build "$build" -j2 --target quarrow_window_tests
QUARROW_VIEW_LINES=$lines QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/quarrow_window_tests" \
  2>&1 | grep -E "output view:|LargeReportsStayResponsive" | sed 's/^.*output view: /  /'
