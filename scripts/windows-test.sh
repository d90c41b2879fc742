#!/usr/bin/env bash
# The Windows build, checked on Linux. Cross-builds quarrow-cli.exe and the
# test suite with mingw-w64 into build-win/ (no window, no sanitizers), runs the
# suite under Wine, compares the find and contacts reports of the Windows
# program with those of the Linux build byte for byte (the sample address book
# and a generated larger disk image), compares their messages on bad input, and
# makes the release archive build-win/quarrow-cli-VERSION-windows-x86_64.zip.
#
# Usage: windows-test.sh [--image-mib N]
#   --image-mib N  size of the generated image (default 256; 1024 for the
#                  1 GiB comparison, which takes a few minutes more)
# The Linux reports come from build/ (scripts/build.sh or scripts/test.sh make
# it); when its programs are missing, they are built into build-winhost/linux.
# Wine runs in a prefix of its own under a temporary folder, removed at the end;
# console programs need no display.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
image_mib=256
while (($#)); do
  case $1 in
    --image-mib) image_mib=$2; shift 2 ;;
    *) echo "usage: windows-test.sh [--image-mib N]" >&2; exit 2 ;;
  esac
done

win=$root/build-win
started=$SECONDS
step() { echo "windows-test: $* ($((SECONDS - started)) s)"; }

# 1. The cross build: SQLite and GoogleTest for Windows first.
bash "$root/scripts/windows-deps.sh" "$win/windows-deps"
prefix=$win/windows-deps/prefix
cmake -S "$root" -B "$win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DQUARROW_BUILD_WINDOW=OFF -DQUARROW_BUILD_TESTS=ON \
  -DGTest_DIR="$prefix/lib/cmake/GTest" -DCLI11_DIR="$prefix/share/cmake/CLI11" \
  -DSQLite3_INCLUDE_DIR="$prefix/include" -DSQLite3_LIBRARY="$prefix/lib/libsqlite3.a" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
cmake --build "$win" -j"$(nproc)" --target quarrow-cli quarrow_tests >/dev/null
step "cross build done"

# The Linux programs the reports are compared with.
linux=$root/build
if [[ ! -x $linux/quarrow-cli || ! -x $linux/quarrow-make-sample ]]; then
  linux=$root/build-winhost/linux
  cmake -S "$root" -B "$linux" -DCMAKE_BUILD_TYPE=Release -DQUARROW_BUILD_WINDOW=OFF >/dev/null
  cmake --build "$linux" -j"$(nproc)" --target quarrow-cli quarrow-make-sample >/dev/null
  step "Linux programs built in $linux"
fi

