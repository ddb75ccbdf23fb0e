"""pelnor: an exact, fast byte-pair-encoding tokenizer with tiktoken's ids.

`pelnor.get_encoding(name)` and `pelnor.Encoding` behave as tiktoken's do; the native
`Tokenizer` underneath has pelnor's own calls and results.
"""

import threading

from ._pelnor import BUILTIN_ENCODINGS, Tokenizer, __version__
from .bpe_file import load_tiktoken_bpe
from .encoding import Encoding, StreamDecoder
from .models import encoding_name_for_model
from .patterns import CL100K_PATTERN, O200K_PATTERN

__all__ = [
    "BUILTIN_ENCODINGS",
    "Encoding",
    "StreamDecoder",
    "Tokenizer",
    "__version__",
    "encoding_for_model",
    "encoding_name_for_model",
    "get_encoding",
    "get_tokenizer",
    "list_encoding_names",
    "list_encodings",
    "load_tiktoken_bpe",
]

_PATTERNS = {"cl100k_base": CL100K_PATTERN, "o200k_base": O200K_PATTERN,
             "o200k_harmony": O200K_PATTERN}
_O200K_SPECIALS = ("<|endoftext|>", "<|endofprompt|>")
_tokenizers: dict[str, Tokenizer] = {}
_encodings: dict[str, Encoding] = {}
_lock = threading.Lock()


def get_tokenizer(name: str) -> Tokenizer:
    """Returns the process-wide native tokenizer of a built-in encoding, built on first use."""
    tokenizer = _tokenizers.get(name)
    if tokenizer is None:
        with _lock:
            tokenizer = _tokenizers.get(name)
            if tokenizer is None:
                tokenizer = _tokenizers[name] = Tokenizer(name)
    return tokenizer


def get_encoding(encoding_name: str) -> Encoding:
    """Returns the process-wide Encoding of a built-in encoding; an unknown name raises
    ValueError."""
    encoding = _encodings.get(encoding_name)
    if encoding is None:
        if encoding_name not in _PATTERNS:
            raise ValueError(
                f"Unknown encoding {encoding_name}. pelnor has: {', '.join(BUILTIN_ENCODINGS)}"
            )
        tokenizer = get_tokenizer(encoding_name)
        with _lock:
            encoding = _encodings.get(encoding_name)
            if encoding is None:
                # tiktoken lists harmony's specials after those of o200k_base, which it extends.
                leading = _O200K_SPECIALS if encoding_name == "o200k_harmony" else ()
                encoding = Encoding._wrap(tokenizer, _PATTERNS[encoding_name], None, leading)
                _encodings[encoding_name] = encoding
    return encoding


def _builtin_encoding_or_none(name):
    return _encodings.get(name)


def encoding_for_model(model_name: str) -> Encoding:
    """Returns the Encoding a model uses: KeyError for an unknown model, ValueError for one
    whose encoding pelnor does not carry."""
    return get_encoding(encoding_name_for_model(model_name))


def list_encoding_names() -> list[str]:
    """Returns the names of the built-in encodings."""
    return list(BUILTIN_ENCODINGS)


list_encodings = list_encoding_names
