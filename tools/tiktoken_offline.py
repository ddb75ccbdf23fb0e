"""tiktoken's encodings built offline from this repository's data/*.vocab files.

tiktoken's encoding constructors fetch the published rank tables by URL; the loaders they call
are replaced here by ones that return the ranks given, so tiktoken runs offline with its own
patterns and special tokens.
"""

import functools
import importlib.util
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def _vocab_reader():
    # The package's own reader, loaded on its own: the package found on the path may be an
    # installed copy or another interpreter's build.
    found = importlib.util.spec_from_file_location(
        "pelnor_vocab_format", REPO / "python/pelnor/vocab_format.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module.read_vocab


read_vocab = _vocab_reader()

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


def tiktoken_encoding(name, ranks):
    """Returns tiktoken's Encoding `name` built on ranks ({token bytes: rank})."""
    import tiktoken
    from tiktoken_ext import openai_public

    loaders = ("load_tiktoken_bpe", "data_gym_to_mergeable_bpe_ranks")
    originals = {loader: getattr(openai_public, loader) for loader in loaders}
    for loader in loaders:
        setattr(openai_public, loader, lambda *args, **kwargs: dict(ranks))
    try:
        return tiktoken.Encoding(**getattr(openai_public, name)())
    finally:
        for loader, original in originals.items():
            setattr(openai_public, loader, original)


@functools.cache
def _ranks(vocab_file):
    ranks = read_vocab((REPO / "data" / vocab_file).read_bytes())
    return {token: rank for token, rank in ranks if rank not in GAPS.get(vocab_file, ())}


@functools.cache
def encoding(name):
    """Returns tiktoken's Encoding of that name: any of tiktoken's seven."""
    return tiktoken_encoding(name, _ranks(VOCAB_OF_ENCODING[name]))
