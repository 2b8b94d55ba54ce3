#!/usr/bin/env bash
# Builds the shim and runs every test suite: unit tests, the end-to-end
# suite (with the real clients and a headless chromium), the sanitizer builds, the fuzzers and the
# Windows build under Wine. Installs what is missing when run as root.
# Stages can be picked: scripts/test.sh unit e2e sanitize fuzz wine
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/need.sh

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(unit e2e sanitize fuzz wine)
wants() { local s; for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }

need cmake make g++ pkg-config libcurl4-openssl-dev libssl-dev libgtest-dev googletest ca-certificates
wants e2e || wants sanitize || wants wine && need python3 python3-pytest curl openssl tinyproxy-bin
# Every stage that runs the end-to-end suite meets the real clients and the
# browser suite in it; their packages come from the registry, so before the
# suites are cut off from the network below.
if wants e2e || wants sanitize || wants wine; then
    need chromium iproute2 util-linux && tests/browser/install.sh && tests/clients/install.sh
fi
wants sanitize || wants fuzz && need clang libclang-rt-14-dev
wants wine && need g++-mingw-w64-x86-64-posix wine64

# Everything the suites meet was installed above: a missing peer fails them.
export ZELK_REQUIRE_PEERS=1

failed=()
stage() {
    local name=$1; shift
    echo "=== $name"
    local t0=$SECONDS
    if "$@"; then echo "=== $name: ok ($((SECONDS - t0)) s)"; else echo "=== $name: FAILED ($((SECONDS - t0)) s)"; failed+=("$name"); fi
}

build_native() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && cmake --build build -j"$(nproc)"
}

run_unit() { ctest --test-dir build --output-on-failure -j"$(nproc)"; }

run_e2e() { /usr/bin/python3 -m pytest tests/e2e -q -p no:cacheprovider; }

# The suites reach nothing but this machine: they run in a network namespace
# of their own that has only loopback (a shim started with its default
# upstream then cannot even look its name up). Needs root, as on CI;
# elsewhere they run as they are.
loopback_only() {
    if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
        unshare --net bash -c 'ip link set lo up && "$@"' loopback_only "$@"
    else
        "$@"
    fi
}

stage build build_native
[ ${#failed[@]} -eq 0 ] || { echo "build failed"; exit 1; }
wants unit && stage unit run_unit
export -f run_e2e
wants e2e && stage e2e loopback_only run_e2e
wants sanitize && [ -x tests/sanitize.sh ] && stage sanitize loopback_only tests/sanitize.sh
wants fuzz && [ -x tests/fuzz/run.sh ] && stage fuzz tests/fuzz/run.sh
wants wine && [ -x tests/wine/run.sh ] && stage wine loopback_only tests/wine/run.sh

if [ ${#failed[@]} -ne 0 ]; then
    echo "failed stages: ${failed[*]}"
    exit 1
fi
echo "all stages passed"
