#!/usr/bin/env python3
"""Writes the stand-in installer's payload: MIB mebibytes of pseudo-random bytes, the
SHAKE-256 stream of a seed text, so that every build makes the same file and no
compression can shrink it.

usage: make_payload.py OUTPUT MIB SEED
"""
import hashlib
import os
import sys


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    output, mib, seed = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    data = hashlib.shake_256(("CorvaneApp payload " + seed).encode()).digest(mib << 20)
    partial = output + ".part"
    with open(partial, "wb") as out:
        out.write(data)
    os.replace(partial, output)


if __name__ == "__main__":
    main()
