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
    out = bytearray(struct.pack("<I", len(pairs)))
    length, rank_of = struct.Struct("<H").pack, struct.Struct("<I").pack
    for token, rank in pairs:
        out += length(len(token))
        out += token
        out += rank_of(rank)
    return bytes(out)


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
    start with 0xFF and go on as no token does), so encoding never yields it. The table's ranks
    must be distinct and not negative."""
    top = max(mergeable_ranks.values(), default=-1)
    gaps = (sorted(set(range(top + 1)) - set(mergeable_ranks.values()))
            if top + 1 != len(mergeable_ranks) else [])
    pairs = list(mergeable_ranks.items())
    if gaps:
        lead = _placeholder_lead([token for token in mergeable_ranks if token[:1] == b"\xff"])
        pairs += [(lead + rank.to_bytes(3, "big"), rank) for rank in gaps]
    return vocab_bytes(pairs), gaps


def _placeholder_lead(tokens):
    """The shortest bytes after 0xFF that no token starts with, the highest byte where several
    serve; where every next byte starts some token, one byte deeper under the byte that starts
    the fewest."""
    lead = b"\xff"
    while True:
        tokens = [token for token in tokens if len(token) > len(lead)]
        following = [token[len(lead)] for token in tokens]
        free = set(range(256)) - set(following)
        if free:
            return lead + bytes([max(free)])
        fewest = min(range(256), key=following.count)
        lead += bytes([fewest])
        tokens = [token for token in tokens if token[: len(lead)] == lead]


# The splitting levels' codes in their format.
LEVEL_RULES = ("cl100k", "o200k", "r50k", "regex")
SPLIT_BEHAVIORS = ("removed", "isolated", "merged_with_previous", "merged_with_next", "contiguous")


def levels_bytes(levels):
    """Returns (rules, behavior, invert, pattern) levels in the splitting-levels format: a
    count, then per level the codes of its rules and behavior, the invert flag, and the length and
    UTF-8 bytes of its pattern (PCRE2's syntax; empty for hand-written rules)."""
    levels = list(levels)
    parts = [struct.pack("<I", len(levels))]
    for rules, behavior, invert, pattern in levels:
        data = pattern.encode("utf-8")
        parts.append(struct.pack("<BBBI", LEVEL_RULES.index(rules),
                                 SPLIT_BEHAVIORS.index(behavior), bool(invert), len(data)) + data)
    return b"".join(parts)
