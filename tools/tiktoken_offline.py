"""tiktoken's encodings built offline from this repository's data/*.vocab files, and p50k's
from the published rank table beside the repository (pelnor does not carry it)."""

import functools
import struct
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# Last: a package already on the path (a sanitizer or other-Python build) stays the one imported.
sys.path.append(str(REPO / "python"))

from pelnor._tiktoken import tiktoken_encoding  # noqa: E402
from pelnor.load import load_tiktoken_bpe  # noqa: E402

VOCAB_OF_ENCODING = {
    "gpt2": "r50k.vocab",
    "r50k_base": "r50k.vocab",
    "cl100k_base": "cl100k.vocab",
    "o200k_base": "o200k.vocab",
    "o200k_harmony": "o200k.vocab",
}
P50K_RANKS = REPO.parent / "shared" / "data" / "published-ranks" / "p50k_base.tiktoken"


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
    """Returns tiktoken's Encoding of that name: any of tiktoken's seven."""
    if name in ("p50k_base", "p50k_edit"):
        return tiktoken_encoding(name, load_tiktoken_bpe(P50K_RANKS))
    return tiktoken_encoding(name, _ranks(VOCAB_OF_ENCODING[name]))
