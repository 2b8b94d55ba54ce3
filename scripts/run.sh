#!/usr/bin/env bash
# Builds the shim (installing what the build needs) and starts it; any
# arguments go to the shim, e.g. scripts/run.sh --port 9000.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/need.sh
need cmake make g++ pkg-config libcurl4-openssl-dev libssl-dev ca-certificates
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" >/dev/null
exec ./build-release/zelk-shim "$@"
