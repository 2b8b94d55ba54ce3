#!/bin/sh
# Sanitizer runs with clang:
#  1. AddressSanitizer + UndefinedBehaviorSanitizer (build-asan): the unit
#     tests and the whole end-to-end suite against that binary, with a leak
#     check each time a shim is stopped.
#  2. ThreadSanitizer (build-tsan): the concurrency tests (load and faults).
# Reports are written to files under a log directory; any report, from any
# process, fails the run.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
LOGS=$(mktemp -d "${TMPDIR:-/tmp}/zelk-sanitize.XXXXXX")
export ZELK_SANITIZER_LOGS="$LOGS"
export ZELK_SHIM_SANITIZED=1
PYTEST="/usr/bin/python3 -m pytest -q -p no:cacheprovider -p report_plugin"
export PYTHONPATH="$ROOT/tests/sanitize:$ROOT/tests/e2e${PYTHONPATH:+:$PYTHONPATH}"
status=0

build() {  # dir sanitizers
    CC=clang CXX=clang++ cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELK_SANITIZE="$2" >/dev/null &&
        cmake --build "$1" -j2
}

reports() {  # stage name: prints and counts report files
    found=$(find "$LOGS" -type f | wc -l)
    if [ "$found" -ne 0 ]; then
        echo "== $1: $found sanitizer report file(s):"
        for f in "$LOGS"/*; do echo "--- $f"; head -c 8000 "$f"; done
        return 1
    fi
    echo "== $1: no sanitizer reports"
}

echo "== address,undefined build"
build build-asan address,undefined || exit 1
clang -shared -fPIC -O1 -o build-asan/leak_check_on_term.so tests/sanitize/leak_check_on_term.c -lpthread || exit 1

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$LOGS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitize/lsan.supp"
echo "== unit tests (asan, ubsan)"
build-asan/tests/unit/unit_tests --gtest_brief=1 || status=1
echo "== e2e suite (asan, ubsan)"
ZELK_SHIM_CMD="$ROOT/build-asan/zelk-shim" ZELK_SANITIZER_PRELOAD="$ROOT/build-asan/leak_check_on_term.so" \
    $PYTEST tests/e2e || status=1
reports "asan/ubsan" || status=1
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

echo "== thread build"
build build-tsan thread || exit 1
export TSAN_OPTIONS="halt_on_error=1:log_path=$LOGS/tsan:suppressions=$ROOT/tests/sanitize/tsan.supp"
echo "== concurrency tests (tsan)"
# The stalled-reader case waits a minute on a timer and adds nothing for races.
ZELK_SHIM_CMD="$ROOT/build-tsan/zelk-shim" $PYTEST tests/e2e/test_load.py tests/e2e/test_faults.py \
    -k "not stops_reading" || status=1
reports "tsan" || status=1

[ "$status" -eq 0 ] && rm -rf "$LOGS" && echo "sanitizer runs clean"
exit "$status"
