"""The vocab format that the native tokenizer is built from, for custom rank tables and for the
generated built-in data alike; it imports nothing of the package."""

import struct

# The limits of the format.
_MAX_RANKS = 262144
_MAX_TOKEN_BYTES = 255


def vocab_data(mergeable_ranks):
    """The rank table in the vocab format (count, then (length, bytes, rank) per token) and its
    gaps: ranks no token has, which the format needs filled. Each gap gets a placeholder token
    that no text in UTF-8 can hold (its bytes start with 0xFF and a second byte no token
    starts with after 0xFF), so encoding never yields it."""
    count = len(mergeable_ranks)
    ranks = set(mergeable_ranks.values())
    top = max(ranks, default=-1)
    if not 1 <= count or not 0 <= min(ranks) or top >= _MAX_RANKS:
        raise ValueError(f"pelnor: a rank table holds ranks 0 to {_MAX_RANKS - 1}, at least one")
    if len(ranks) != count:
        raise ValueError("pelnor: the ranks must be distinct")
    gaps = sorted(set(range(top + 1)) - ranks) if top + 1 != count else []
    parts = [struct.pack("<I", top + 1)]
    for token, rank in mergeable_ranks.items():
        if not 1 <= len(token) <= _MAX_TOKEN_BYTES:
            raise ValueError(f"pelnor: token {token!r} is not 1 to {_MAX_TOKEN_BYTES} bytes long")
        parts.append(struct.pack("<H", len(token)) + bytes(token) + struct.pack("<I", rank))
    if gaps:
        taken = {token[1] for token in mergeable_ranks if len(token) > 1 and token[0] == 0xFF}
        lead = bytes([0xFF, max(set(range(256)) - taken)])
        for rank in gaps:
            parts.append(struct.pack("<H", 5) + lead + rank.to_bytes(3, "big") +
                         struct.pack("<I", rank))
    return b"".join(parts), gaps
