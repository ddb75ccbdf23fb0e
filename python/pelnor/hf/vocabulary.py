"""A BPE model's vocabulary and merges as pelnor's rank table, which merges the joined pair of
lowest rank first where HF merges the pair listed first.

The two agree on every text when each token's rank follows its first merge in the list and
every token that the list forms at all is formed from its own bytes: the first pair on which the
two would part, somewhere in some text, would be a pair joining into a token whose bytes the list
does not merge into it. So the ranks follow the merges, tokens the list never forms are left out
of the table (or kept, with `ignore_merges`, for pieces that are exactly them), and where a
token's merges could be taken in another order than the ranks' (two merges of it overlapping)
the file is refused, unless merging the text both ways shows they agree.
"""

import itertools
from array import array
from dataclasses import dataclass

from .._pelnor import tokens_unformed_by
from ..load import _data_gym_byte_of_character
from ..vocab_format import vocab_data

_BYTE_OF_CHAR = _data_gym_byte_of_character()
# Each character of the alphabet to the Latin-1 character of its byte, for str.translate.
_TO_LATIN1 = {ord(c): b for c, b in _BYTE_OF_CHAR.items()}
_ALPHABET = frozenset(_BYTE_OF_CHAR)
_CHAR_OF_BYTE = sorted(_BYTE_OF_CHAR, key=_BYTE_OF_CHAR.get)


@dataclass
class Vocabulary:
    ranks: dict[bytes, int]  # the native rank table
    native_of_hf: dict[int, int] | None  # None where the ids are the ranks
    token_of_id: dict[int, str]  # the vocabulary's tokens by HF id
    bytes_of_id: dict[int, bytes]
    left_out: dict[int, bytes]  # tokens the merges never form, by HF id: decoded, never encoded
    vocab_file: bytes  # ranks in the vocab format


def token_bytes(token: str) -> bytes | None:
    """The bytes a byte-level token spells, or None where it holds another character."""
    if not _ALPHABET.issuperset(token):
        return None
    return token.translate(_TO_LATIN1).encode("latin-1")


def read_vocabulary(vocab, merges, ignore_merges, added_contents) -> Vocabulary:
    """Builds the rank table of an HF BPE model; raises ValueError where it cannot give HF's
    ids. added_contents: the added tokens' strings, which may stand in the vocabulary unspelled."""
    token_of_id = {hf_id: token for token, hf_id in vocab.items()}
    if len(token_of_id) < len(vocab) or set(map(type, token_of_id)) - {int} or min(
            token_of_id, default=0) < 0:
        raise ValueError("pelnor.hf: the vocabulary's ids must be distinct and not negative")
    unspelled = set() if _ALPHABET.issuperset("".join(vocab)) else {
        token for token in vocab if not _ALPHABET.issuperset(token)}
    for token in unspelled - set(added_contents):
        raise ValueError(f"pelnor.hf: the vocabulary's token {token!r} is not in the byte-level "
                         "alphabet")
    bytes_of_id = {hf_id: token.translate(_TO_LATIN1).encode("latin-1")
                   for token, hf_id in vocab.items() if token not in unspelled}
    missing = [b for b, char in enumerate(_CHAR_OF_BYTE) if char not in vocab]
    if missing:
        # HF drops such a byte and merges its neighbours across it.
        raise ValueError(f"pelnor.hf: the vocabulary lacks {len(missing)} of the 256 byte tokens "
                         f"(byte {missing[0]:#04x} first)")
    try:
        # Byte-level strings join as their bytes do.
        merge_ids = [(vocab[left], vocab[right], vocab[left + right]) for left, right in merges]
    except KeyError:
        left, right = next((a, b) for a, b in merges
                           if a not in vocab or b not in vocab or a + b not in vocab)
        raise ValueError(f"pelnor.hf: the merge {left!r} {right!r} joins tokens that are not "
                         "both in the vocabulary, or into none") from None
    first_merge = {merged: index for index, (_, _, merged) in enumerate(merge_ids)}
    if len(first_merge) < len(merge_ids):  # a token of several merges: the first counts
        first_merge = {}
        for index, (_, _, merged) in enumerate(merge_ids):
            first_merge.setdefault(merged, index)
        _check_merges_grouped(merge_ids, first_merge, token_of_id)
    native_of_hf = _ranks_following_merges(bytes_of_id, first_merge)
    ranks = {b: i if native_of_hf is None else native_of_hf[i] for i, b in bytes_of_id.items()}
    hf_of = {rank: hf for hf, rank in (native_of_hf or {}).items()}
    unformed, vocab_file = _unformed(ranks, merge_ids, native_of_hf)
    left_out = {}
    for rank in unformed:
        hf_id = hf_of.get(rank, rank)
        spelled = bytes_of_id[hf_id]
        if ignore_merges and not _merges_into_itself(spelled, ranks):
            continue  # a piece that is this token is it; no merge ever forms it
        if ignore_merges:
            raise ValueError(f"pelnor.hf: token {token_of_id[hf_id]!r} is formed by merging by "
                             "rank but not by its merges: pelnor cannot give HF's ids")
        left_out[hf_id] = spelled
        del ranks[spelled]
    if len(first_merge) < len(merge_ids):
        _check_overlapping_merges(merge_ids, first_merge, bytes_of_id, ranks, left_out)
    if left_out:
        vocab_file = vocab_data(ranks)[0]
    return Vocabulary(ranks, native_of_hf, token_of_id, bytes_of_id, left_out, vocab_file)


