"""The encodings by name: pelnor's built-in ones, and those that installed packages register
for tiktoken as `tiktoken_ext.*` modules with an `ENCODING_CONSTRUCTORS` table."""

import importlib
import pkgutil
import threading
from collections.abc import Callable
from typing import Any

from ._pelnor import BUILTIN_ENCODINGS, Tokenizer
from . import encoding
from .encoding import Encoding
from .patterns import CL100K_PATTERN, O200K_PATTERN, R50K_PATTERN

# What tiktoken's Encoding of each built-in name says beyond the native tables: its splitting
# pattern, explicit_n_vocab, and the ranks that no token of its rank table has (the special
# token of that id fills each).
_BUILTIN_SHAPES = {
    "gpt2": (R50K_PATTERN, 50257, frozenset()),
    "r50k_base": (R50K_PATTERN, 50257, frozenset()),
    "p50k_base": (R50K_PATTERN, 50281, frozenset([50256])),
    "p50k_edit": (R50K_PATTERN, None, frozenset([50256])),
    "cl100k_base": (CL100K_PATTERN, None, frozenset()),
    "o200k_base": (O200K_PATTERN, None, frozenset()),
    "o200k_harmony": (O200K_PATTERN, None, frozenset()),
}
_O200K_SPECIALS = ("<|endoftext|>", "<|endofprompt|>")
# tiktoken's own plugin builds the encodings that pelnor carries built in.
_TIKTOKEN_OWN_PLUGIN = "tiktoken_ext.openai_public"

_tokenizers: dict[str, Tokenizer] = {}
# The encodings get_encoding has given, by name, as tiktoken keeps them.
ENCODINGS: dict[str, Encoding] = {}
# Every encoding's constructor by name (the arguments that build its Encoding), as tiktoken
# keeps them once it has looked its plugins up: None until get_encoding or list_encoding_names
# first runs.
ENCODING_CONSTRUCTORS: dict[str, Callable[[], dict[str, Any]]] | None = None
_lock = threading.RLock()


def get_tokenizer(name: str) -> Tokenizer:
    """Returns the process-wide native tokenizer of a built-in encoding, built on first use."""
    return _cached(_tokenizers, name, Tokenizer)


def get_encoding(encoding_name: str) -> Encoding:
    """Returns the process-wide Encoding of a built-in or plugin encoding; an unknown name
    raises ValueError."""
    if not isinstance(encoding_name, str):
        raise ValueError(f"Expected a string in get_encoding, got {type(encoding_name)}")
    return _cached(ENCODINGS, encoding_name, _build)


def _cached(table, name, build):
    """Returns table[name], made by build(name) the first time, once however many threads ask."""
    value = table.get(name)
    if value is None:
        with _lock:
            value = table.get(name)
            if value is None:
                value = table[name] = build(name)
    return value


def list_encoding_names() -> list[str]:
    """Returns the names of the built-in encodings, then those of plugin encodings."""
    return [*BUILTIN_ENCODINGS, *(n for n in _plugin_constructors() if n not in _BUILTIN_SHAPES)]


def _builtin_constructor(name):
    def constructor():
        built = get_encoding(name)
        arguments = {"name": name, "pat_str": built._pat_str,
                     "mergeable_ranks": built._mergeable_ranks,
                     "special_tokens": dict(built._special_tokens)}
        if built._explicit_n_vocab is not None:
            arguments["explicit_n_vocab"] = built._explicit_n_vocab
        return arguments

    return constructor


def builtin_encoding_or_none(name):
    """Returns the Encoding of a built-in name if it was built, else None."""
    return ENCODINGS.get(name) if name in _BUILTIN_SHAPES else None


def _build(name):
    if ENCODING_CONSTRUCTORS is None:
        _plugin_constructors()  # as tiktoken, known from the first lookup on
    if name in _BUILTIN_SHAPES:
        pat_str, explicit_n_vocab, gaps = _BUILTIN_SHAPES[name]
        # tiktoken lists harmony's specials after those of o200k_base, which it extends.
        leading = _O200K_SPECIALS if name == "o200k_harmony" else ()
        return Encoding._wrap(get_tokenizer(name), pat_str, explicit_n_vocab, leading, gaps)
    constructor = _plugin_constructors().get(name)
    if constructor is None:
        raise ValueError(
            f"Unknown encoding {name}. pelnor has: {', '.join(list_encoding_names())}"
        )
    return Encoding(**constructor())


def _plugin_constructors():
    """Returns {name: constructor} of every `tiktoken_ext` plugin but tiktoken's own, looked up
    afresh so that packages installed since the last call are found; ENCODING_CONSTRUCTORS
    holds them and the built-in encodings' from then on."""
    global ENCODING_CONSTRUCTORS
    constructors = _tiktoken_ext_constructors()
    ENCODING_CONSTRUCTORS = {**{name: _builtin_constructor(name) for name in BUILTIN_ENCODINGS},
                             **constructors}
    return constructors


def _tiktoken_ext_constructors():
    try:
        import tiktoken_ext
    except ImportError:
        return {}
    constructors, origin = {}, {}
    for module_info in pkgutil.iter_modules(tiktoken_ext.__path__, "tiktoken_ext."):
        if module_info.name == _TIKTOKEN_OWN_PLUGIN:
            continue
        module = importlib.import_module(module_info.name)
        for name, constructor in getattr(module, "ENCODING_CONSTRUCTORS", {}).items():
            if name in constructors:
                raise ValueError(
                    f"Duplicate encoding name {name} in tiktoken plugins {origin[name]} and "
                    f"{module_info.name}"
                )
            constructors[name], origin[name] = constructor, module_info.name
    return constructors


encoding.use_registry(lambda name: ENCODINGS.get(name), get_encoding)
