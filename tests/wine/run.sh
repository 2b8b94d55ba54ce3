#!/bin/sh
# Cross-builds zelk-shim.exe, its unit tests and the release archive with
# mingw-w64, then runs the unit tests and the end-to-end suite under Wine, in
# a throwaway Wine prefix inside the build directory, against the exe as it
# ships: unpacked from the archive into a fresh folder, with the archive's
# zelk_shim.ini beside it. Meanwhile tests/release/check.sh checks the
# archive and builds it once more to prove the same bytes come out.
#
#   tests/wine/run.sh            build, unit tests, end-to-end suite
#   tests/wine/run.sh -k ini     extra arguments go to pytest
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${ZELK_WIN_BUILD:-$ROOT/build-win}
cd "$ROOT"

# Debian puts the 64-bit loader outside PATH; the plain "wine" wrapper would
# look for a 32-bit Wine first.
if command -v wine64 >/dev/null 2>&1; then
    WINE=$(command -v wine64)
elif [ -x /usr/lib/wine/wine64 ]; then
    WINE=/usr/lib/wine/wine64
else
    WINE=$(command -v wine)
fi
if [ -x "$(dirname "$WINE")/wineserver" ]; then
    WINESERVER=$(dirname "$WINE")/wineserver
else
    WINESERVER=$(command -v wineserver)
fi

cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build "$BUILD" -j"$(nproc)" --target all release
ZIP=$BUILD/dist/$(cat "$BUILD/release_name.txt")

# The second build for the same-bytes check runs beside the Wine tests, which
# leave a core mostly idle; it must not slow them down.
# In a process group of its own, so its builds stop with it.
CHECK_LOG=$BUILD/release-check.log
ZELK_RELEASE_CHECK_DIR=$BUILD/release-check setsid nice -n 19 tests/release/check.sh "$ZIP" >"$CHECK_LOG" 2>&1 &
CHECK_PID=$!
stop_check() { kill -- -"$CHECK_PID" 2>/dev/null || true; }
trap stop_check EXIT

SHIPPED=$BUILD/shipped
rm -rf "$SHIPPED"
/usr/bin/python3 -m zipfile -e "$ZIP" "$SHIPPED"
EXE=$SHIPPED/zelk-shim.exe
[ -f "$EXE" ] && [ -f "$SHIPPED/zelk_shim.ini" ] || { echo "the archive lacks zelk-shim.exe or zelk_shim.ini" >&2; exit 1; }

# A fresh prefix per build directory; its first start takes a while, so it
# is made once and reused by every test.
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko download prompts: the shim needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating Wine prefix $WINEPREFIX"
    "$WINE" wineboot -i
    "$WINESERVER" -w
fi
# One wineserver for the whole run, so each start of the exe is quick.
"$WINESERVER" -p 2>/dev/null || true  # already running is fine
stop_server() {
    "$WINESERVER" -k 2>/dev/null || true
    stop_check
}
trap stop_server EXIT

echo "== unit tests under Wine"
timeout 300 "$WINE" "$BUILD/tests/unit/unit_tests.exe"

echo "== end-to-end suite under Wine"
export ZELK_SHIM_CMD="$WINE $EXE"
export ZELK_SHIM_WINDOWS=1
export ZELK_SHIM_DEBUG_FILE="$WINEPREFIX/drive_c/zelk_shim_debug.json"
export ZELK_SHIM_START_TIMEOUT=${ZELK_SHIM_START_TIMEOUT:-60}
timeout 900 /usr/bin/python3 -m pytest -q tests/e2e "$@" && e2e=0 || e2e=$?

echo "== release archive"
wait "$CHECK_PID" && check=0 || check=$?
cat "$CHECK_LOG"
[ "$e2e" -eq 0 ] && [ "$check" -eq 0 ]
