"""Plain readers of the built-in data file formats, for tests."""

import functools
import struct
from pathlib import Path

from pelnor import vocab_format

REPO = Path(__file__).resolve().parents[2]
DATA = REPO / "data"
SHARED_DATA = REPO.parent / "shared" / "data"


def read_vocab(path):
    """Returns the token byte strings of a vocab file, indexed by rank."""
    pairs = vocab_format.read_vocab(Path(path).read_bytes())
    tokens = [None] * len(pairs)
    for token, rank in pairs:
        assert tokens[rank] is None
        tokens[rank] = token
    return tokens


def read_special(path):
    """Returns the (text, id) entries of a special-tokens file, in file order."""
    return vocab_format.read_special(Path(path).read_bytes())


def read_uniclass(path, classes):
    """Returns, per class, the list of inclusive (start, end) ranges."""
    raw = Path(path).read_bytes()
    sections, pos = [], 0
    for _ in range(classes):
        (count,) = struct.unpack_from("<I", raw, pos)
        pos += 4
        sections.append([struct.unpack_from("<II", raw, pos + 8 * i) for i in range(count)])
        pos += 8 * count
    return sections


@functools.cache
def newest_code_points():
    """Code points assigned in the class tables' Unicode version and unknown to the version
    before it, which tiktoken's regular-expression engine uses; random draws leave them out."""
    points = set()
    for line in (REPO / "tests" / "data" / "unicode_newest.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            lo, hi = (int(x, 16) for x in line.split())
            points.update(range(lo, hi + 1))
    return frozenset(points)
