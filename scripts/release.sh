#!/usr/bin/env bash
# Makes the Windows release from this checkout, cross-built with mingw-w64:
# dist/zelk-shim-<version>-windows-x86_64.zip (zelk-shim.exe, zelk_shim.ini,
# README.txt) and dist/SHA256SUMS beside it. The same commit gives the same
# bytes; tests/release/check.sh proves it. Installs what is missing when run
# as root.
#
#   scripts/release.sh [BUILD_DIR [DIST_DIR]]     (default: build-release, dist)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/need.sh
need cmake make python3 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64

build=${1:-build-release}
dist=${2:-dist}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DZELK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target release >/dev/null
name=$(cat "$build/release_name.txt")
mkdir -p "$dist"
cp "$build/dist/$name" "$build/dist/SHA256SUMS" "$dist/"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS)
echo "$dist/$name"
