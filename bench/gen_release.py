#!/usr/bin/python3
"""Writes a release directory for the benchmark: COUNT files that add up to
about TOTAL bytes, one of them LARGEST bytes, the rest spread log-uniformly
down to MIN bytes. Even-numbered files are text (compresses to about a third),
odd-numbered ones random bytes (does not compress). Every file name is unique
on its own, since the updater keeps downloaded packs side by side under their
file names. The same seed gives the same release.

Prints one line: "files=N bytes=N largest=N".
"""
import argparse
import math
import os
import random
import sys

WORDS_PER_POOL = 700_000  # about 4 MiB of text to cut files from
WRITE_CHUNK = 4 << 20
FILES_PER_DIR = 50


def plan_sizes(rng, count, total, largest, smallest):
    """File sizes: the first is LARGEST, the others log-uniform weights scaled
    (by bisection) so that, clipped to [smallest, largest], they fill the rest."""
    largest = min(largest, total)
    if count == 1:
        return [total]
    rest = max(total - largest, 0)
    weights = [math.exp(rng.uniform(0, math.log(1000))) for _ in range(count - 1)]

    def filled(scale):
        return [min(largest, max(smallest, int(w * scale))) for w in weights]

    low, high = 0.0, float(max(rest, 1))
    for _ in range(100):
        middle = (low + high) / 2
        if sum(filled(middle)) > rest:
            high = middle
        else:
            low = middle
    sizes = filled(low)
    sizes[-1] = min(largest, max(smallest, sizes[-1] + rest - sum(sizes)))
    return [largest] + sizes


def text_pool(rng):
    syllables = ["qu", "il", "lon", "ta", "wor", "ks", "up", "da", "ter", "bo", "t", "ser",
                 "ve", "con", "fig", "pl", "ug", "in", "ma", "nu", "al"]
    vocabulary = ["".join(rng.choice(syllables) for _ in range(rng.randint(1, 4)))
                  for _ in range(3000)]
    words = rng.choices(vocabulary, k=WORDS_PER_POOL)
    lines = [" ".join(words[i:i + 12]) for i in range(0, len(words), 12)]
    return ("\n".join(lines) + "\n").encode()


def write_file(path, size, is_text, pool, rng):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, WRITE_CHUNK)
            if is_text:
                chunk = bytearray()
                while len(chunk) < piece:  # 64 KiB cuts from random places
                    start = rng.randrange(0, len(pool) - 65536)
                    chunk += pool[start:start + 65536]
                out.write(chunk[:piece])
            else:
                out.write(rng.randbytes(piece))
            left -= piece


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("dir")
    parser.add_argument("--total", type=int, required=True, help="bytes in all")
    parser.add_argument("--count", type=int, required=True, help="number of files")
    parser.add_argument("--largest", type=int, required=True, help="bytes of the largest file")
    parser.add_argument("--smallest", type=int, default=512)
    parser.add_argument("--prefix", default="f", help="first letter of the file names")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.count < 1 or args.total < args.count or args.largest < 1:
        sys.exit("gen_release: need at least one file and one byte per file")
    rng = random.Random(args.seed)
    sizes = plan_sizes(rng, args.count, args.total, args.largest, min(args.smallest, args.largest))
    pool = text_pool(rng)
    for index, size in enumerate(sizes):
        is_text = index % 2 == 0
        folder = os.path.join(args.dir, "d%03d" % (index // FILES_PER_DIR))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "%s%06d.%s" % (args.prefix, index, "txt" if is_text else "bin"))
        write_file(path, size, is_text, pool, rng)
        os.chmod(path, 0o755 if index % 10 == 1 else 0o644)
    print("files=%d bytes=%d largest=%d" % (len(sizes), sum(sizes), max(sizes)))


if __name__ == "__main__":
    main()
