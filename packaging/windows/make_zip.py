#!/usr/bin/env python3
"""Writes the Windows release archive and its SHA256SUMS, the same bytes
every time for the same inputs: entries sorted by name, each with the one
given time and no file attributes or extra fields; text files get Windows
line ends.

    make_zip.py OUT.zip EPOCH NAME=PATH...
"""
import hashlib
import os
import sys
import time
import zipfile

TEXT_SUFFIXES = (".txt", ".ini")


def entry_bytes(name, path):
    data = open(path, "rb").read()
    if name.endswith(TEXT_SUFFIXES):
        data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data


def main(out, epoch, *entries):
    # A zip entry holds local time from 1980 on; UTC keeps it independent of the machine.
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]
    files = sorted(e.split("=", 1) for e in entries)
    tmp = out + ".tmp"
    with zipfile.ZipFile(tmp, "w") as z:
        for name, path in files:
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 0  # plain entries: no Unix owner or mode
            info.external_attr = 0
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, entry_bytes(name, path), compresslevel=9)
    os.replace(tmp, out)
    digest = hashlib.sha256(open(out, "rb").read()).hexdigest()
    with open(os.path.join(os.path.dirname(out), "SHA256SUMS"), "w") as f:
        f.write(f"{digest}  {os.path.basename(out)}\n")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
