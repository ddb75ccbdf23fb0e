"""A text as the model encodes it before post-processing: the added tokens found in it and the
segments between them, each normalized, given ByteLevel's prefix space and encoded by the native
tokenizer; and, when asked, each token's string and its span in the text."""

from .normalize import nfc


class Segment:
    """A stretch of text between added tokens, as the native tokenizer encodes it."""

    __slots__ = ("start", "length", "encoded", "ties", "prefix")

    def __init__(self, start, length, encoded, ties, prefix):
        self.start = start  # where it starts in the text
        self.length = length  # its length in the text
        self.encoded = encoded  # its text as encoded: normalized, after the prefix space
        self.ties = ties  # normalized character -> character of the segment; None: the same
        self.prefix = prefix


class Added:
    """An added token found in the text."""

    __slots__ = ("start", "end", "token", "string")

    def __init__(self, start, end, token, string):
        self.start, self.end, self.token, self.string = start, end, token, string


class Content:
    """The parts of one text (Segment and Added objects, in order) and, once encoded, the HF
    ids of each segment."""

    __slots__ = ("model", "parts", "segment_ids", "_ids", "_tokens", "_offsets")

    def __init__(self, model, parts):
        self.model = model
        self.parts = parts
        self.segment_ids = None  # per Segment, its HF ids
        self._ids = self._tokens = self._offsets = None

    def segments(self):
        return [part.encoded for part in self.parts if isinstance(part, Segment)]

    def ids(self):
        if self._ids is None:
            if len(self.parts) == 1 and self.segment_ids:
                self._ids = self.segment_ids[0]
            else:
                ids, next_segment = [], iter(self.segment_ids)
                for part in self.parts:
                    if isinstance(part, Segment):
                        ids += next(next_segment)
                    else:
                        ids.append(part.token.id)
                self._ids = ids
        return self._ids

    def tokens(self):
        if self._tokens is None:
            token_of = self.model.token_of_id
            tokens, next_segment = [], iter(self.segment_ids)
            for part in self.parts:
                if isinstance(part, Segment):
                    tokens += [token_of[i] for i in next(next_segment)]
                else:
                    tokens.append(part.string)
            self._tokens = tokens
        return self._tokens

    def word_of(self, index, lengths):
        """The (start, end) of the word that token `index` of the content is in: the tokens of
        one piece of the pre-tokenizer, or an added token; lengths are the token counts of the
        parts."""
        first = 0
        for part, count in zip(self.parts, lengths):
            if index < first + count:
                if isinstance(part, Added):
                    return first, first + 1
                start, end = self.model.segment_word(part, index - first)
                return first + start, first + end
            first += count
        raise IndexError(index)

    def kept_edge(self, cut, lengths, right):
        """Where truncation at `cut` tokens from the start (right) or the end (left) really
        cuts: beyond the rest of the word it falls in, and of the word after an added token at
        the edge."""
        total = sum(lengths)
        if right:
            edge = cut
            while edge < total:
                start, end = self.word_of(edge - 1, lengths)
                if end - start == 1 and self.is_added(edge - 1, lengths):
                    edge += 1
                elif end > edge:
                    edge = end
                else:
                    break
            return edge
        edge = total - cut
        while edge > 0:
            start, _ = self.word_of(edge, lengths)
            if self.is_added(edge, lengths):
                edge -= 1
            elif start < edge:
                edge = start
            else:
                break
        return edge

    def is_added(self, index, lengths):
        first = 0
        for part, count in zip(self.parts, lengths):
            if index < first + count:
                return isinstance(part, Added)
            first += count
        raise IndexError(index)

    def part_lengths(self):
        segments = iter(self.segment_ids)
        return [len(next(segments)) if isinstance(part, Segment) else 1 for part in self.parts]

    def offsets(self):
        """Each token's (start, end) in the text, in characters: a token that holds part of a
        character spans all of it."""
        if self._offsets is None:
            offsets = []
            for part in self.parts:
                if isinstance(part, Segment):
                    offsets += self.model.segment_offsets(part)
                else:
                    offsets.append((part.start, part.end))
            self._offsets = offsets
        return self._offsets


def split_text(model, text):
    """Returns the parts of text: the added tokens of the first pass (those matched on the text
    as it is), then in each stretch between them, normalized, those of the second."""
    parts = []
    for start, end, token in model.plain_finder.split(text):
        if token is not None:
            parts.append(Added(start, end, token, text[start:end]))
            continue
        stretch = text[start:end]
        normalized, ties = nfc(stretch) if model.nfc else (stretch, None)
        for inner_start, inner_end, inner in model.normalized_finder.split(normalized):
            at = start + (inner_start if ties is None else _tied(ties, inner_start, len(stretch)))
            if inner is not None:
                end_at = start + (inner_end if ties is None
                                  else _tied_end(ties, inner_start, inner_end, len(stretch)))
                parts.append(Added(at, end_at, inner, normalized[inner_start:inner_end]))
                continue
            piece = normalized[inner_start:inner_end]
            piece_ties = None if ties is None else [t - (at - start) for t in
                                                    ties[inner_start:inner_end]]
            length = (inner_end if ties is None else _tied_end(ties, inner_start, inner_end,
                                                                len(stretch))) - (at - start)
            parts.append(segment(model, at, length, piece, piece_ties))
    return parts


def segment(model, start, length, text, ties):
    """The Segment of text, normalized, found at start in the text (length characters there)."""
    prefix = model.prefix_space and text != "" and not text.startswith(" ")
    return Segment(start, length, " " + text if prefix else text, ties, prefix)


def _tied(ties, index, length):
    return ties[index] if index < len(ties) else length


def _tied_end(ties, start, end, length):
    return ties[end - 1] + 1 if end > start else _tied(ties, start, length)
