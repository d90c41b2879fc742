#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ (clang, ASan + UBSan) and runs
# each for SECONDS (default 60), one after the other, then says what each
# found. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]  (TARGET: header, ...)
#
# Each target starts from its seed corpus fuzz/corpus/<name>/ and grows a
# working corpus in build-fuzz/corpus/<name>/ (kept between runs, never
# committed by this script). Limits: 10 s per input, 2 GB of memory. A crash,
# a hang or a failed check leaves the input in build-fuzz/artifacts/; to keep
# it, copy it into fuzz/corpus/<name>/ under a name that says the fault, so the
# corpus tests check it from then on. Exit status 1 when any target found one.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
shift || true
build="$root/build-fuzz"

bash "$root/scripts/install-deps.sh" --fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARROW_FUZZ=ON -DQUARROW_BUILD_TESTS=OFF -DQUARROW_BUILD_WINDOW=OFF >/dev/null

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in "$root"/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp | sed 's/^fuzz_//')")
  done
fi
# Only the fuzz targets and what they link, not the programs.
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

mkdir -p "$build/artifacts" "$build/logs"
found=0
summary=()
for name in "${targets[@]}"; do
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [[ -d $root/fuzz/corpus/$name ]] && seeds=("$root/fuzz/corpus/$name")
  log="$build/logs/$name.log"
  before=$(ls "$build/artifacts" | grep -c "^$name-" || true)
  echo "fuzz_$name: $seconds s"
  status=0
  ASAN_OPTIONS=detect_leaks=1 "$build/fuzz_$name" "$corpus" "${seeds[@]}" \
    -dict="$root/fuzz/quarrow.dict" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" >"$log" 2>&1 || status=$?
  after=$(ls "$build/artifacts" | grep -c "^$name-" || true)
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  inputs=$(ls "$corpus" | wc -l)
  bytes=$(( $(du -sb "$corpus" | cut -f1) / 1024 ))
  line="fuzz_$name: $runs runs, $speed exec/s, corpus $inputs inputs ($bytes KB)"
  if ((status != 0 || after > before)); then
    found=1
    line+=", FOUND $((after - before)) (exit $status): see $log and $build/artifacts/"
    grep -m3 -E 'check failed|ERROR: |SUMMARY' "$log" | sed 's/^/    /' || true
  else
    line+=", nothing found"
  fi
  echo "$line"
  summary+=("$line")
done
echo
printf '%s\n' "${summary[@]}"
exit "$found"
