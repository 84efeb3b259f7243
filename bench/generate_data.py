"""Deterministic data sets for the benchmarks in this folder.

    generate_data.py small ROOT COUNT   COUNT files of 0-8 KiB, half text, half
                                        random, 100 a folder in two folder levels
    generate_data.py text ROOT BYTES    BYTES of text in 4 files
    generate_data.py flat ROOT COUNT    COUNT files of 0-64 bytes, half text,
                                        half random, all in ROOT itself

Text is seeded pseudo-random words with a skewed (Zipf-like) frequency, as in
prose. Every kind has its own fixed seed, so the bytes are the same on every
run and every machine.
"""
import os, random, sys

def vocabulary(rnd, count):
    onsets = ["", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v",
              "w", "br", "ch", "st", "th", "tr", "pl", "gr", "sh"]
    vowels = ["a", "e", "i", "o", "u", "ae", "ou", "ei", "y"]
    codas = ["", "", "n", "r", "s", "t", "l", "m", "nd", "st", "ck", "ng"]
    words = set()
    while len(words) < count:
        syllables = rnd.choice((1, 1, 2, 2, 2, 3, 3, 4))
        words.add("".join(rnd.choice(onsets) + rnd.choice(vowels) + rnd.choice(codas)
                          for _ in range(syllables)))
    words = sorted(words)
    rnd.shuffle(words)
    cumulative, total = [], 0.0
    for rank in range(count):
        total += 1.0 / (rank + 1)
        cumulative.append(total)
    return words, cumulative

class Text:
    def __init__(self, rnd):
        self.rnd = rnd
        self.words, self.cumulative = vocabulary(rnd, 8192)

    def chunk(self, approx):
        rnd = self.rnd
        words = rnd.choices(self.words, cum_weights=self.cumulative, k=max(1, approx // 6))
        lines, i = [], 0
        while i < len(words):
            k = rnd.randint(4, 16)
            line = " ".join(words[i:i + k])
            lines.append(line[:1].upper() + line[1:] + ".")
            i += k
        return ("\n".join(lines) + "\n").encode()

def write_mixed(rnd, text, folder, stem, size):
    """Writes a file of `size` bytes, text (stem.txt) or random (stem.bin) by a coin toss."""
    if rnd.random() < 0.5:
        data, name = text.chunk(size + 64)[:size], stem + ".txt"
    else:
        data, name = rnd.randbytes(size), stem + ".bin"
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)

def main():
    kind, root, amount = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rnd = random.Random({"small": 0x4B6F7201, "text": 0x4B6F7203, "flat": 0x4B6F7204}[kind])
    text = Text(rnd)
    if kind == "flat":
        # One folder holding every file: what a folder with a huge listing costs.
        os.makedirs(root, exist_ok=True)
        for i in range(amount):
            write_mixed(rnd, text, root, "f%06d" % i, rnd.randint(0, 64))
    elif kind == "small":
        # 100 files per folder, 10 folders per group: d00/s0/f00000.txt ...
        for i in range(amount):
            folder = os.path.join(root, "d%02d" % (i // 1000), "s%d" % (i // 100 % 10))
            if i % 100 == 0:
                os.makedirs(folder, exist_ok=True)
            write_mixed(rnd, text, folder, "f%05d" % i, rnd.randint(0, 8192))
    else:
        os.makedirs(root, exist_ok=True)
        files = 4
        for i in range(files):
            left = amount // files + (1 if i < amount % files else 0)
            with open(os.path.join(root, "text%d.txt" % i), "wb") as f:
                while left > 0:
                    piece = text.chunk(min(left, 1 << 20) + 64)[:left]
                    f.write(piece)
                    left -= len(piece)

main()
