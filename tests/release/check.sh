#!/bin/sh
# The Windows release archive as shipped: what is in it, and the same bytes
# from a second build of the same commit in another folder.
#
#   tests/release/check.sh ZIP   check ZIP, then build the release again and compare
#   tests/release/check.sh       build the release twice, check it and compare
#
# A missing tool is a failure, never a skip.
set -eu

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${ZELK_RELEASE_CHECK_DIR:-$ROOT/build-release-check}
cd "$ROOT"

for tool in cmake python3 sha256sum x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump x86_64-w64-mingw32-windres; do
    command -v "$tool" >/dev/null 2>&1 || { echo "release check: $tool is missing" >&2; exit 1; }
done

# Each build in a fresh folder of its own; their paths differ, so a build
# path that reaches the exe shows as a difference.
rm -rf "$WORK"
if [ $# -ge 1 ]; then
    first=$1
else
    first=$(scripts/release.sh "$WORK/first" "$WORK/first-dist")
fi

version=$(sed -n 's/^project(zelk_shim VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
[ "$(basename "$first")" = "zelk-shim-$version-windows-x86_64.zip" ] || {
    echo "release check: $first is not named for version $version" >&2; exit 1; }

/usr/bin/env python3 - "$first" "$version" "$ROOT" <<'PY'
import re, sys, zipfile
path, version, root = sys.argv[1:]
fail = []
z = zipfile.ZipFile(path)
names = [i.filename for i in z.infolist()]
if names != ["README.txt", "zelk-shim.exe", "zelk_shim.ini"]:
    fail.append(f"entries {names}")
for name in ("README.txt", "zelk_shim.ini"):
    text = z.read(name)
    if b"\n" in text.replace(b"\r\n", b""):
        fail.append(f"{name} has a line end that is not CRLF")
readme = z.read("README.txt").decode()
for must in ("zelk_shim.ini", "key", "http://127.0.0.1:8080", "listening on", "Ctrl+C", "log", "shell:startup",
             "At log on", "access_key", "persona"):
    if must not in readme:
        fail.append(f"README.txt does not mention {must}")
# Every setting there, each under a comment, in [shim]; nothing set that the
# user must choose (the key) or that changes what the shim does by default.
ini = z.read("zelk_shim.ini").decode().split("\r\n")
section, values = None, {}
for i, line in enumerate(ini):
    if line.startswith("["):
        section = line.strip()
    elif "=" in line and not line.startswith(";"):
        key, value = (part.strip() for part in line.split("=", 1))
        if section != "[shim]" or key in values or not ini[i - 1].startswith(";"):
            fail.append(f"zelk_shim.ini: {key} outside [shim], repeated, or without a comment")
        values[key] = value
expected = {"url", "key", "model", "origins", "proxy", "log", "local_dialect", "access_key", "connect_timeout",
            "idle_timeout", "persona", "retries", "fallback_url", "fallback_key", "fallback_model", "embed_model",
            "embed_url", "embed_key"}
if set(values) != expected:
    fail.append(f"zelk_shim.ini keys {sorted(values)}")
for key, value in (("key", ""), ("origins", ""), ("proxy", ""), ("log", ""), ("local_dialect", "relay"),
                   ("access_key", ""), ("connect_timeout", "10"), ("idle_timeout", "600"), ("persona", ""),
                   ("retries", "2"), ("fallback_url", ""), ("fallback_key", ""), ("fallback_model", ""),
                   ("embed_model", ""), ("embed_url", ""), ("embed_key", "")):
    if values.get(key) != value:
        fail.append(f"zelk_shim.ini: {key} = {values.get(key)!r}, shipped should be {value!r}")
exe = z.read("zelk-shim.exe")
if root.encode() in exe:
    fail.append("the exe holds the build's source path")
for text in ("ProductName", "zelk-shim", "FileDescription", "FileVersion", "ProductVersion", version + " (commit "):
    if text.encode("utf-16-le") not in exe:
        fail.append(f"the version resource lacks {text}")
if fail:
    sys.exit("release check: " + "; ".join(fail))
PY

exe_dir="$WORK/exe"
mkdir -p "$exe_dir"
python3 -m zipfile -e "$first" "$exe_dir"
dump=$(x86_64-w64-mingw32-objdump -x "$exe_dir/zelk-shim.exe")
for dll in $(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u); do
    case $dll in
        kernel32.dll | msvcrt.dll | ws2_32.dll | winhttp.dll) ;;
        *) echo "release check: zelk-shim.exe needs $dll, which Windows does not ship" >&2; exit 1 ;;
    esac
done
if echo "$dump" | grep -q -e '\.debug_' -e '^\[ *[0-9]*\](sec'; then
    echo "release check: zelk-shim.exe is not stripped" >&2; exit 1
fi

second=$(scripts/release.sh "$WORK/second-build" "$WORK/second-dist")
if ! cmp -s "$first" "$second"; then
    echo "release check: two builds of the same commit differ:" >&2
    sha256sum "$first" "$second" >&2
    exit 1
fi
echo "release check: $(basename "$first") ok, the same bytes from two builds: $(sha256sum "$first" | cut -d' ' -f1)"
