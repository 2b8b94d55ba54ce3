#!/bin/sh
# Installs the driver tests/e2e/test_browser.py runs chromium with:
# puppeteer-core from package-lock.json (it drives the system chromium,
# which scripts/test.sh installs, and downloads no browser of its own).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    echo "install.sh: installing nodejs and npm" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq nodejs npm
fi
if [ ! -d "$here/node_modules/puppeteer-core" ]; then
    echo "install.sh: npm ci in $here" >&2
    (cd "$here" && npm ci --no-audit --no-fund --ignore-scripts)
fi
