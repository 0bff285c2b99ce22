"""The benchmark's packages: what they contain, how their bytes are made, and the
Metalink documents that let aria2c check the same pieces talvane-get checks.

Content is generated from a seed so that a second run of the harness, or a run on
another machine, transfers the same bytes; nothing here depends on the engine.
"""

import json
import math
import os
import random
import zlib
from xml.sax.saxutils import escape, quoteattr

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB

# Big blocks keep the generator near the speed of the disk; 16 MiB stays well
# inside what random.randbytes accepts in one call.
_WRITE_BLOCK = 16 * MIB


class Dataset:
    """One set of files to transfer. `files` is a list of (relative path, size)."""

    def __init__(self, name, files, seed):
        self.name = name
        self.files = list(files)
        self.seed = seed

    @property
    def total_bytes(self):
        return sum(size for _, size in self.files)

    def describe(self):
        return {"name": self.name, "seed": self.seed, "files": [[p, s] for p, s in self.files]}


def spread_sizes(count, low, high, seed):
    """Sizes spread evenly on a logarithmic scale between low and high (both
    included), so small and large files are equally represented per octave.
    Deliberately not multiples of any chunk size: last chunks are partial."""
    rng = random.Random(seed)
    log_low, log_high = math.log(low), math.log(high)
    sizes = []
    for _ in range(count):
        size = int(round(math.exp(rng.uniform(log_low, log_high))))
        sizes.append(min(high, max(low, size)))
    return sizes


def many_files_dataset(count, low, high, seed, folders=20):
    sizes = spread_sizes(count, low, high, seed)
    files = [("d%02d/f%04d.bin" % (i % folders, i), size) for i, size in enumerate(sizes)]
    files.sort()
    return Dataset("many", files, seed)


def single_file_dataset(size, seed):
    return Dataset("big", [("big.bin", size)], seed)


def standard_datasets(quick, seed):
    """The two datasets of a run: one large file, and many files of spread sizes."""
    if quick:
        return [single_file_dataset(64 * MIB, seed), many_files_dataset(200, 64 * KIB, 4 * MIB, seed + 1)]
    return [single_file_dataset(1 * GIB, seed), many_files_dataset(2000, 64 * KIB, 4 * MIB, seed + 1)]


def write_dataset(dataset, folder):
    """Writes the dataset's files under folder. Each file has its own generator,
    seeded from the dataset seed and its path, so its bytes do not depend on the
    other files."""
    for index, (relative, size) in enumerate(dataset.files):
        rng = random.Random("%d:%s" % (dataset.seed, relative))
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            left = size
            while left > 0:
                block = min(left, _WRITE_BLOCK)
                out.write(rng.randbytes(block))
                left -= block


def piece_checksums(path, piece_length):
    """Adler-32 of every piece of a file, as aria2c expects them in a Metalink:
    eight lower-case hex digits of the big-endian value."""
    sums = []
    with open(path, "rb") as source:
        while True:
            piece = source.read(piece_length)
            if not piece:
                break
            sums.append("%08x" % (zlib.adler32(piece) & 0xFFFFFFFF))
    return sums


def load_or_compute_pieces(cache_path, folder, files, piece_length):
    """Piece checksums of every file, kept in cache_path next to the content so
    that a later run only renders new URLs instead of reading gigabytes again."""
    if os.path.exists(cache_path):
        with open(cache_path) as cached:
            data = json.load(cached)
        if data.get("pieceLength") == piece_length and [f[0] for f in data.get("files", [])] == [
            f[0] for f in files
        ]:
            return {name: sums for name, sums in data["files"]}
    computed = [[relative, piece_checksums(os.path.join(folder, relative), piece_length)] for relative, _ in files]
    with open(cache_path + ".tmp", "w") as out:
        json.dump({"pieceLength": piece_length, "files": computed}, out)
    os.replace(cache_path + ".tmp", cache_path)
    return {name: sums for name, sums in computed}


def metalink_xml(files, pieces, piece_length, url_bases):
    """A Metalink 4 document (RFC 5854) for files [(relative path, size)], each
    with every mirror of url_bases ("http://host:port/path/") as an equal source.

    `pieces` maps each path to its piece checksums; a file whose number of
    checksums does not match its size is refused, since aria2c would then reject
    correct data or, worse, accept data it could not check."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', '<metalink xmlns="urn:ietf:params:xml:ns:metalink">']
    for relative, size in files:
        sums = pieces[relative]
        expected = (size + piece_length - 1) // piece_length
        if len(sums) != expected:
            raise ValueError("%s: %d piece checksums for %d pieces" % (relative, len(sums), expected))
        lines.append("  <file name=%s>" % quoteattr(relative))
        lines.append("    <size>%d</size>" % size)
        lines.append('    <pieces length="%d" type="adler32">' % piece_length)
        lines.extend("      <hash>%s</hash>" % s for s in sums)
        lines.append("    </pieces>")
        for base in url_bases:
            lines.append('    <url priority="1">%s</url>' % escape(base + relative))
        lines.append("  </file>")
    lines.append("</metalink>")
    return "\n".join(lines) + "\n"
