#!/usr/bin/env bash
# One command for the relay bench: builds the shim (Release, build-bench/) and
# the bench's native helpers, installs nginx and wrk when missing, then runs
# bench/bench.py, which prints the table and writes bench/RESULTS.md.
# Fails when something does not work at all; missed targets are only reported.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$root/build-bench"
tmp="$(mktemp -d /tmp/zelk-bench.XXXXXX)"

cleanup() {
    local rc=$?
    # Whatever the driver started and did not stop (it stops all on a normal end).
    if [[ -f "$tmp/pids" ]]; then
        while read -r pid; do
            kill "$pid" 2>/dev/null || true
        done <"$tmp/pids"
        sleep 0.3
        while read -r pid; do
            kill -9 "$pid" 2>/dev/null || true
        done <"$tmp/pids"
    fi
    if [[ -n "${driver:-}" ]]; then kill "$driver" 2>/dev/null || true; fi
    if [[ $rc -eq 0 ]]; then rm -rf "$tmp"; else echo "bench: logs kept in $tmp" >&2; fi
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

missing=()
command -v nginx >/dev/null 2>&1 || [[ -x /usr/sbin/nginx ]] || missing+=(nginx)
command -v wrk >/dev/null 2>&1 || missing+=(wrk)
command -v openssl >/dev/null 2>&1 || missing+=(openssl)
if ((${#missing[@]})); then
    echo "bench: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"

echo "bench: building the shim (Release) in $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZELK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zelk-shim >/dev/null

gcc -O2 -Wall -Wextra -pthread -o "$tmp/mock_stream" "$here/mock_stream.c"
gcc -O2 -Wall -Wextra -o "$tmp/hclient" "$here/hclient.c"

python=/usr/bin/python3
[[ -x $python ]] || python="$(command -v python3)"

"$python" "$here/bench.py" \
    --shim "$build/zelk-shim" --hclient "$tmp/hclient" --mock "$tmp/mock_stream" \
    --nginx "$nginx_bin" --wrk "$(command -v wrk)" \
    --tmp "$tmp" --results "$here/RESULTS.md" &
driver=$!
wait "$driver"
