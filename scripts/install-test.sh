#!/usr/bin/env bash
# Installs a build into a temporary prefix and runs the installed programs:
# the version, and a small find on a sample address book made by the installed
# sample generator. Usage: install-test.sh [BUILD_DIR] (default build/).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
expected=(bin/quarrow-cli bin/quarrow-make-sample bin/quarrow-slurm share/man/man1/quarrow-cli.1.gz
          share/man/man1/quarrow-slurm.1.gz share/doc/quarrow/copyright
          share/bash-completion/completions/quarrow-cli)
if [[ -e $build/quarrow ]]; then  # built with the window
  expected+=(bin/quarrow share/applications/quarrow.desktop
             share/icons/hicolor/scalable/apps/quarrow.svg)
fi
for file in "${expected[@]}"; do
  [[ -e $prefix/$file ]] || { echo "install-test: $file was not installed" >&2; exit 1; }
done

bash -n "$prefix/share/bash-completion/completions/quarrow-cli"
grep -q '^Exec=quarrow$' "$root/packaging/quarrow.desktop"

cli=$prefix/bin/quarrow-cli
version=$("$cli" --version)
[[ $version == "quarrow-cli "* ]] || { echo "install-test: bad version: $version" >&2; exit 1; }

"$prefix/bin/quarrow-make-sample" --persons 20 --seed 7 "$prefix/book.db" >/dev/null
"$cli" find --quiet --table ABPerson --format csv "$prefix/book.db" "$prefix/persons.csv"
rows=$(python3 -c 'import csv, sys; print(len(list(csv.reader(open(sys.argv[1], newline="", encoding="utf-8")))) - 1)' \
       "$prefix/persons.csv")
if ((rows < 20)); then
  echo "install-test: the installed find wrote $rows records, expected 20 or more" >&2
  exit 1
fi
echo "install test: $version installed; find wrote $rows records"

# The package: a .deb whose dependencies are Debian's packages.
if command -v dpkg-shlibdeps >/dev/null; then
  (cd "$build" && cpack -G DEB -B "$prefix/package" >/dev/null)
  deb=$(ls "$prefix"/package/quarrow_*.deb)
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *libsqlite3-0* ]] || { echo "install-test: .deb depends on: $depends" >&2; exit 1; }
  echo "package: $(basename "$deb"), depends on $depends"
  listing=$(dpkg-deb -c "$deb")
  grep -q ' ./usr/bin/quarrow-slurm$' <<< "$listing" ||
    { echo "install-test: the .deb holds no quarrow-slurm" >&2; exit 1; }
  # What cluster nodes install passes Debian's checks: no error, no warning.
  if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges' || true
    lintian --fail-on error,warning "$deb" >/dev/null 2>&1 ||
      { echo "install-test: lintian finds errors or warnings in $(basename "$deb")" >&2; exit 1; }
    echo "lintian: no errors, no warnings"
  fi
fi
