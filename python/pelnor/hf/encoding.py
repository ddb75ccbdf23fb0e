"""The result of encoding one text, with the attributes of HF's Encoding. Its lists are built
when first read, from the text's Content and the window of it that truncation keeps."""

from .added import WHITE_SPACE
from .config import Template, Trim

_SPACE_CHAR = "\u0120"  # the byte-level spelling of a space


class Padding:
    __slots__ = ("left", "count", "pad_id", "pad_token", "pad_type_id")

    def __init__(self, left, count, pad_id, pad_token, pad_type_id):
        self.left, self.count = left, count
        self.pad_id, self.pad_token, self.pad_type_id = pad_id, pad_token, pad_type_id


class Encoding:
    """ids, tokens, offsets (in characters), attention_mask, special_tokens_mask, type_ids and
    overflowing (the windows that truncation with a stride cut off), as HF gives them."""

    __slots__ = ("_content", "_lo", "_hi", "_post", "_padding", "overflowing")

    def __init__(self, content, lo, hi, post, padding=None):
        self._content = content
        self._lo, self._hi = lo, hi
        self._post = post  # the post-processing steps that apply, in order
        self._padding = padding
        self.overflowing: list[Encoding] = []

    def __repr__(self):
        return f"Encoding(num_tokens={len(self)}, attributes=[ids, type_ids, tokens, offsets, " \
               "attention_mask, special_tokens_mask, overflowing])"

    def __len__(self):
        count = self._hi - self._lo + sum(s.added for s in self._post if isinstance(s, Template))
        return count + (self._padding.count if self._padding else 0)

    def _templates(self):
        return [step for step in self._post if isinstance(step, Template)]

    def _framed(self, inner, before, after, padding):
        """inner inside the templates' items (before(template), after(template)), then padded."""
        for template in self._templates():
            inner = before(template) + inner + after(template)
        if self._padding:
            pads = [padding] * self._padding.count
            inner = pads + inner if self._padding.left else inner + pads
        return inner

    @property
    def ids(self) -> list[int]:
        inner = self._content.ids()[self._lo : self._hi]
        pad_id = self._padding.pad_id if self._padding else 0
        return self._framed(inner, lambda t: [i for i, _, _ in t.before],
                            lambda t: [i for i, _, _ in t.after], pad_id)

    @property
    def tokens(self) -> list[str]:
        inner = self._content.tokens()[self._lo : self._hi]
        pad = self._padding.pad_token if self._padding else ""
        return self._framed(inner, lambda t: [s for _, s, _ in t.before],
                            lambda t: [s for _, s, _ in t.after], pad)

    @property
    def type_ids(self) -> list[int]:
        templates = self._templates()
        inner = [templates[0].type_id if templates else 0] * (self._hi - self._lo)
        pad = self._padding.pad_type_id if self._padding else 0
        return self._framed(inner, lambda t: [k for _, _, k in t.before],
                            lambda t: [k for _, _, k in t.after], pad)

    @property
    def attention_mask(self) -> list[int]:
        return self._framed([1] * (self._hi - self._lo), lambda t: [1] * len(t.before),
                            lambda t: [1] * len(t.after), 0)

    @property
    def special_tokens_mask(self) -> list[int]:
        return self._framed([0] * (self._hi - self._lo), lambda t: [1] * len(t.before),
                            lambda t: [1] * len(t.after), 1)

    @property
    def offsets(self) -> list[tuple[int, int]]:
        tokens = self._content.tokens()[self._lo : self._hi]
        offsets = self._content.offsets()[self._lo : self._hi]
        for step in self._post:
            if isinstance(step, Trim):
                offsets = trimmed(tokens, offsets, step.add_prefix_space)
            else:
                tokens = [s for _, s, _ in step.before] + tokens + [s for _, s, _ in step.after]
                offsets = [(0, 0)] * len(step.before) + offsets + [(0, 0)] * len(step.after)
        if self._padding:
            pads = [(0, 0)] * self._padding.count
            offsets = pads + offsets if self._padding.left else offsets + pads
        return offsets

    @property
    def n_sequences(self) -> int:
        return 1


def _spaces(chars):
    count = 0
    for char in chars:
        if char != _SPACE_CHAR and char not in WHITE_SPACE:
            break
        count += 1
    return count


def trimmed(tokens, offsets, add_prefix_space):
    """ByteLevel's offsets: each token's span without its leading and trailing spaces, but for
    a single leading space of the first token where a prefix space was added."""
    out = []
    for i, (token, (start, end)) in enumerate(zip(tokens, offsets)):
        leading, trailing = _spaces(token), _spaces(reversed(token))
        if leading and add_prefix_space and leading == 1 and (i == 0 or start == 0):
            leading = 0
        if leading:
            start = min(start + leading, end)
        if trailing and end >= trailing:
            end = max(end - trailing, start)
        out.append((start, end))
    return out
