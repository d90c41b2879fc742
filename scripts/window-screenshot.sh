#!/usr/bin/env bash
# Starts the window on a virtual X screen, opens the bundled sample address
# book, runs "Restore deleted contacts IPHONE" with details and saves a picture
# of the window, the picture of the evidence beside the report.
#
#   scripts/window-screenshot.sh [OUTPUT.png]      (default docs/screenshot.png)
#
# BUILD_DIR names the build folder (default build/); the window and
# quarrow-make-sample are built there if needed. The window is drawn at 120 dots
# per inch, the resolution its layout is given in. Needs xvfb-run and
# ImageMagick's import.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
output=${1:-$root/docs/screenshot.png}
case $output in /*) ;; *) output=$PWD/$output ;; esac

# Inside the virtual screen: start the window, wait for the command to end,
# take the picture, close the window.
if [[ ${1:-} == --inside ]]; then
  sample=$2 output=$3 log=$4
  : >"$log"
  QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=1.25 \
    "$build/quarrow" --open "$sample" --details --run contacts >"$log" 2>&1 &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true' EXIT
  for _ in $(seq 600); do
    grep -q 'finished, window' "$log" && break
    kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.1
  done
  window=$(sed -n 's/.*finished, window \(0x[0-9a-f]*\).*/\1/p' "$log")
  [[ -n $window ]] || { echo "the window did not finish its command" >&2; cat "$log" >&2; exit 1; }
  sleep 0.5  # let it paint
  import -window "$window" "$output"
  exit 0
fi

bash "$root/scripts/install-deps.sh" xvfb xauth imagemagick
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j2 --target quarrow quarrow-make-sample

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/sample" "$(dirname "$output")"
sample=$build/sample/AddressBook.sqlitedb
"$build/quarrow-make-sample" --layout 34 "$sample"

BUILD_DIR=$build xvfb-run -a -s "-screen 0 1400x900x24" \
  "$0" --inside "$sample" "$output" "$work/window.log"
echo "saved $output"
