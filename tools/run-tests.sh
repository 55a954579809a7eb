#!/bin/sh
# Builds MsiCA with warnings as errors and runs the whole test suite under Wine in a fresh
# prefix of its own, ending with ctest's summary: tools/run-tests.sh [BUILD-DIR]
set -e
cd "$(dirname "$0")/.."
tools="$(pwd)/tools"
tools/install-deps.sh
build=${1:-build}
tools/configure.sh "$build" -DMSICA_WERROR=ON
cmake --build "$build"
prefix="$(cd "$build" && pwd)/wineprefix"
"$tools/wine-stop" "$prefix" --remove
trap '"$tools/wine-stop" "$prefix" --remove' EXIT
cd "$build"
ctest --output-on-failure
