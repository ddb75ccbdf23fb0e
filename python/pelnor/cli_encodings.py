"""The encodings the command line takes: a built-in name, a Hugging Face tokenizer.json, or a
rank table in the .tiktoken format split by a pattern."""

import os

from . import BUILTIN_ENCODINGS, get_encoding, get_tokenizer
from .encoding import Encoding
from .load import load_tiktoken_bpe

# What Llama 3 and most tables published in the .tiktoken format are split by.
DEFAULT_TIKTOKEN_PATTERN = "cl100k_base"

ENCODING_HELP = (
    "the encoding: a built-in name (" + ", ".join(BUILTIN_ENCODINGS) + "), a Hugging Face "
    "tokenizer.json of a byte-level BPE model, or a .tiktoken rank table (see --pattern)"
)
PATTERN_HELP = (
    "the splitting pattern of a .tiktoken table: a built-in encoding's name (its pattern) or a "
    f"regular expression in tiktoken's dialect (default: {DEFAULT_TIKTOKEN_PATTERN}'s)"
)


class EncodingError(Exception):
    """An encoding the command line cannot use, with the reason."""


def tokenizer_of(encoding, pattern=None):
    """Returns the native tokenizer of a built-in name, a tokenizer.json or a .tiktoken file."""
    if encoding in BUILTIN_ENCODINGS:
        if pattern is not None:
            raise EncodingError("--pattern goes with a .tiktoken file only")
        return get_tokenizer(encoding)
    if not os.path.isfile(encoding):
        raise EncodingError(f"unknown encoding {encoding!r}: neither a built-in name "
                            f"({', '.join(BUILTIN_ENCODINGS)}) nor a file")
    try:
        if encoding.endswith(".tiktoken"):
            return _tiktoken_table(encoding, pattern or DEFAULT_TIKTOKEN_PATTERN)
        if pattern is not None:
            raise EncodingError("--pattern goes with a .tiktoken file only")
        from .hf import Tokenizer

        return Tokenizer.from_file(encoding).as_encoding().tokenizer
    except (OSError, ValueError) as error:
        raise EncodingError(f"{encoding}: {error}") from None


def _tiktoken_table(path, pattern):
    pat_str = get_encoding(pattern)._pat_str if pattern in BUILTIN_ENCODINGS else pattern
    name = os.path.splitext(os.path.basename(path))[0]
    return Encoding(name, pat_str=pat_str, mergeable_ranks=load_tiktoken_bpe(path),
                    special_tokens={}).tokenizer
