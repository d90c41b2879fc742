#!/usr/bin/env bash
# What the Windows cross build needs, made once into DEPS_DIR (default
# build-win/windows-deps): Debian's mingw-w64, Wine and zip installed;
# SQLite's C library built for Windows from its amalgamation source; GoogleTest
# built for Windows from Debian's source package; CLI11's headers. Prints
# nothing but the steps it takes; with everything in place it does nothing.
#
# SQLite's amalgamation (sqlite3.c, sqlite3.h) comes from a pinned version of
# an npm registry package that ships it; the package file is checked against
# its pinned SHA-256 before anything is taken out of it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps=${1:-$root/build-win/windows-deps}

sqlite_package=better-sqlite3
sqlite_package_version=12.11.1  # ships SQLite 3.53.2
sqlite_package_sha256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835
sqlite_source_in_package=package/deps/sqlite3
sqlite_options=(-DSQLITE_THREADSAFE=1 -DSQLITE_SECURE_DELETE -DSQLITE_USE_URI=1
  -DSQLITE_ENABLE_DBSTAT_VTAB -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS3
  -DSQLITE_ENABLE_FTS3_PARENTHESIS -DSQLITE_ENABLE_FTS4 -DSQLITE_ENABLE_FTS5
  -DSQLITE_ENABLE_RTREE -DSQLITE_ENABLE_MATH_FUNCTIONS -DSQLITE_ENABLE_STMTVTAB
  -DSQLITE_SOUNDEX -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_DEFAULT_RECURSIVE_TRIGGERS
  -DSQLITE_MAX_VARIABLE_NUMBER=250000 -DSQLITE_OMIT_LOAD_EXTENSION)

bash "$root/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix wine wine64 zip groff-base \
  googletest
if ! command -v npm >/dev/null; then
  bash "$root/scripts/install-deps.sh" npm
fi

toolchain=$root/cmake/mingw-w64-x86_64.cmake
prefix=$deps/prefix
mkdir -p "$deps" "$prefix/include" "$prefix/lib"

# SQLite: the package file, checked, then libsqlite3.a.
tarball=$deps/$sqlite_package-$sqlite_package_version.tgz
# Built again when the pinned package or the options change.
sqlite_stamp="$sqlite_package_sha256 ${sqlite_options[*]}"
if [[ ! -f $prefix/lib/libsqlite3.a || $(cat "$prefix/sqlite.stamp" 2>/dev/null) != "$sqlite_stamp" ]]; then
  if [[ ! -f $tarball ]]; then
    echo "windows-deps: fetching $sqlite_package@$sqlite_package_version (SQLite amalgamation)"
    (cd "$deps" && npm pack --silent "$sqlite_package@$sqlite_package_version" >/dev/null)
  fi
  actual=$(sha256sum "$tarball" | cut -d' ' -f1)
  if [[ $actual != "$sqlite_package_sha256" ]]; then
    echo "windows-deps: $tarball has SHA-256 $actual, expected $sqlite_package_sha256" >&2
    rm -f "$tarball"
    exit 1
  fi
  source_dir=$deps/sqlite-source
  rm -rf "$source_dir" && mkdir -p "$source_dir"
  tar -xzf "$tarball" -C "$source_dir" --strip-components=3 \
    "$sqlite_source_in_package/sqlite3.c" "$sqlite_source_in_package/sqlite3.h"
  echo "windows-deps: building SQLite $(grep -m1 -o '"3\.[0-9.]*"' "$source_dir/sqlite3.h") for Windows"
  # The options of Debian's libsqlite3 that change what a database holds or
  # what the tests ask of it (secure delete on, the dbstat table, URIs, the
  # full-text and R-tree tables), so that fixtures come out as on Linux.
  x86_64-w64-mingw32-gcc-posix -O2 "${sqlite_options[@]}" \
    -c "$source_dir/sqlite3.c" -o "$source_dir/sqlite3.o"
  cp "$source_dir/sqlite3.h" "$prefix/include/"
  rm -f "$prefix/lib/libsqlite3.a"
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" "$source_dir/sqlite3.o"
  echo "$sqlite_stamp" >"$prefix/sqlite.stamp"
fi

# CLI11 (header-only): Debian's headers and CMake configuration copied into the
# prefix, since the configuration names its own folder's include/, and
# /usr/include would bring the host's C library headers into the cross build.
if [[ ! -f $prefix/share/cmake/CLI11/CLI11Config.cmake ]]; then
  mkdir -p "$prefix/share/cmake"
  cp -r /usr/include/CLI "$prefix/include/"
  cp -r /usr/share/cmake/CLI11 "$prefix/share/cmake/"
fi

# GoogleTest (with GoogleMock) from Debian's source package.
if [[ ! -f $prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
  echo "windows-deps: building GoogleTest for Windows"
  cmake -S /usr/src/googletest -B "$deps/googletest-build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$deps/googletest-build" -j"$(nproc)" >/dev/null
  cmake --install "$deps/googletest-build" >/dev/null
fi
