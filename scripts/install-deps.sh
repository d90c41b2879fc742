#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the sample need; does
# nothing (and needs no network) when they are all there already.
set -euo pipefail

packages=(cmake g++ make qt6-base-dev libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev libcli11-dev python3 qt6-svg-dev librsvg2-bin
          slurm-wlm munge lintian)
# --fuzz: clang and its runtime libraries (libFuzzer, the sanitizers) for
# scripts/fuzz.sh; the tests themselves need neither.
if [[ ${1:-} == --fuzz ]]; then
  shift
  packages+=(clang libclang-rt-dev)
fi
packages+=("$@")

missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
