#!/usr/bin/env python3
"""Writes NEW from OLD with scattered changes, as a patch of a large packed
archive makes them: blocks rewritten in place, bytes inserted and cut (so the
rest moves). Streams, so any size takes a few MB of memory.

usage: make_large_pair.py OLD NEW EDITS SEED

The same arguments always give the same bytes.
"""
import os
import random
import sys

CHUNK = 16 << 20


def main():
    old, new, edits, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    size = os.path.getsize(old)
    plan = sorted((rng.randrange(size), rng.random(), rng.randint(1024, 65536))
                  for _ in range(edits))
    with open(old, "rb") as src, open(new, "wb") as dst:
        at = 0
        for where, kind, n in plan:
            if where < at:
                continue
            while at < where:  # the bytes up to the edit, as they are
                k = min(CHUNK, where - at)
                dst.write(src.read(k))
                at += k
            if kind < 0.6:  # a block rewritten in place
                k = min(n, size - at)
                dst.write(rng.randbytes(k))
                src.seek(k, 1)
                at += k
            elif kind < 0.85:  # bytes inserted: the rest moves
                dst.write(rng.randbytes(n))
            else:  # bytes cut
                k = min(n, size - at)
                src.seek(k, 1)
                at += k
        while at < size:
            k = min(CHUNK, size - at)
            dst.write(src.read(k))
            at += k


if __name__ == "__main__":
    main()
