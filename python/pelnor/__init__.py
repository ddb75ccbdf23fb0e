"""pelnor: an exact, fast byte-pair-encoding tokenizer with tiktoken's ids."""

import threading

from ._pelnor import BUILTIN_ENCODINGS, Tokenizer, __version__

__all__ = ["BUILTIN_ENCODINGS", "Tokenizer", "__version__", "get_encoding", "list_encodings"]

_shared: dict[str, Tokenizer] = {}
_shared_lock = threading.Lock()


def get_encoding(name: str) -> Tokenizer:
    """Returns the process-wide tokenizer of a built-in encoding, built on first use."""
    tokenizer = _shared.get(name)
    if tokenizer is None:
        with _shared_lock:
            tokenizer = _shared.get(name)
            if tokenizer is None:
                tokenizer = _shared[name] = Tokenizer(name)
    return tokenizer


def list_encodings() -> list[str]:
    """Returns the names of the built-in encodings."""
    return list(BUILTIN_ENCODINGS)
