#!/bin/sh
# Builds the libFuzzer targets with clang (build-fuzz) and runs each for a
# bounded time from its committed seed corpus, with the dictionary of the
# members it reads where it has one. Fails on any crash, leak,
# sanitizer report or broken invariant. FUZZ_SECONDS sets the time per
# target (default 60).
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS="fuzz_request fuzz_rebuild fuzz_local_request fuzz_local_reply fuzz_upstream_url fuzz_full_request fuzz_full_stream fuzz_key_mask"

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DZELK_FUZZ=ON -DZELK_TESTS=OFF \
    -DZELK_SANITIZE=address,undefined >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" -j2 --target $TARGETS

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zelk-fuzz.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=""
summary=""
for t in $TARGETS; do
    # New inputs go to a scratch copy; the committed corpus stays small.
    mkdir -p "$WORK/$t" "$WORK/artifacts-$t"
    cp "$ROOT/tests/fuzz/corpus/$t/"* "$WORK/$t/"
    log="$WORK/$t.log"
    # The members a target reads, so mutations reach nested shapes.
    case $t in
        fuzz_full_stream | fuzz_local_reply) dict="-dict=$ROOT/tests/fuzz/upstream_answer.dict" ;;
        fuzz_full_request) dict="-dict=$ROOT/tests/fuzz/local_request.dict" ;;
        *) dict="" ;;
    esac
    echo "== $t: ${SECONDS_EACH}s"
    # shellcheck disable=SC2086
    if "$BUILD/tests/fuzz/$t" -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$WORK/artifacts-$t/" $dict "$WORK/$t" >"$log" 2>&1; then
        :
    else
        failed="$failed $t"
        tail -n 60 "$log"
        # Keep what crashed where CI can pick it up.
        mkdir -p "$BUILD/crashes"
        cp "$WORK/artifacts-$t/"* "$BUILD/crashes/" 2>/dev/null || true
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
    line="$t: ${execs:-?} executions (${rate:-?}/s) ${cov}"
    echo "   $line"
    summary="$summary
$line"
done

echo "== fuzz summary:$summary"
if [ -n "$failed" ]; then
    echo "fuzz targets failed:$failed (inputs in $BUILD/crashes)"
    exit 1
fi
echo "all fuzz targets ran clean"
