"""The vocab and special-tokens formats that the native tokenizer is built from: written for
custom rank tables and for the generated built-in data, read by the tools and tests. It imports
nothing of the package, so the data can be generated before the native module is built.

A vocab file is a count, then (length, token bytes, rank) per token; a special-tokens file is a
count, then (id, length, text) per token; integers little-endian.
"""

import struct


def vocab_bytes(pairs):
    """Returns (token bytes, rank) pairs, in the given order, in the vocab format."""
    pairs = list(pairs)
    parts = [struct.pack("<I", len(pairs))]
    for token, rank in pairs:
        parts.append(struct.pack("<H", len(token)) + bytes(token) + struct.pack("<I", rank))
    return b"".join(parts)


def read_vocab(data):
    """Returns the (token bytes, rank) pairs of the vocab format, in file order."""
    (count,) = struct.unpack_from("<I", data, 0)
    pairs, pos = [], 4
    for _ in range(count):
        (length,) = struct.unpack_from("<H", data, pos)
        token = bytes(data[pos + 2 : pos + 2 + length])
        (rank,) = struct.unpack_from("<I", data, pos + 2 + length)
        pairs.append((token, rank))
        pos += length + 6
    if pos != len(data):
        raise ValueError("pelnor: bytes after the last token of a vocab file")
    return pairs


def special_bytes(entries):
    """Returns (text, id) pairs, in the given order, in the special-tokens format."""
    entries = list(entries)
    parts = [struct.pack("<I", len(entries))]
    for text, token in entries:
        data = text.encode("utf-8")
        parts.append(struct.pack("<IH", token, len(data)) + data)
    return b"".join(parts)


def read_special(data):
    """Returns the (text, id) pairs of the special-tokens format, in file order."""
    (count,) = struct.unpack_from("<I", data, 0)
    entries, pos = [], 4
    for _ in range(count):
        token, length = struct.unpack_from("<IH", data, pos)
        entries.append((bytes(data[pos + 6 : pos + 6 + length]).decode("utf-8"), token))
        pos += 6 + length
    return entries


def vocab_data(mergeable_ranks):
    """The rank table in the vocab format, and its gaps: ranks no token has, which the format
    needs filled. Each gap gets a placeholder token that no text in UTF-8 can hold (its bytes
    start with 0xFF and a second byte no token starts with after 0xFF), so encoding never
    yields it. The table's ranks must be distinct and not negative."""
    top = max(mergeable_ranks.values(), default=-1)
    gaps = (sorted(set(range(top + 1)) - set(mergeable_ranks.values()))
            if top + 1 != len(mergeable_ranks) else [])
    pairs = list(mergeable_ranks.items())
    if gaps:
        taken = {token[1] for token in mergeable_ranks if len(token) > 1 and token[0] == 0xFF}
        lead = bytes([0xFF, max(set(range(256)) - taken)])
        pairs += [(lead + rank.to_bytes(3, "big"), rank) for rank in gaps]
    return vocab_bytes(pairs), gaps
