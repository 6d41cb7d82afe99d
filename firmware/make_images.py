#!/usr/bin/env python3
"""Writes the sample firmware images the tool carries when no real ones are
given: the same bytes on every run, so builds are reproducible.

    make_images.py OUTDIR
        writes OUTDIR/SMARTHOPPER and OUTDIR/SMARTPAYOUT
    make_images.py --one PATH --device 0|1 --fw TEXT --ds TEXT [--size N] [--format N]
        writes one image with other versions, e.g. for tests; a format
        other than 1 gives an image that begins like the maker's but whose
        header the simulator cannot read

Header: b"ITL", format 1, device (0 coin recycler, 1 banknote module),
u16 LE length + UTF-8 firmware version, u16 LE length + UTF-8 dataset
version; then opaque filler up to the file size.
"""

import argparse
import hashlib
import os
import struct
import sys

SAMPLES = {
    # name: (device, firmware, dataset, size in bytes)
    "SMARTHOPPER": (0, "SH0300.20", "SHDS0101", 202_768),
    "SMARTPAYOUT": (1, "NV0300.30", "NVDS0201", 947_952),
}


def header(device, fw, ds, fmt=1):
    out = b"ITL" + bytes([fmt, device])
    for text in (fw, ds):
        data = text.encode("utf-8")
        if len(data) > 0xFFFF:
            raise ValueError("version text longer than 65535 bytes")
        out += struct.pack("<H", len(data)) + data
    return out


def filler(seed, length):
    """Deterministic bytes that look like a binary image."""
    chunks = []
    counter = 0
    have = 0
    while have < length:
        block = hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        chunks.append(block)
        have += len(block)
        counter += 1
    return b"".join(chunks)[:length]


def image(name, device, fw, ds, size, fmt=1):
    head = header(device, fw, ds, fmt)
    if size < len(head):
        raise ValueError(f"{name}: size {size} is smaller than its header ({len(head)} bytes)")
    return head + filler(name, size - len(head))


def write(path, data):
    tmp = f"{path}.tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("outdir", nargs="?")
    p.add_argument("--one")
    p.add_argument("--device", type=int, choices=(0, 1))
    p.add_argument("--fw")
    p.add_argument("--ds")
    p.add_argument("--size", type=int, default=4096)
    p.add_argument("--format", type=int, default=1, choices=range(256), metavar="0..255")
    a = p.parse_args(argv)
    if a.one:
        if a.device is None or a.fw is None or a.ds is None:
            p.error("--one needs --device, --fw and --ds")
        write(a.one, image(os.path.basename(a.one), a.device, a.fw, a.ds, a.size, a.format))
        return 0
    if not a.outdir:
        p.error("give OUTDIR or --one")
    os.makedirs(a.outdir, exist_ok=True)
    for name, (device, fw, ds, size) in SAMPLES.items():
        write(os.path.join(a.outdir, name), image(name, device, fw, ds, size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
