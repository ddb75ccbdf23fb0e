"""tiktoken's encodings built offline from this repository's data/*.vocab files."""

import functools
import struct
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# Last: a package already on the path (a sanitizer or other-Python build) stays the one imported.
sys.path.append(str(REPO / "python"))

from pelnor._tiktoken import tiktoken_encoding  # noqa: E402

VOCAB_OF_ENCODING = {
    "gpt2": "r50k.vocab",
    "r50k_base": "r50k.vocab",
    "cl100k_base": "cl100k.vocab",
    "o200k_base": "o200k.vocab",
    "o200k_harmony": "o200k.vocab",
    "p50k_base": "p50k.vocab",
    "p50k_edit": "p50k.vocab",
}
# p50k's published table has no token of rank 50256 (the id of <|endoftext|>); pelnor's file
# holds a placeholder there, which tiktoken's table must not have.
GAPS = {"p50k.vocab": {50256}}


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
    return {token: rank for token, rank in ranks.items() if rank not in GAPS.get(vocab_file, ())}


@functools.cache
def encoding(name):
    """Returns tiktoken's Encoding of that name: any of tiktoken's seven."""
    return tiktoken_encoding(name, _ranks(VOCAB_OF_ENCODING[name]))
