"""A plain, slow reference of the encoding rules for arbitrary bytes: the character decoding,
the rule sets of the pre-tokenizers and classic byte-pair merging. It is what encode_bytes is
compared with where the input is no valid UTF-8 and tiktoken cannot serve as the reference."""

import bisect
import functools

from datafiles import DATA, read_uniclass, read_vocab

LETTER, NUMBER, WHITESPACE, UPPER, LOWER = (1 << i for i in range(5))


class Classes:
    def __init__(self, file_name, count):
        self.sections = read_uniclass(DATA / file_name, count)
        self.ends = [[hi for _, hi in ranges] for ranges in self.sections]

    def flags(self, cp):
        bits = 0
        for i, ranges in enumerate(self.sections):
            k = bisect.bisect_left(self.ends[i], cp)
            if k < len(ranges) and ranges[k][0] <= cp:
                bits |= 1 << i
        return bits


def char_at(s, p):
    """(code point, length) of the character at p: any bytes decode."""
    b0, n = s[p], len(s)
    if b0 < 0x80:
        return b0, 1
    if 0xC0 <= b0 <= 0xDF and p + 1 < n:
        return ((b0 & 0x1F) << 6) | (s[p + 1] & 0x3F), 2
    if 0xE0 <= b0 <= 0xEF and p + 2 < n:
        return ((b0 & 0x0F) << 12) | ((s[p + 1] & 0x3F) << 6) | (s[p + 2] & 0x3F), 3
    if 0xF0 <= b0 <= 0xF7 and p + 3 < n:
        cp = ((b0 & 0x07) << 18) | ((s[p + 1] & 0x3F) << 12) | ((s[p + 2] & 0x3F) << 6)
        return cp | (s[p + 3] & 0x3F), 4
    return b0, 1


class Text:
    def __init__(self, s, classes):
        self.s, self.classes = s, classes

    def char(self, p):
        return char_at(self.s, p)

    def has(self, p, bits):
        return p < len(self.s) and bool(self.classes.flags(self.char(p)[0]) & bits)

    def is_other(self, p):
        return p < len(self.s) and not self.classes.flags(self.char(p)[0]) & (LETTER | NUMBER | WHITESPACE)

    def run(self, p, test):
        while p < len(self.s) and test(p):
            p += self.char(p)[1]
        return p

    def numbers(self, p):
        for _ in range(3):
            if not self.has(p, NUMBER):
                break
            p += self.char(p)[1]
        return p

    def whitespace(self, p):
        """(end, start of the last character, end of the last newline or None)."""
        end, last, newline = p, p, None
        while self.has(end, WHITESPACE):
            cp, length = self.char(end)
            last, end = end, end + length
            if cp in (10, 13):
                newline = end
        return end, last, newline


def contraction(s, after):
    """Length of an ASCII contraction suffix after an apostrophe ending at `after`."""
    lower = bytes(b | 0x20 if 65 <= b <= 90 else b for b in s[after : after + 2])
    if lower[:1] in (b"s", b"t", b"m", b"d"):
        return 1
    if len(lower) == 2 and lower in (b"ll", b"re", b"ve"):
        return 2
    return 0


def cl100k_piece(t, p):
    s = t.s
    cp, w = t.char(p)
    if cp == 0x27 and p + w < len(s) and (k := contraction(s, p + w)):
        return w + k
    if t.has(p, LETTER):
        return t.run(p + w, lambda q: t.has(q, LETTER)) - p
    if cp not in (10, 13) and not t.has(p, NUMBER) and t.has(p + w, LETTER):
        return t.run(p + w, lambda q: t.has(q, LETTER)) - p
    if t.has(p, NUMBER):
        return t.numbers(p) - p
    q = p + w if cp == 0x20 else p
    if t.is_other(q):
        end = t.run(q, t.is_other)
        while end < len(s) and s[end] in (10, 13):
            end += 1
        return end - p
    end, last, newline = t.whitespace(p)
    if end == len(s):
        return end - p
    if newline is not None:
        return newline - p
    return (last if last > p else end) - p


def o200k_piece(t, p):
    s = t.s
    cp, w = t.char(p)

    def form_a(start):
        d, lower_in_upper = start, None
        while t.has(d, UPPER):
            in_lower = t.has(d, LOWER)
            d += t.char(d)[1]
            if in_lower:
                lower_in_upper = d
        e = t.run(d, lambda q: t.has(q, LOWER))
        if e > d:
            return e
        return None if d == start else lower_in_upper

    def form_b(start):
        d = t.run(start, lambda q: t.has(q, UPPER))
        return None if d == start else t.run(d, lambda q: t.has(q, LOWER))

    if cp not in (10, 13) and not t.has(p, LETTER | NUMBER):
        tries = [lambda: form_a(p + w), lambda: form_a(p), lambda: form_b(p + w), lambda: form_b(p)]
    else:
        tries = [lambda: form_a(p), lambda: form_b(p)]
    for attempt in tries:
        end = attempt()
        if end is not None:
            if end < len(s) and s[end] == 0x27 and (k := contraction(s, end + 1)):
                end += 1 + k
            return end - p
    if t.has(p, NUMBER):
        return t.numbers(p) - p
    q = p + w if cp == 0x20 else p
    if t.is_other(q):
        end = t.run(q, t.is_other)
        while end < len(s) and s[end] in (10, 13, 0x2F):
            end += 1
        return end - p
    end, last, newline = t.whitespace(p)
    if newline is not None:
        return newline - p
    if end == len(s):
        return end - p
    return (last if last > p else end) - p


def r50k_piece(t, p):
    s = t.s
    cp, w = t.char(p)
    if cp == 0x27 and s[p + w : p + w + 1] in (b"s", b"t", b"m", b"d"):
        return w + 1
    if cp == 0x27 and s[p + w : p + w + 2] in (b"ll", b"re", b"ve"):
        return w + 2
    q = p + w if cp == 0x20 and p + w < len(s) else p
    for bits in (LETTER, NUMBER):
        if t.has(q, bits):
            return t.run(q, lambda r: t.has(r, bits)) - p
    if t.is_other(q):
        return t.run(q, t.is_other) - p
    end, last, _ = t.whitespace(p)
    return (end if end == len(s) or last == p else last) - p


@functools.cache
def _encoding(name):
    if name == "r50k_base":
        return Classes("uniclass.bin", 3), r50k_piece, read_vocab(DATA / "r50k.vocab")
    if name == "cl100k_base":
        return Classes("uniclass.bin", 3), cl100k_piece, read_vocab(DATA / "cl100k.vocab")
    return Classes("uniclass_o200k.bin", 5), o200k_piece, read_vocab(DATA / "o200k.vocab")


@functools.cache
def _ranks(name):
    return {token: rank for rank, token in enumerate(_encoding(name)[2])}


def classic_bpe(piece, ranks):
    parts = [piece[i : i + 1] for i in range(len(piece))]
    while True:
        pairs = [(ranks.get(parts[i] + parts[i + 1]), i) for i in range(len(parts) - 1)]
        pairs = [(r, i) for r, i in pairs if r is not None]
        if not pairs:
            return [ranks[p] for p in parts]
        _, i = min(pairs)
        parts[i : i + 2] = [parts[i] + parts[i + 1]]


def encode_bytes(name, data):
    """The ids of arbitrary bytes by the rules, plainly."""
    classes, piece_length, _ = _encoding(name)
    text, ids, p = Text(data, classes), [], 0
    while p < len(data):
        length = piece_length(text, p)
        ids.extend(classic_bpe(data[p : p + length], _ranks(name)))
        p += length
    return ids
