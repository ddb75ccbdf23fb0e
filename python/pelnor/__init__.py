"""pelnor: an exact, fast byte-pair-encoding tokenizer with tiktoken's ids.

`pelnor.get_encoding(name)` and `pelnor.Encoding` behave as tiktoken's do; the native
`Tokenizer` underneath has pelnor's own calls and results.
"""

from . import core, load, model, registry
from ._pelnor import BUILTIN_ENCODINGS, Tokenizer, __version__
from .encoding import Encoding, StreamDecoder
from .load import data_gym_to_mergeable_bpe_ranks, load_tiktoken_bpe
from .model import encoding_for_model, encoding_name_for_model
from .registry import get_encoding, get_tokenizer, list_encoding_names

__all__ = [
    "BUILTIN_ENCODINGS",
    "Encoding",
    "StreamDecoder",
    "Tokenizer",
    "__version__",
    "data_gym_to_mergeable_bpe_ranks",
    "encoding_for_model",
    "encoding_name_for_model",
    "get_encoding",
    "get_tokenizer",
    "list_encoding_names",
    "list_encodings",
    "load_tiktoken_bpe",
]

list_encodings = list_encoding_names
