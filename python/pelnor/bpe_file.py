"""Reading rank tables in the published `.tiktoken` text format."""

import base64
import binascii
import os


def load_tiktoken_bpe(path, expected_hash=None):
    """Returns the rank table of a `.tiktoken` file: one "<base64 token> <rank>" per line.

    With `expected_hash`, the file's SHA-256 (hex) must equal it. A malformed line raises
    ValueError naming the file and the line.
    """
    with open(path, "rb") as file:
        contents = file.read()
    if expected_hash is not None and _sha256_hex(contents) != expected_hash:
        raise ValueError(f"{os.fsdecode(path)}: SHA-256 differs from the expected {expected_hash}")
    ranks = {}
    for number, line in enumerate(contents.splitlines(), 1):
        if not line:
            continue
        fields = line.split()
        try:
            token, rank = base64.b64decode(fields[0], validate=True), int(fields[1])
            if len(fields) != 2 or not token or rank < 0:
                raise ValueError
        except (ValueError, IndexError, binascii.Error):
            raise ValueError(
                f"{os.fsdecode(path)}, line {number}: expected a base64 token and a rank, "
                f"found {line[:80]!r}"
            ) from None
        ranks[token] = rank
    return ranks


def _sha256_hex(contents):
    # hashlib loads the system's crypto library, some 4.5 MiB of memory that only a caller
    # checking a hash needs: imported here, not with the package.
    import hashlib

    return hashlib.sha256(contents).hexdigest()
