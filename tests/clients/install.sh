#!/bin/sh
# Installs what tests/e2e/test_clients.py runs: node and npm for the
# chat-completions and local-model client libraries, curl, and the libraries
# themselves from package-lock.json. Safe to run again: each step is skipped
# when its result is already there (node_modules newer than the lock file).
set -eu
here=$(cd "$(dirname "$0")" && pwd)

missing=""
for tool in node npm curl; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    echo "install.sh: installing$missing" >&2
    pkgs=""
    for tool in $missing; do
        case "$tool" in
            node) pkgs="$pkgs nodejs" ;;
            *) pkgs="$pkgs $tool" ;;
        esac
    done
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086 # one word per package
    apt-get install -y -qq $pkgs
fi

# (sh's -nt is false when the second file is missing: test for it first)
if [ ! -f "$here/node_modules/.package-lock.json" ] || [ "$here/package-lock.json" -nt "$here/node_modules/.package-lock.json" ]; then
    echo "install.sh: npm ci in $here" >&2
    (cd "$here" && npm ci --no-audit --no-fund)
fi
