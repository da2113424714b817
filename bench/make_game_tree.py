#!/usr/bin/env python3
"""Writes OLD and NEW data trees of a game-like install for update_bench.sh.

usage: make_game_tree.py OUT_DIR TOTAL_MB FILES

The same arguments always give the same bytes. Of FILES data files most
change in scattered places (blocks overwritten, bytes inserted and cut, so
later content moves), a few are new, a few removed, a few the same. Most
content is random, as packed assets are; a few files compress well.
"""
import os
import random
import sys


def content(rng, size, packed):
    if packed:
        return rng.randbytes(size)
    # Tables and text-like data: few distinct bytes, repeated runs.
    words = [rng.randbytes(rng.randint(3, 12)) for _ in range(400)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words)
    return bytes(out[:size])


def scatter(rng, data, packed):
    data = bytearray(data)
    for _ in range(rng.randint(4, 12)):
        kind = rng.random()
        at = rng.randrange(len(data))
        n = rng.randint(512, 65536)
        if kind < 0.6:  # a block rewritten in place
            data[at:at + n] = content(rng, min(n, len(data) - at), packed)
        elif kind < 0.85:  # bytes inserted: the rest moves
            data[at:at] = content(rng, n, packed)
        else:  # bytes cut
            del data[at:at + n]
    data += content(rng, rng.randint(0, 131072), packed)
    return bytes(data)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    out, total_mb, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(16)
    folders = ["Data", "Data/Levels", "Data/Sound", "Data/Textures", "Bin"]
    weights = [rng.uniform(0.2, 1.0) ** 3 for _ in range(files)]
    scale = total_mb * 1024 * 1024 / sum(weights)
    for i, w in enumerate(weights):
        size = max(4096, int(w * scale))
        packed = i % 7 != 3
        name = "%s/part%02d.%s" % (folders[i % len(folders)], i, "pak" if packed else "tbl")
        old = content(rng, size, packed)
        role = i % 15
        if role == 13:  # new in this version
            write(os.path.join(out, "new", name), old)
            continue
        write(os.path.join(out, "old", name), old)
        if role == 14:  # removed
            continue
        write(os.path.join(out, "new", name), old if role == 12 else scatter(rng, old, packed))


if __name__ == "__main__":
    main()
