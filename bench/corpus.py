#!/usr/bin/env python3
"""Deterministic benchmark corpora: the same seed gives the same names and bytes.

    corpus.py generate KIND DIR   writes the corpus into DIR (which must not exist)
    corpus.py change KIND DIR     the deterministic 1 % change: every 100th small or
                                  medium file rewritten, 64 KiB patches over about 1 %
                                  of each large file; changed files get a later mtime
    corpus.py kinds               lists the kinds

Kinds: "mixed" (about 20,000 files / 600 MB: text-like small files, medium files that
are partly random, a few large part-random files), "small" (200,000 text-like files of
1-4 KiB), and "quick-mixed" / "quick-small", the same shapes a hundredth the size.
"""
import os
import random
import sys

KIB = 1024
MIB = 1024 * KIB

# Text-like bytes: slices of one pool of pseudo-words drawn with Zipf-like frequencies,
# so that zlib packs them about as it packs prose; the pool is large and every file takes
# its own slice, so whole files never repeat.
_POOL_SIZE = 16 * 1024 * 1024
_pool = b""


def _make_pool():
    rng = random.Random(SEED - 1)
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    letter_weights = [12, 9, 8, 7.5, 7, 6.7, 6.3, 6, 6, 4.2, 4, 2.8, 2.7, 2.4, 2.3, 2.2, 2,
                      2, 1.9, 1.5, 1, .8, .2, .15, .1, .07]
    vocab = []
    for _ in range(6000):
        word = "".join(rng.choices(letters, letter_weights, k=rng.randint(1, 11)))
        vocab.append(word)
    cum = []
    total = 0.0
    for rank in range(len(vocab)):
        total += 1.0 / (rank + 1)
        cum.append(total)
    words = rng.choices(vocab, cum_weights=cum, k=_POOL_SIZE // 5)
    for i in range(0, len(words), 11):
        words[i] = words[i] + rng.choice([",", ".", ".\n", "", ""])
    pool = " ".join(words).encode()
    return pool[:_POOL_SIZE]


# Shapes: (count, smallest, largest) per class; large files are (count, size).
KINDS = {
    "mixed": {"small": (18000, 1 * KIB, 16 * KIB), "medium": (1990, 16 * KIB, 192 * KIB),
              "large": (10, 24 * MIB), "per_folder": 100},
    "small": {"small": (200000, 1 * KIB, 4 * KIB), "medium": (0, 0, 0), "large": (0, 0),
              "per_folder": 500},
    "quick-mixed": {"small": (180, 1 * KIB, 16 * KIB), "medium": (20, 16 * KIB, 192 * KIB),
                    "large": (2, 3 * MIB), "per_folder": 50},
    "quick-small": {"small": (2000, 1 * KIB, 4 * KIB), "medium": (0, 0, 0), "large": (0, 0),
                    "per_folder": 500},
}
SEED = 20260101
CHANGE_SEED = 71770001
PATCH = 64 * KIB


def text(rng, n):
    global _pool
    if not _pool:
        _pool = _make_pool()
    out = bytearray()
    while len(out) < n:
        take = min(n - len(out), len(_pool) // 2)
        at = rng.randrange(0, len(_pool) - take + 1)
        out += _pool[at:at + take]
    return bytes(out)


def medium(rng, n):
    """Text with a random stretch of 0-50 % of the file (pictures, archives, ...)."""
    random_part = rng.randrange(0, n // 2 + 1)
    at = rng.randrange(0, n - random_part + 1)
    return text(rng, at) + rng.randbytes(random_part) + text(rng, n - at - random_part)


def large(rng, n):
    """256 KiB segments: half random, a third text, the rest a repeated record."""
    out = bytearray()
    segment = 256 * KIB
    record = b"%08d;sensor;0000.000;OK\n"
    while len(out) < n:
        take = min(segment, n - len(out))
        roll = rng.random()
        if roll < 0.5:
            out += rng.randbytes(take)
        elif roll < 0.83:
            out += text(rng, take)
        else:
            base = rng.randrange(10 ** 7)
            rows = b"".join(record % (base + i) for i in range(take // len(record) + 1))
            out += rows[:take]
    return bytes(out)


def layout(kind):
    """Every file of the corpus in a fixed order: (relative path, class, size)."""
    shape = KINDS[kind]
    rng = random.Random(SEED)
    per = shape["per_folder"]
    files = []
    count, low, high = shape["small"]
    for i in range(count):
        files.append((f"docs/d{i // per:04d}/note-{i:06d}.txt", "small", rng.randint(low, high)))
    count, low, high = shape["medium"]
    for i in range(count):
        files.append((f"media/m{i // per:03d}/item-{i:05d}.dat", "medium",
                      rng.randint(low, high)))
    count, size = shape["large"]
    for i in range(count):
        files.append((f"large/image-{i:02d}.bin", "large", size))
    return files


def write(root, relative, data, mtime=None):
    path = os.path.join(root, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))


def generate(kind, root):
    if os.path.exists(root):
        sys.exit(f"corpus: {root} exists")
    rng = random.Random(SEED + 1)
    makers = {"small": text, "medium": medium, "large": large}
    files = layout(kind)
    for relative, cls, size in files:
        write(root, relative, makers[cls](rng, size))
    total = sum(size for _, _, size in files)
    print(f"{len(files)} files, {total / 1e6:.1f} MB")


def change(kind, root):
    rng = random.Random(CHANGE_SEED)
    files = layout(kind)
    changed = 0
    changed_bytes = 0
    for index, (relative, cls, size) in enumerate(files):
        path = os.path.join(root, relative)
        # Later than any clock second the runs before could have seen.
        mtime = os.stat(path).st_mtime + 3601 + 60
        if cls == "large":
            patches = max(1, size // 100 // PATCH)
            with open(path, "r+b") as f:
                for _ in range(patches):
                    f.seek(rng.randrange(0, size - PATCH + 1))
                    f.write(rng.randbytes(PATCH))
            os.utime(path, (mtime, mtime))
            changed += 1
            changed_bytes += patches * PATCH
        elif index % 100 == 0:
            data = text(rng, size) if cls == "small" else medium(rng, size)
            write(root, relative, data, mtime)
            changed += 1
            changed_bytes += size
    print(f"changed {changed} files, {changed_bytes / 1e6:.1f} MB")


def main(argv):
    if len(argv) == 2 and argv[1] == "kinds":
        print("\n".join(KINDS))
        return 0
    if len(argv) != 4 or argv[1] not in ("generate", "change") or argv[2] not in KINDS:
        sys.stderr.write(__doc__)
        return 2
    (generate if argv[1] == "generate" else change)(argv[2], argv[3])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
