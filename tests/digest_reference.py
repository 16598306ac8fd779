#!/usr/bin/env python3
"""Test files for the digest tests and their digests from Python's hashlib.

    digest_reference.py files FOLDER   files of awkward sizes, FOLDER/references.txt
    digest_reference.py large FOLDER   a sparse file just over 4 GiB, FOLDER/large.txt
    digest_reference.py clean FOLDER   removes what `large` wrote

Each line of a references file reads "NAME SIZE MD5 SHA256", digests in upper case.
The contents come from seeded generators, so every build writes the same bytes.
"""
import hashlib
import mmap
import os
import random
import sys
import threading

# Block and padding edges (55/56 decide whether the length fits in the last block),
# the 4096-byte read chunk, and a few sizes of no particular shape up to some MiB.
SIZES = [0, 1, 55, 56, 63, 64, 65, 127, 128, 4095, 4096, 4097, 8191, 65536 + 7]
RANDOM_SIZE_COUNT = 5
MAX_RANDOM_SIZE = 4 * 1024 * 1024

LARGE_SIZE = (4 << 30) + (1 << 20) + 37


def digests(path):
    md5, sha256 = hashlib.md5(), hashlib.sha256()
    if os.path.getsize(path) > 0:  # an empty file cannot be mapped
        # Mapped, the large file's holes are not copied out as zeros (7 s of system time
        # for read()), and each digest runs on its own core: hashlib lets go of the
        # interpreter lock while it hashes. 16 s became 7 s.
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as whole:
            view = memoryview(whole)

            def hash_all(digest):
                for at in range(0, len(view), 8 << 20):
                    digest.update(view[at : at + (8 << 20)])

            beside = threading.Thread(target=hash_all, args=(md5,))
            beside.start()
            hash_all(sha256)
            beside.join()
            view.release()
    return md5.hexdigest().upper(), sha256.hexdigest().upper()


def write_references(folder, manifest, names):
    lines = []
    for name in names:
        path = os.path.join(folder, name)
        md5, sha256 = digests(path)
        lines.append(f"{name} {os.path.getsize(path)} {md5} {sha256}\n")
    # Written last and atomically: its presence means the files are complete.
    temporary = os.path.join(folder, manifest + ".tmp")
    with open(temporary, "w", newline="\n") as f:
        f.writelines(lines)
    os.replace(temporary, os.path.join(folder, manifest))


def make_files(folder):
    os.makedirs(folder, exist_ok=True)
    pick = random.Random(20240611)
    sizes = SIZES + sorted(pick.randrange(4098, MAX_RANDOM_SIZE) for _ in range(RANDOM_SIZE_COUNT))
    names = []
    for size in sizes:
        name = f"size-{size}.bin"
        with open(os.path.join(folder, name), "wb") as f:
            f.write(random.Random(size).randbytes(size))
        names.append(name)
    write_references(folder, "references.txt", names)


def make_large(folder):
    os.makedirs(folder, exist_ok=True)
    fill = random.Random(4)
    path = os.path.join(folder, "large.bin")
    # Mostly holes; data at the start, across the 4 GiB mark (where a 32-bit byte count
    # wraps) and in the last, partial block.
    with open(path, "wb") as f:
        f.write(fill.randbytes(1 << 20))
        f.seek((4 << 30) - 3000)
        f.write(fill.randbytes(6000))
        f.seek(LARGE_SIZE - 100)
        f.write(fill.randbytes(100))
    write_references(folder, "large.txt", ["large.bin"])


def clean(folder):
    for name in ("large.bin", "large.txt"):
        try:
            os.remove(os.path.join(folder, name))
        except FileNotFoundError:
            pass


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("files", "large", "clean"):
        sys.exit(__doc__)
    {"files": make_files, "large": make_large, "clean": clean}[sys.argv[1]](sys.argv[2])


if __name__ == "__main__":
    main()
