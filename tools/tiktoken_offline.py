"""tiktoken's encodings built offline from this repository's data/*.vocab files."""

import functools
import struct
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# Last: a package already on the path (a sanitizer or other-Python build) stays the one imported.
sys.path.append(str(REPO / "python"))

from pelnor._tiktoken import tiktoken_encoding  # noqa: E402

VOCAB_OF_ENCODING = {"cl100k_base": "cl100k.vocab", "o200k_base": "o200k.vocab", "o200k_harmony": "o200k.vocab"}


@functools.cache
def _ranks(vocab_file):
    raw = (REPO / "data" / vocab_file).read_bytes()
    (count,) = struct.unpack_from("<I", raw, 0)
    ranks, pos = {}, 4
    for _ in range(count):
        (length,) = struct.unpack_from("<H", raw, pos)
        token = raw[pos + 2 : pos + 2 + length]
        (rank,) = struct.unpack_from("<I", raw, pos + 2 + length)
        ranks[token] = rank
        pos += length + 6
    return ranks


@functools.cache
def encoding(name):
    """Returns tiktoken's Encoding of that name (cl100k_base, o200k_base, o200k_harmony)."""
    return tiktoken_encoding(name, _ranks(VOCAB_OF_ENCODING[name]))
