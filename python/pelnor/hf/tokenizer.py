"""pelnor.hf.Tokenizer: a tokenizer.json of a byte-level BPE model, with the names, arguments
and results of HF tokenizers' Tokenizer for the calls it has."""

import json
import os

from .config import Template, Trim, read_config
from .content import Added
from .encoding import Encoding, Padding
from .model import Model

_DIRECTIONS = ("right", "left")


class Tokenizer:
    """A byte-level BPE model read from a tokenizer.json, whose ids, offsets, masks, padding,
    truncation and decoding equal HF tokenizers' for the same file and call."""

    def __init__(self, model: Model, truncation=None, padding=None):
        self._model = model
        self._truncation = None
        self._padding = None
        if truncation:
            self.enable_truncation(truncation["max_length"], truncation.get("stride", 0),
                                   _snake(truncation.get("strategy", "longest_first")),
                                   truncation.get("direction", "right").lower())
        if padding:
            strategy = padding.get("strategy")
            length = strategy.get("Fixed") if isinstance(strategy, dict) else None
            self.enable_padding(padding.get("direction", "right").lower(),
                                padding.get("pad_id", 0), padding.get("pad_type_id", 0),
                                padding.get("pad_token", "[PAD]"), length,
                                padding.get("pad_to_multiple_of"))

    @classmethod
    def from_str(cls, json_str: str, name: str = "hf") -> "Tokenizer":
        """Reads a tokenizer.json held in a string; ValueError names what pelnor does not
        support."""
        config = read_config(json.loads(json_str))
        return cls(Model(config, name), config.truncation, config.padding)

    @classmethod
    def from_file(cls, path) -> "Tokenizer":
        with open(path, encoding="utf-8") as file:
            text = file.read()
        return cls.from_str(text, os.path.basename(os.path.dirname(os.path.abspath(path)))
                            or "hf")

    def __repr__(self):
        return f"<pelnor.hf.Tokenizer {self._model.native.name!r}>"

    # ---- encoding ------------------------------------------------------------------------------

    def encode(self, sequence, pair=None, is_pretokenized=False, add_special_tokens=True):
        """Encodes one text into an Encoding."""
        _single_texts(pair, is_pretokenized)
        content = self._model.content(sequence)
        self._model.encode_contents([content], 1)
        return self._post_processed([content], add_special_tokens)[0]

    def encode_batch(self, input, is_pretokenized=False, add_special_tokens=True):
        """Encodes many texts, in parallel on every processor, into Encodings."""
        _single_texts(None, is_pretokenized)
        contents = [self._model.content(text) for text in input]
        self._model.encode_contents(contents, 0)
        return self._post_processed(contents, add_special_tokens)

    def encode_batch_to_numpy(self, input, add_special_tokens=True, dtype="int64"):
        """Returns (ids, attention_mask) of the texts as two numpy arrays, a row per text, built
        from the native batch's flat buffer without an object per token: truncated as
        enable_truncation says (the windows a stride cuts off left out) and padded as
        enable_padding says, or without it to the longest row with pad id 0 on the right; a
        row longer than a fixed padding length widens the array."""
        import numpy

        _single_texts(None, False)
        model = self._model
        contents = [model.content(text) for text in input]
        flat, bounds = model.encode_flat(contents, 0)
        before, after, added = self._frame(add_special_tokens)
        rows, segment = [], 0
        for content in contents:
            pieces = []
            for part in content.parts:
                if isinstance(part, Added):
                    pieces.append(numpy.array([part.token.id], dtype=flat.dtype))
                else:
                    pieces.append(flat[bounds[segment] : bounds[segment + 1]])
                    segment += 1
            ids = pieces[0] if len(pieces) == 1 else numpy.concatenate(pieces)
            lo, hi = self._spans(content, [len(piece) for piece in pieces], added)[0]
            rows.append(ids[lo:hi])
        settings = self._padding or {"length": None, "pad_to_multiple_of": None, "pad_id": 0,
                                     "direction": "right"}
        longest = max((len(row) for row in rows), default=0) + len(before) + len(after)
        width = max(self._padded_length([longest], settings), longest)
        ids = numpy.full((len(rows), width), settings["pad_id"], dtype=dtype)
        mask = numpy.zeros((len(rows), width), dtype=dtype)
        for number, row in enumerate(rows):
            length = len(before) + len(row) + len(after)
            at = width - length if settings["direction"] == "left" else 0
            ids[number, at : at + length] = numpy.concatenate((before, row, after))
            mask[number, at : at + length] = 1
        return ids, mask

    def _frame(self, add_special_tokens):
        """The template's ids before and after the text, and their count."""
        before, after = [], []
        if add_special_tokens:
            for step in self._model.post:
                if isinstance(step, Template):
                    before = [i for i, _, _ in step.before] + before
                    after = after + [i for i, _, _ in step.after]
        return before, after, len(before) + len(after)

    def _post_processed(self, contents, add_special_tokens):
        post = [step for step in self._model.post
                if isinstance(step, Trim) or add_special_tokens]
        added = self._frame(add_special_tokens)[2]
        if self._truncation is None:
            encodings = [Encoding(content, 0, len(content.ids()), post) for content in contents]
        else:
            encodings = []
            for content in contents:
                spans = self._spans(content, content.part_lengths(), added)
                encoding = Encoding(content, *spans[0], post)
                encoding.overflowing = [Encoding(content, *span, post) for span in spans[1:]]
                encodings.append(encoding)
        if self._padding is not None:
            self._pad(encodings)
        return encodings

    def _spans(self, content, lengths, added):
        """The spans of a content's tokens that truncation keeps: the kept one, then those a
        stride cuts off. The text is first cut where no word is split (as kept_edge says) and
        that part cut into windows; a post-processor that adds tokens cuts that part again, to
        leave room for them, and its windows are the ones kept."""
        total = sum(lengths)
        truncation = self._truncation
        if truncation is None:
            return [(0, total)]
        max_length, stride = truncation["max_length"], truncation["stride"]
        right = truncation["direction"] == "right"
        lo, hi = 0, total
        if total > max_length:
            edge = content.kept_edge(max_length, lengths, right) if max_length else (
                0 if right else total)
            lo, hi = (0, edge) if right else (edge, total)
        spans = _windows(lo, hi, max_length, stride, right)
        kept = spans[0][1] - spans[0][0]
        if added and kept + added > max_length and max_length >= added:
            return _windows(lo, hi, max_length - added, stride, right)
        return spans

    @staticmethod
    def _padded_length(lengths, settings):
        target = settings["length"]
        if target is None:
            target = max(lengths, default=0)
        multiple = settings["pad_to_multiple_of"]
        if multiple and target % multiple:
            target += multiple - target % multiple
        return target

    def _pad(self, encodings):
        settings = self._padding
        target = self._padded_length([len(e) for e in encodings], settings)
        for encoding in encodings:
            for each in [encoding, *encoding.overflowing]:
                if len(each) < target:
                    each._padding = Padding(settings["direction"] == "left", target - len(each),
                                            settings["pad_id"], settings["pad_token"],
                                            settings["pad_type_id"])

    # ---- decoding ------------------------------------------------------------------------------

    def decode(self, ids, skip_special_tokens=True) -> str:
        """The text of ids: added tokens as they are written, special ones left out with
        skip_special_tokens; ids of no token are dropped."""
        return self._model.decode(ids, skip_special_tokens)

    def decode_batch(self, sequences, skip_special_tokens=True) -> list[str]:
        return [self._model.decode(ids, skip_special_tokens) for ids in sequences]

    # ---- the same model as a tiktoken-style Encoding --------------------------------------------

    def as_encoding(self):
        """Returns the model as a pelnor.Encoding (tiktoken's calls: encode, count, truncate,
        the command line...), whose ids for any text equal `encode(text,
        add_special_tokens=False).ids`, the added tokens being its special tokens, allowed or
        disallowed as tiktoken allows them. Raises ValueError for a model whose text a
        tiktoken-style encoding cannot treat as HF does."""
        from ..encoding import Encoding as TiktokenEncoding

        model = self._model
        reasons = [
            (model.nfc, "normalizes its text to NFC"),
            (model.prefix_space, "puts a space before each stretch of text"),
            (model.hf_of_native is not None, "has ids that do not follow its merges"),
            (not model.scan_natively, "has added tokens too many or too long for special tokens"),
            (any(t.lstrip or t.rstrip or t.single_word for t in model.added_tokens),
             "has added tokens with lstrip, rstrip or single_word"),
            (len({t.normalized for t in model.added_tokens}) > 1,
             "finds its normalized added tokens after the others"),
        ]
        for applies, reason in reasons:
            if applies:
                raise ValueError(f"pelnor.hf: this model {reason}, which a tiktoken-style "
                                 "Encoding cannot do as HF does")
        return TiktokenEncoding._wrap(model.native, model.pat_str, gaps=model.gaps)

    # ---- the vocabulary ------------------------------------------------------------------------

    def token_to_id(self, token: str):
        return self._model.id_of_token.get(token)

    def id_to_token(self, id: int):
        return self._model.token_of_id.get(id)

    def get_vocab(self, with_added_tokens=True) -> dict[str, int]:
        return dict(self._model.id_of_token if with_added_tokens else self._model.vocab)

    def get_vocab_size(self, with_added_tokens=True) -> int:
        if not with_added_tokens:
            return len(self._model.vocab)
        return len(self._model.vocab) + sum(
            1 for token in self._model.added_tokens if token.content not in self._model.vocab)

    # ---- padding and truncation ----------------------------------------------------------------

    def enable_padding(self, direction="right", pad_id=0, pad_type_id=0, pad_token="[PAD]",
                       length=None, pad_to_multiple_of=None):
        if direction not in _DIRECTIONS:
            raise ValueError(f"pelnor.hf: padding direction must be 'right' or 'left', not "
                             f"{direction!r}")
        self._padding = {"length": length, "pad_to_multiple_of": pad_to_multiple_of,
                         "pad_id": pad_id, "pad_token": pad_token, "pad_type_id": pad_type_id,
                         "direction": direction}

    def no_padding(self):
        self._padding = None

    @property
    def padding(self):
        return None if self._padding is None else dict(self._padding)

    def enable_truncation(self, max_length, stride=0, strategy="longest_first",
                          direction="right"):
        if direction not in _DIRECTIONS:
            raise ValueError(f"pelnor.hf: truncation direction must be 'right' or 'left', not "
                             f"{direction!r}")
        if strategy not in ("longest_first", "only_first", "only_second"):
            raise ValueError(f"pelnor.hf: unknown truncation strategy {strategy!r}")
        room = max_length - self._frame(True)[2]
        if stride > room:
            raise ValueError(f"pelnor.hf: the truncation stride ({stride}) exceeds the {room} "
                             "tokens max_length leaves beside the template's")
        self._truncation = {"max_length": max_length, "stride": stride, "strategy": strategy,
                            "direction": direction}

    def no_truncation(self):
        self._truncation = None

    @property
    def truncation(self):
        return None if self._truncation is None else dict(self._truncation)


def _single_texts(pair, is_pretokenized):
    if pair is not None or is_pretokenized:
        raise ValueError("pelnor.hf: pairs of sequences and pre-tokenized input are not "
                         "supported")


def _snake(name):
    return "".join("_" + c.lower() if c.isupper() else c for c in name).lstrip("_")


def _windows(lo, hi, size, stride, right):
    """The spans that truncation with a stride keeps of [lo, hi): the kept one first."""
    if hi - lo <= size:
        return [(lo, hi)]
    if size == 0:
        return [(lo, lo), (lo, hi)]
    if stride >= size:
        raise ValueError(f"pelnor.hf: the stride ({stride}) must be less than the length left "
                         f"for the text ({size})")
    step, total, spans = size - stride, hi - lo, []
    if right:
        start = 0
        while True:
            stop = min(start + size, total)
            spans.append((lo + start, lo + stop))
            if stop == total:
                return spans
            start += step
    end = total
    while True:
        begin = max(end - size, 0)
        spans.append((lo + begin, lo + end))
        if begin == 0:
            return spans
        end -= step
