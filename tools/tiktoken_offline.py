"""tiktoken's encodings built offline from this repository's data/*.vocab files.

tiktoken's encoding constructors fetch the published rank tables by URL; here the loader they
call is replaced by one that reads the same ranks from data/, so no network is needed.
"""

import functools
import struct
from pathlib import Path

import tiktoken
from tiktoken_ext import openai_public

DATA = Path(__file__).resolve().parent.parent / "data"
VOCAB_OF_RANK_FILE = {"cl100k_base.tiktoken": "cl100k.vocab", "o200k_base.tiktoken": "o200k.vocab"}


@functools.cache
def _ranks(vocab_file):
    raw = (DATA / vocab_file).read_bytes()
    (count,) = struct.unpack_from("<I", raw, 0)
    ranks, pos = {}, 4
    for _ in range(count):
        (length,) = struct.unpack_from("<H", raw, pos)
        token = raw[pos + 2 : pos + 2 + length]
        (rank,) = struct.unpack_from("<I", raw, pos + 2 + length)
        ranks[token] = rank
        pos += length + 6
    return ranks


def _load_from_data(url, expected_hash=None):
    return dict(_ranks(VOCAB_OF_RANK_FILE[url.rsplit("/", 1)[-1]]))


@functools.cache
def encoding(name):
    """Returns tiktoken's Encoding of that name (cl100k_base, o200k_base, o200k_harmony)."""
    original = openai_public.load_tiktoken_bpe
    openai_public.load_tiktoken_bpe = _load_from_data
    try:
        return tiktoken.Encoding(**getattr(openai_public, name)())
    finally:
        openai_public.load_tiktoken_bpe = original
