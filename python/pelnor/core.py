"""`Encoding` where tiktoken users import it from (`tiktoken.core`)."""

from typing import NoReturn

from .encoding import Encoding, _disallowed_message

__all__ = ["Encoding", "raise_disallowed_special_token"]


def raise_disallowed_special_token(token: str) -> NoReturn:
    """Raises the ValueError of encode for a disallowed special token."""
    raise ValueError(_disallowed_message(token))
