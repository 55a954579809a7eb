#!/bin/sh
# Configures a build folder for the mingw-w64 cross build: tools/configure.sh BUILD-DIR [cmake options]
set -e
build=$1
shift
cmake -S "$(dirname "$0")/.." -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$(dirname "$0")/../cmake/mingw-w64-x86_64.cmake" "$@" >/dev/null