def _check_merges_grouped(merge_ids, first_merge, token_of_id):
    """Refuses a list in which another token's merge stands between two merges of one token:
    ranks could not order both."""
    latest = -1
    for _, _, merged in merge_ids:
        position = first_merge[merged]
        if position < latest:
            raise ValueError(f"pelnor.hf: the merges of token {token_of_id[merged]!r} are not "
                             "listed together: no order of ranks gives HF's ids")
        latest = position


def _ranks_following_merges(bytes_of_id, first_merge):
    """Returns None where the HF ids themselves follow the merges, else {HF id: rank}: the
    tokens no merge forms first, whose ranks order nothing, then the others in the order of their
    first merges."""
    merged = list(first_merge)  # in the order of their first merges
    if all(a < b for a, b in zip(merged, merged[1:])):
        return None
    others = sorted(i for i in bytes_of_id if i not in first_merge)
    return {hf: rank for rank, hf in enumerate(others + merged)}


def _unformed(ranks, merge_ids, native_of_hf):
    """The ranks of the tokens that the merges do not form from their own bytes, and the ranks
    in the vocab format."""
    flat = array("I", itertools.chain.from_iterable(merge_ids))
    if native_of_hf is not None:
        flat = array("I", map(native_of_hf.__getitem__, flat))
    vocab, _ = vocab_data(ranks)
    present = set(ranks.values())
    return [rank for rank in tokens_unformed_by(vocab, flat.tobytes()) if rank in present], vocab


def merge_by_ranks(data, ranks):
    """Byte-pair merging as pelnor's table does it, without taking a whole piece as the token it
    is: the joined neighbours of lowest rank first, the leftmost among equals."""
    parts = [data[i : i + 1] for i in range(len(data))]
    while len(parts) > 1:
        joined = [ranks.get(parts[i] + parts[i + 1]) for i in range(len(parts) - 1)]
        best = min((rank, i) for i, rank in enumerate(joined) if rank is not None) if any(
            rank is not None for rank in joined) else None
        if best is None:
            break
        i = best[1]
        parts[i : i + 2] = [parts[i] + parts[i + 1]]
    return parts


def merge_by_list(data, priority):
    """Byte-pair merging as HF does it: of the adjacent pairs in the list (priority: (left,
    right) bytes to position), the first listed first, the leftmost among equals."""
    parts = [data[i : i + 1] for i in range(len(data))]
    while len(parts) > 1:
        found = [(priority[pair], i) for i, pair in enumerate(zip(parts, parts[1:]))
                 if pair in priority]
        if not found:
            break
        i = min(found)[1]
        parts[i : i + 2] = [parts[i] + parts[i + 1]]
    return parts


def _merges_into_itself(data, ranks):
    return merge_by_ranks(data, ranks) == [data]


def _check_overlapping_merges(merge_ids, first_merge, bytes_of_id, ranks, left_out):
    """Two merges of one token that overlap (a token t = x + m = m + y, with x m y side by side)
    are taken leftmost first by ranks, first listed first by HF: where the right one is listed
    first, the text x m y must merge alike both ways."""
    splits = {}
    for index, (left, right, merged) in enumerate(merge_ids):
        splits.setdefault(merged, {}).setdefault(len(bytes_of_id[left]), index)
    priority = None
    for merged, by_cut in splits.items():
        if len(by_cut) < 2 or merged in left_out:
            continue
        token = bytes_of_id[merged]
        for cut, index in by_cut.items():
            other = len(token) - cut
            if other == cut or other not in by_cut or by_cut[other] > index:
                continue
            if token[cut:] != token[:other]:
                continue
            if priority is None:
                priority = {}
                for position, (left, right, _) in enumerate(merge_ids):
                    priority.setdefault((bytes_of_id[left], bytes_of_id[right]), position)
            text = token + token[other:]
            if merge_by_list(text, priority) != merge_by_ranks(text, ranks):
                raise ValueError(f"pelnor.hf: the merges of token {token!r} are listed in an "
                                 "order that merging by rank cannot follow")
