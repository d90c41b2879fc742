#!/usr/bin/env bash
# Installs what is needed, builds into build/ and runs every test, then builds
# into build-san/ with the sanitizers and runs every test again. Exits non-zero
# when a test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
# The install: into a temporary prefix, then the installed programs run.
bash "$root/scripts/install-test.sh" "$root/build"

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (QUARROW_SANITIZE=ON, into build-san/): any report ends its test with a
# failure. The fuzz targets' corpora run here too (tests fuzz_corpus.*), so an
# input once found keeps being checked. Leak checks stay on: the Qt window
# tests (offscreen) report no leaks, so no suppressions are needed.
cmake -S "$root" -B "$root/build-san" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARROW_SANITIZE=ON >/dev/null
cmake --build "$root/build-san" -j"$(nproc)"
cd "$root/build-san"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j"$(nproc)" --timeout 900
