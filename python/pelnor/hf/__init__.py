"""Hugging Face tokenizer files for byte-level BPE models, read by pelnor.

`pelnor.hf.Tokenizer.from_file("tokenizer.json")` gives a tokenizer with the calls, arguments
and results of HF tokenizers' `Tokenizer` for the components that published byte-level BPE
models use (ByteLevel, Split, Digits, NFC, added tokens, TemplateProcessing); a file with any
other component is refused with ValueError naming it.
"""

from .encoding import Encoding
from .tokenizer import Tokenizer

__all__ = ["Encoding", "Tokenizer"]
