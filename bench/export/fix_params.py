#!/usr/bin/env python3
"""Puts real H.265 parameter sets into an elementary stream of made-up frames.

The simulator's synthetic media keeps start codes and NAL headers but fills
every NAL unit with made-up bytes, so a reader that parses the sequence
parameter set (as ffmpeg does to learn the picture size) gives up. This
replaces each VPS, SPS and PPS unit of STREAM with the one of the same type
from REFERENCE (a real encoding at the same picture size) and leaves every
other byte as it is.

usage: fix_params.py REFERENCE STREAM OUT
"""
import mmap
import re
import sys

START = re.compile(b"\x00\x00\x01")
PARAMETER_SETS = (32, 33, 34)


def units(buf):
    """(offset of the start code, NAL type) of every unit, in order."""
    for m in START.finditer(buf):
        pos = m.start()
        if pos + 3 < len(buf):
            yield pos, (buf[pos + 3] >> 1) & 0x3F


def main():
    reference, stream, out = sys.argv[1:4]
    with open(reference, "rb") as f:
        ref = f.read()
    found = list(units(ref))
    sets = {}
    for i, (pos, kind) in enumerate(found):
        end = found[i + 1][0] if i + 1 < len(found) else len(ref)
        if kind in PARAMETER_SETS and kind not in sets:
            sets[kind] = ref[pos:end].rstrip(b"\x00")
    if sorted(sets) != list(PARAMETER_SETS):
        sys.exit("fix_params: the reference lacks a parameter set")

    with open(stream, "rb") as f, open(out, "wb") as w:
        buf = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        done = 0      # bytes of buf written or skipped so far
        pending = None  # parameter set whose unit is being replaced
        for pos, kind in units(buf):
            if pending is not None:
                w.write(sets[pending])
                done = pos
                pending = None
            if kind in PARAMETER_SETS:
                w.write(buf[done:pos])
                done = pos
                pending = kind
        if pending is not None:
            w.write(sets[pending])
        else:
            w.write(buf[done:])
        buf.close()


if __name__ == "__main__":
    main()
