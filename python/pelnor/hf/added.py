"""Added tokens as HF finds them in a text: the leftmost, longest first, without overlaps; a
single_word token only with no word character beside it (the candidate is dropped, not a shorter
one tried), lstrip and rstrip taking in the white space before and after it (rstrip even the
start of a next token)."""

import re
import unicodedata

WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009"
    "\u200a\u2028\u2029\u202f\u205f\u3000"
)
# Alphabetic symbols (the circled and squared letters), which are word characters.
_ALPHABETIC_SYMBOLS = ((0x24B6, 0x24E9), (0x1F130, 0x1F149), (0x1F150, 0x1F169),
                       (0x1F170, 0x1F189))


def is_word_char(char):
    """A word character as HF's single_word reads it: alphabetic, a mark, a decimal digit, a
    connector or a joiner."""
    category = unicodedata.category(char)
    if category[0] in "LM" or category in ("Nd", "Nl", "Pc") or char in "\u200c\u200d":
        return True
    return any(low <= ord(char) <= high for low, high in _ALPHABETIC_SYMBOLS)


class AddedTokenFinder:
    """Finds a set of added tokens (AddedToken objects) in stretches of text."""

    def __init__(self, tokens):
        self.by_content = {token.content: token for token in tokens}
        longest_first = sorted(self.by_content, key=len, reverse=True)
        self.pattern = re.compile("|".join(map(re.escape, longest_first))) if tokens else None

    def split(self, text, lo=0, hi=None):
        """Returns the parts of text[lo:hi] in order: (start, end, AddedToken) for each token
        found, (start, end, None) for each non-empty stretch between; the stretch is the text
        the search sees."""
        hi = len(text) if hi is None else hi
        parts, covered = [], lo
        if self.pattern is not None:
            for found in self.pattern.finditer(text, lo, hi):
                start, end = found.span()
                token = self.by_content[found.group()]
                if token.single_word and ((start > lo and is_word_char(text[start - 1]))
                                          or (end < hi and is_word_char(text[end]))):
                    continue
                # lstrip stops at the token before; rstrip may reach into the next one, which
                # keeps its own span.
                if token.lstrip:
                    while start > covered and text[start - 1] in WHITE_SPACE:
                        start -= 1
                if token.rstrip:
                    while end < hi and text[end] in WHITE_SPACE:
                        end += 1
                if start > covered:
                    parts.append((covered, start, None))
                parts.append((start, end, token))
                covered = max(covered, end)
        if hi > covered:
            parts.append((covered, hi, None))
        return parts
