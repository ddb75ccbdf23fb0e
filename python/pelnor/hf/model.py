"""A byte-level BPE model of a tokenizer.json, built once: the native tokenizer that splits and
merges its text, the maps between its ids and the native ones, and its added tokens."""

import bisect
import unicodedata

from .._pelnor import LIMITS
from .._pelnor import Tokenizer as NativeTokenizer
from ..patterns import R50K_PATTERN_GPT2
from ..vocab_format import levels_bytes, special_bytes
from .added import AddedTokenFinder
from .content import Content, Segment, segment, split_text
from .vocabulary import read_vocabulary, token_bytes

# One piece of the whole segment: ByteLevel without its regex and no other pre-tokenizer.
_WHOLE_TEXT = r"(?s:.)+"


class Model:
    def __init__(self, config, name):
        self.nfc = config.nfc
        self.prefix_space = config.prefix_space
        self.post = config.post
        self.added_tokens = config.added_tokens
        contents = {token.content for token in self.added_tokens}
        vocabulary = read_vocabulary(config.vocab, config.merges, config.ignore_merges, contents)
        self.vocab = dict(config.vocab)
        self.left_out = vocabulary.left_out
        self.bytes_of_id = vocabulary.bytes_of_id
        # Both maps None where the HF ids are the native ones.
        self.native_of_hf = vocabulary.native_of_hf
        specials = self._native_specials(vocabulary, self.native_of_hf)
        self.hf_of_native = None if self.native_of_hf is None else self._inverse(self.native_of_hf)
        self.token_of_id = dict(vocabulary.token_of_id)
        self.id_of_token = dict(config.vocab)
        for token in self.added_tokens:
            self.token_of_id[token.id] = token.content
            self.id_of_token[token.content] = token.id
        self.added_ids = {token.id for token in self.added_tokens}
        # ByteLevel's decoder reads an added token in the byte-level alphabet as the bytes it
        # spells, any other as its UTF-8.
        self.added_bytes = {token.id: token_bytes(token.content) or token.content.encode()
                            for token in self.added_tokens}
        self.special_ids = {token.id for token in self.added_tokens if token.special}
        # Ids that the native decoder does not spell as HF does: decoded part by part.
        self.decoded_apart = self.added_ids | set(self.left_out)
        self.plain_finder = AddedTokenFinder([t for t in self.added_tokens if not t.normalized])
        self.normalized_finder = AddedTokenFinder([t for t in self.added_tokens if t.normalized])
        fits = len(specials) <= LIMITS["special_tokens"] and all(
            1 <= len(text.encode()) <= LIMITS["special_token_bytes"] for text, _ in specials)
        # Where the native tokenizer knows every added token as a special one, it tells the texts
        # that hold none (most) from the others without a search in Python.
        self.scan_natively = fits
        self.native = self._native(name, vocabulary.vocab_file, specials if fits else [],
                                   config.levels)
        self.pat_str = _pattern_of(config.levels)
        self.gaps = self._gaps(vocabulary.ranks)
        self.continuation_start = bytearray(max(vocabulary.ranks.values()) + 1)
        for data, rank in vocabulary.ranks.items():
            self.continuation_start[rank] = 0x80 <= data[0] < 0xC0

    def _native_specials(self, vocabulary, native_of_hf):
        """Returns the native special tokens, longest first: (text, native id) of each added
        token, whose HF id is either beyond the vocabulary or the vocabulary's token of the same
        string."""
        next_native = len(vocabulary.ranks) + len(vocabulary.left_out)
        specials = []
        for token in self.added_tokens:
            in_vocab = vocabulary.token_of_id.get(token.id)
            if in_vocab is not None and in_vocab != token.content:
                raise ValueError(f"pelnor.hf: added token {token.content!r} has the id of the "
                                 f"vocabulary's token {in_vocab!r}")
            native = token.id
            if native_of_hf is not None:
                native = native_of_hf.get(token.id)
                if native is None:
                    native = native_of_hf[token.id] = next_native
                    next_native += 1
            specials.append((token.content, native))
        return sorted(specials, key=lambda special: -len(special[0]))

    @staticmethod
    def _inverse(native_of_hf):
        table = [0] * (max(native_of_hf.values()) + 1)
        for hf, native in native_of_hf.items():
            table[native] = hf
        return table

    @staticmethod
    def _gaps(ranks):
        present = set(ranks.values())
        return frozenset(set(range(max(present) + 1)) - present)

    @staticmethod
    def _native(name, vocab, specials, levels):
        special = special_bytes(specials)
        if not levels:
            return NativeTokenizer.from_data(name, "regex", vocab, special, _WHOLE_TEXT)
        if len(levels) == 1:
            rules, behavior, invert, pattern = levels[0]
            # A hand-written rule's pieces cover the text; a pattern's matches alone kept is
            # tiktoken's splitting.
            if rules != "regex" and (behavior == "isolated" or (behavior, invert) == ("removed",
                                                                                    True)):
                return NativeTokenizer.from_data(name, rules, vocab, special, "")
            if (rules, behavior, invert) == ("regex", "removed", True):
                return NativeTokenizer.from_data(name, "regex", vocab, special, pattern)
        return NativeTokenizer.from_levels(name, vocab, special, levels_bytes(levels))

    # ---- text to content -----------------------------------------------------------------------

    def may_hold_added(self, text):
        if not self.added_tokens:
            return False
        if not self.scan_natively:
            return True
        return self.native.find_disallowed_special([text], None, "all") is not None

    def content(self, text):
        if not isinstance(text, str):
            raise TypeError(f"pelnor.hf: a text must be a str, not {type(text).__name__}")
        if (not self.nfc or unicodedata.is_normalized("NFC", text)) and not self.may_hold_added(
                text):
            return Content(self, [segment(self, 0, len(text), text, None)])
        return Content(self, split_text(self, text))

    def encode_contents(self, contents, threads):
        """Encodes the segments of every content natively, in parallel."""
        texts = [text for content in contents for text in content.segments()]
        if len(texts) == 1:
            lists = [self.native.encode_ordinary(texts[0])]
        else:
            lists = self.native.encode_batch_lists(texts, threads)
        if self.hf_of_native is not None:
            table = self.hf_of_native
            lists = [[table[i] for i in ids] for ids in lists]
        if len(lists) == len(contents):
            for content, ids in zip(contents, lists):
                content.segment_ids = [ids]
            return
        at = 0
        for content in contents:
            count = sum(1 for part in content.parts if isinstance(part, Segment))
            content.segment_ids = lists[at : at + count]
            at += count

    def encode_flat(self, contents, threads):
        """Encodes the segments of every content natively, in parallel: (HF ids of all of them
        in one numpy array, where each segment's ids start and end)."""
        import numpy

        texts = [text for content in contents for text in content.segments()]
        ids, bounds = self.native.encode_batch(texts, threads)
        flat = numpy.frombuffer(ids, dtype=numpy.uint32)
        if self.hf_of_native is not None:
            flat = numpy.asarray(self.hf_of_native, dtype=numpy.uint32)[flat]
        return flat, numpy.frombuffer(bounds, dtype=numpy.int64)

    def segment_offsets(self, part):
        """The (start, end) span in the text, in characters, of each token of a segment."""
        ids, spans = self.native.encode_with_offsets(part.encoded, "char")
        starts_inside = self.continuation_start
        shift, ties, base = int(part.prefix), part.ties, part.start
        out = []
        for native_id, (start, end) in zip(ids, spans):
            start -= starts_inside[native_id]
            if shift:
                # The prefix space stands where the segment's first character does.
                start, end = max(start - 1, 0), max(end - 1, 1)
            if ties is not None:
                start, end = (ties[start] if start < len(ties) else part.length,
                              ties[end - 1] + 1 if end > start else
                              (ties[start] if start < len(ties) else part.length))
            out.append((base + start, base + end))
        return out

    def segment_word(self, part, index):
        """The (start, end) of the tokens of a segment that share the piece token `index` is
        in."""
        _, spans = self.native.encode_with_offsets(part.encoded, "byte")
        piece_starts = [start for start, _ in self.native.pieces(part.encoded)]
        piece = bisect.bisect_right(piece_starts, spans[index][0]) - 1
        low = piece_starts[piece]
        high = piece_starts[piece + 1] if piece + 1 < len(piece_starts) else len(
            part.encoded.encode())
        start = index
        while start > 0 and spans[start - 1][0] >= low:
            start -= 1
        end = index + 1
        while end < len(spans) and spans[end][0] < high:
            end += 1
        return start, end

    # ---- ids to text ---------------------------------------------------------------------------

    def decode(self, ids, skip_special_tokens):
        """The text of ids: the bytes of their tokens joined, then read as UTF-8 with U+FFFD for
        what is not; ids of no token are dropped."""
        ids = list(ids)
        if self.decoded_apart.isdisjoint(ids):
            return self.native.decode_bytes(self._to_native(ids)).decode("utf-8", "replace")
        data = bytearray()
        for token_id in ids:
            spelled = self.added_bytes.get(token_id)
            if spelled is not None:
                if not (skip_special_tokens and token_id in self.special_ids):
                    data += spelled
            else:
                data += self.bytes_of_id.get(token_id, b"")
        return data.decode("utf-8", "replace")

    def _to_native(self, ids):
        if self.native_of_hf is None:
            return ids
        table = self.native_of_hf
        return [table[i] for i in ids if i in table]


def _pattern_of(levels):
    """The tiktoken-style pattern of a model split by one level, else ""."""
    if len(levels) != 1:
        return ""
    rules, _, _, pattern = levels[0]
    return R50K_PATTERN_GPT2 if rules == "r50k" else pattern