# 2. Wine, in a prefix of its own. The prompts for Wine's .NET and HTML
# engines are turned off: nothing here needs them.
work=$(mktemp -d)
export WINEDEBUG=-all WINEARCH=win64 WINEPREFIX=$work/prefix
stop_wine() {
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  if [[ -n ${nobody_home:-} ]]; then
    WINEPREFIX=$nobody_home/prefix setpriv --reuid=65534 --regid=65534 --clear-groups \
      env HOME="$nobody_home" wineserver -k 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop_wine EXIT
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1
wineserver -w
step "Wine $(wine --version) ready"

# 3. The test suite under Wine, from a folder of the host.
cd "$work"
if ! wine "$win/quarrow_tests.exe" </dev/null >"$work/tests.log" 2>&1; then
  tr -d '\r' <"$work/tests.log" | grep -vE '^\[ (RUN|      OK|  SKIPPED) ' | tail -80
  echo "windows-test: the test suite failed under Wine" >&2
  exit 1
fi
tr -d '\r' <"$work/tests.log" | grep -E '^\[==========\]|^\[  PASSED  \]|^\[  SKIPPED \]'
step "test suite passed under Wine"

exe=$win/quarrow-cli.exe
win_cli() { wine "$exe" "$@" </dev/null; }

# 4. Reports of both builds, byte for byte: each command and format on the
# sample address book (a database with its WAL beside it) and on a disk image.
mkdir -p "$work/sample" "$work/image"
"$linux/quarrow-make-sample" "$work/sample/AddressBook.sqlitedb" >/dev/null
for layout in 34 36 38; do
  "$linux/quarrow-make-sample" --layout "$layout" --persons 2000 --seed "$layout" \
    "$work/image/book$layout.db" >/dev/null
done
# The image: the books (with their WAL or journal files) again and again, each
# time after a stretch of random bytes, as on a disk.
python3 - "$work/image" "$image_mib" <<'EOF'
import os, random, sys
folder, mib = sys.argv[1], int(sys.argv[2])
parts = [open(os.path.join(folder, name), 'rb').read()
         for name in sorted(os.listdir(folder)) if name.startswith('book')]
rng = random.Random(7)
target = mib << 20
with open(os.path.join(folder, 'disk.img'), 'wb') as image:
    written = 0
    while written < target:
        for part in parts:
            filler = rng.randbytes(rng.randrange(1 << 16, 1 << 21))
            for piece in (filler, part):
                piece = piece[:target - written]
                image.write(piece)
                written += len(piece)
EOF
rm -f "$work"/image/book*
step "inputs made: the sample, a $image_mib MiB image"

compare() {  # NAME INPUT ARGS...: the same command by both builds, reports compared
  local name=$1 input=$2
  shift 2
  "$linux/quarrow-cli" "$@" --quiet "$input" "$work/linux-$name"
  win_cli "$@" --quiet "$input" "$work/windows-$name"
  if ! cmp -s "$work/linux-$name" "$work/windows-$name"; then
    echo "windows-test: $name differs between the Linux and the Windows build" >&2
    exit 1
  fi
  echo "  $name: $(wc -c <"$work/linux-$name") bytes, $(wc -l <"$work/linux-$name") lines, identical"
  rm -f "$work/linux-$name" "$work/windows-$name"
}
sample=$work/sample/AddressBook.sqlitedb
compare sample-contacts.tsv "$sample" contacts --details --offset 0
compare sample-contacts.csv "$sample" contacts --format csv
compare sample-find.tsv "$sample" find --details
compare sample-find-table.jsonl "$sample" find --table ABMultiValue --format jsonl --details
compare image-contacts.tsv "$work/image/disk.img" contacts --details
compare image-find.tsv "$work/image/disk.img" find --details
compare image-find-table.csv "$work/image/disk.img" find --table ABPerson --format csv \
  --schema-from "$sample"
step "reports identical"

# 5. Bad input: the same message from both builds, once a Windows path
# (Z:\tmp\x) is read as the Linux path it names (/tmp/x) and CR LF as LF.
as_linux_paths() { perl -pe 's{Z:(\\[^"]*)}{($p = $1) =~ tr#\\\\#/#; $p}ge; s/\r//g'; }
refusals=0
refused() {  # WHAT ARGS...: exit 1 from both, the same message
  local what=$1
  shift
  local linux_err windows_err linux_status=0 windows_status=0
  linux_err=$("$linux/quarrow-cli" "$@" 2>&1 >/dev/null </dev/null) || linux_status=$?
  win_cli "$@" 2>"$work/err" >/dev/null || windows_status=$?
  windows_err=$(as_linux_paths <"$work/err")
  if [[ $linux_status != 1 || $windows_status != 1 || $linux_err != "$windows_err" ]]; then
    printf 'windows-test: %s\n  Linux   (%s): %s\n  Windows (%s): %s\n' "$what" \
      "$linux_status" "$linux_err" "$windows_status" "$windows_err" >&2
    exit 1
  fi
  refusals=$((refusals + 1))
}
bad=$work/bad
mkdir -p "$bad/folder.db"
cp "$sample" "$bad/in.db"
refused "missing input" find "$bad/missing.db" "$bad/out"
refused "folder as input" contacts "$bad/folder.db" "$bad/out"
refused "output equal to the input" find "$bad/in.db" "$bad/in.db"
refused "output on the input's WAL" contacts "$bad/in.db" "$bad/in.db-wal"
refused "output in a missing folder" find "$bad/in.db" "$bad/no/such/out"
refused "output on a full disk" find "$bad/in.db" /dev/full
refused "folder as output" find "$bad/in.db" "$bad/folder.db"
echo "  $refusals refusals, the same messages"
step "bad input refused alike"

# As an unprivileged user (root reads and writes anything): an unreadable
# input and a report in a read-only folder, with a Wine prefix of that user.
nobody_home=$work/nobody
chmod 711 "$work"
mkdir -p "$nobody_home/bin" "$nobody_home/data/readonly"
cp "$exe" "$linux/quarrow-cli" "$nobody_home/bin/"
cp "$sample" "$nobody_home/data/in.db"
cp "$sample" "$nobody_home/data/locked.db"
chmod 0 "$nobody_home/data/locked.db"
chown -R 65534:65534 "$nobody_home"
chmod 555 "$nobody_home/data/readonly"
as_nobody() {
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME="$nobody_home" WINEPREFIX="$nobody_home/prefix" "$@"
}
if as_nobody WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1; then
  unprivileged() {  # WHAT ARGS...
    local what=$1 linux_err windows_err
    shift
    linux_err=$(as_nobody "$nobody_home/bin/quarrow-cli" "$@" 2>&1 </dev/null) && true
    windows_err=$(as_nobody wine "$nobody_home/bin/quarrow-cli.exe" "$@" 2>&1 </dev/null \
      | as_linux_paths) && true
    if [[ $linux_err != *"Permission denied"* || $linux_err != "$windows_err" ]]; then
      printf 'windows-test: %s\n  Linux:   %s\n  Windows: %s\n' "$what" "$linux_err" \
        "$windows_err" >&2
      exit 1
    fi
    echo "  $what: $windows_err"
  }
  unprivileged "unreadable input" find "$nobody_home/data/locked.db" "$nobody_home/data/out"
  unprivileged "report in a read-only folder" find "$nobody_home/data/in.db" \
    "$nobody_home/data/readonly/out.tsv"
  step "unprivileged refusals alike"
else
  echo "windows-test: no Wine prefix for an unprivileged user here; skipped the unreadable" \
    "input and the read-only folder"
fi

# 6. The release archive: the program and its manual page as text.
version=$(win_cli --version | tr -d '\r' | cut -d' ' -f2)
name=quarrow-cli-$version-windows-x86_64
stage=$work/$name
mkdir -p "$stage"
x86_64-w64-mingw32-strip -o "$stage/quarrow-cli.exe" "$exe"
# Plain text (no overstrikes or colours), lines ending CR LF as Windows text does.
groff -man -Tutf8 -P-cbou "$root/docs/quarrow-cli.1" 2>/dev/null | sed 's/$/\r/' \
  >"$stage/quarrow-cli.txt"
grep -q "quarrow-cli find" "$stage/quarrow-cli.txt"
stamp=$(git -C "$root" log -1 --format=%cd --date=format:%Y%m%d%H%M 2>/dev/null || date +%Y%m%d%H%M)
touch -t "$stamp" "$stage" "$stage"/*
rm -f "$win/$name.zip"
(cd "$work" && zip -q -X -r "$win/$name.zip" "$name")
# The archive's program, unpacked, runs.
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$win/$name.zip")
[[ $(wine "$work/unpacked/$name/quarrow-cli.exe" --version </dev/null | tr -d '\r') == "quarrow-cli $version" ]]
step "release archive $win/$name.zip ($(wc -c <"$win/$name.zip") bytes)"
