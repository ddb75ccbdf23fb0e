"""`Encoding` where tiktoken users import it from (`tiktoken.core`)."""

from .encoding import Encoding

__all__ = ["Encoding"]
