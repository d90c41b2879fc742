#!/usr/bin/env bash
# Installs what is needed, builds into build/ and runs every test. Exits non-zero
# when a test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure -j"$(nproc)" --timeout 600
# The install: into a temporary prefix, then the installed programs run.
bash "$root/scripts/install-test.sh" "$root/build"
