# Cross build for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix): the posix thread model, which std::thread needs.
# Used by scripts/windows-test.sh:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Programs are linked statically (the C++ runtime and winpthread included), so
# quarrow-cli.exe runs alone, without DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARROW_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUARROW_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARROW_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARROW_MINGW_TRIPLET}-windres)

# Libraries and headers only from the Windows sysroot; programs (cmake's own
# helpers) from the host. Libraries built for this target elsewhere (SQLite,
# GoogleTest) are named by their *_DIR or SQLite3_* cache variables.
set(CMAKE_FIND_ROOT_PATH /usr/${QUARROW_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit off_t for the C library's fseeko and friends (tests make sparse files
# past 2 GiB with them); the engine itself reads through Win32 handles.
# -Wno-restrict: GCC 12 warns falsely inside std::string's own code at -O2.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-restrict")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test discovery and `ctest` run the Windows programs through Wine when it is
# there.
find_program(QUARROW_WINE NAMES wine wine64)
if(QUARROW_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARROW_WINE})
endif()
