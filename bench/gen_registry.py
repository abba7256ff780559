#!/usr/bin/env python3
"""Writes a device image whose registry.reg is large, to measure what the
emulated registry costs in memory.

  gen_registry.py SHAPE DIR [--bytes B]

SHAPE:
  values   ordinary keys with several values each (text, dword, binary, a
           path), UTF-16LE with its mark as regedit writes it; 30 MB
  keys     keys with one short name each and no values, one line a key,
           UTF-8: the most keys a file of its size can hold; 24 MB
  empty    an empty registry, the baseline of the same run

DIR gets fs/Windows/wceload.exe and registry.reg; nothing is staged, so that
`brandsim --device DIR --answer yes --quiet inst` loads the registry, ends at
once and writes it back. Peak memory of such a run, minus that of the empty
image:

  /usr/bin/time -v brandsim --device DIR --answer yes --quiet inst

(a run writes the registry back: make the image afresh for each run).
Only the Python standard library is used.
"""

import argparse
import os
import sys

HEADER = "Windows Registry Editor Version 5.00\r\n\r\n"


def values_shape(limit):
    """Yields the text of keys with five values each until `limit` bytes of
    UTF-16 are reached."""
    size = 2 + 2 * len(HEADER)
    i = 0
    while size < limit:
        text = (
            "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Application\\Group%03d\\Item%06d]\r\n"
            '"Name"="Item number %d of the generated registry"\r\n'
            '"Count"=dword:%08x\r\n'
            '"Flags"=hex:01,02,03,04,05,06,07,08\r\n'
            '"Path"="\\\\Program Files\\\\Application\\\\item%d.dll"\r\n'
            '"Enabled"=dword:00000001\r\n'
            "\r\n" % (i // 1000, i, i, i, i)
        )
        size += 2 * len(text)
        i += 1
        yield text


def keys_shape(limit):
    size = len(HEADER)
    i = 0
    while size < limit:
        text = "[HKEY_CURRENT_USER\\k%06d]\r\n" % i
        size += len(text)
        i += 1
        yield text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("shape", choices=["values", "keys", "empty"])
    parser.add_argument("dir")
    parser.add_argument("--bytes", type=int, help="the file's size (default: 30 MB or 24 MB)")
    args = parser.parse_args()

    os.makedirs(os.path.join(args.dir, "fs", "Windows"), exist_ok=True)
    with open(os.path.join(args.dir, "fs", "Windows", "wceload.exe"), "wb") as f:
        f.write(b"placeholder")
    path = os.path.join(args.dir, "registry.reg")
    if args.shape == "values":
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + HEADER.encode("utf-16-le"))
            for text in values_shape(args.bytes or 30_000_000):
                f.write(text.encode("utf-16-le"))
    elif args.shape == "keys":
        with open(path, "wb") as f:
            f.write(HEADER.encode("utf-8"))
            for text in keys_shape(args.bytes or 24_000_000):
                f.write(text.encode("utf-8"))
    else:
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + HEADER.encode("utf-16-le"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
