"""Split patterns of Hugging Face tokenizer files, written in Oniguruma's (Ruby) dialect,
rewritten in PCRE2's syntax for the native splitter; each rule found by experiment against HF's
own Split.

What the two read differently is rewritten: an option such as `(?i)` inside a group reaches to the
group's end, later alternatives included; `(?m)` makes `.` match a line break; `^` and `$` are
line anchors; `X{n,m}+` repeats `X{n,m}` (no possessive interval); `\\s` is White_Space, `\\w`
letters, marks, numbers and connectors, `\\h` a hex digit, `\\v` the vertical tab; `\\p{...}` is
not folded by `(?i)`. What PCRE2 cannot do the same way is refused with ValueError naming it:
back-references, `\\K`, `\\R`, `\\X`, `\\G`, POSIX brackets, negated or intersected nested
classes, and under `(?i)` literals that fold to several characters (`ß` matches "ss" there).
"""

import re
import sys

# Oniguruma's \w, which the word boundaries use too: Unicode's word characters and, as its
# Latin-1 table has them, the superscripts and fractions ²³¹¼½¾; inside a class, without them.
_WORD = r"\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\x{B2}\x{B3}\x{B9}\x{BC}-\x{BE}"
_CLASS_WORD = [r"\p{Alphabetic}", r"\p{M}", r"\p{Nd}", r"\p{Pc}"]
# Properties inside a class are folded under (?i); these hold no character whose case partner
# lies outside them.
_CASE_CLOSED = re.compile(r"\\[pP]\{(?:[NPSZC][a-z]?|White_Space|Any)\}")
_SPACE = r"\p{White_Space}"
_HEX_RANGES = ((0x30, 0x39), (0x41, 0x46), (0x61, 0x66))
_CONTROL_ESCAPES = {"n": 0x0A, "r": 0x0D, "t": 0x09, "f": 0x0C, "v": 0x0B, "a": 0x07, "e": 0x1B}
_PCRE2_META = set("\\^$.|?*+()[]{}#")
_CATEGORIES = {
    "l", "lu", "ll", "lt", "lm", "lo", "lc", "m", "mn", "mc", "me", "n", "nd", "nl", "no", "p",
    "pc", "pd", "ps", "pe", "pi", "pf", "po", "s", "sm", "sc", "sk", "so", "z", "zs", "zl", "zp",
    "c", "cc", "cf", "cs", "co", "cn",
}
_CATEGORY_NAMES = {
    "letter": "L", "uppercaseletter": "Lu", "lowercaseletter": "Ll", "titlecaseletter": "Lt",
    "modifierletter": "Lm", "otherletter": "Lo", "casedletter": "LC", "mark": "M",
    "nonspacingmark": "Mn", "spacingmark": "Mc", "enclosingmark": "Me", "number": "N",
    "decimalnumber": "Nd", "letternumber": "Nl", "othernumber": "No", "punctuation": "P",
    "connectorpunctuation": "Pc", "dashpunctuation": "Pd", "openpunctuation": "Ps",
    "closepunctuation": "Pe", "initialpunctuation": "Pi", "finalpunctuation": "Pf",
    "otherpunctuation": "Po", "symbol": "S", "mathsymbol": "Sm", "currencysymbol": "Sc",
    "modifiersymbol": "Sk", "othersymbol": "So", "separator": "Z", "spaceseparator": "Zs",
    "lineseparator": "Zl", "paragraphseparator": "Zp", "other": "C", "control": "Cc",
    "format": "Cf", "surrogate": "Cs", "privateuse": "Co", "unassigned": "Cn",
}
_SCRIPTS = {
    "latin", "greek", "cyrillic", "armenian", "hebrew", "arabic", "syriac", "thaana", "nko",
    "devanagari", "bengali", "gurmukhi", "gujarati", "oriya", "tamil", "telugu", "kannada",
    "malayalam", "sinhala", "thai", "lao", "tibetan", "myanmar", "georgian", "hangul",
    "ethiopic", "cherokee", "khmer", "mongolian", "hiragana", "katakana", "bopomofo", "han", "yi",
    "common", "inherited", "tagalog", "javanese", "balinese", "sundanese", "tifinagh", "vai",
}
_BINARY = {"whitespace": "White_Space", "alphabetic": "Alphabetic", "any": "Any"}


def to_pcre2(pattern: str) -> str:
    """Returns the Oniguruma pattern rewritten in PCRE2's syntax; raises ValueError for what
    cannot be rewritten exactly."""
    try:
        return _Translator(pattern).translate()
    except RecursionError:
        raise ValueError("pelnor.hf: the Split pattern nests too deeply") from None


def literal_to_pcre2(text: str) -> str:
    """Returns a PCRE2 pattern that matches text literally (a Split's String pattern)."""
    return "".join(_literal(ord(c)) for c in text)


def _literal(cp):
    char = chr(cp)
    if char in _PCRE2_META:
        return "\\" + char
    if cp < 0x21 or cp > 0x7E:
        return f"\\x{{{cp:X}}}"
    return char


def _in_class(cp):
    return f"\\x{{{cp:X}}}"


# Where the characters that fold to several characters are (a test checks all of Unicode).
MULTI_FOLD_RANGES = ((0, 0x600), (0x1E00, 0x2000), (0xFB00, 0xFB20))


def multi_folds():
    """The full case foldings of several characters (ß folds to "ss"), which Oniguruma matches
    case-insensitively and PCRE2 does not."""
    return {
        folded
        for low, high in MULTI_FOLD_RANGES
        for folded in (chr(cp).casefold() for cp in range(low, high))
        if len(folded) > 1
    }


class _Translator:
    _folds = None

    def __init__(self, pattern):
        self.pattern = pattern
        self.pos = 0

    def fail(self, what):
        raise ValueError(f"pelnor.hf: the Split pattern {self.pattern!r} uses {what} "
                         f"(at character {self.pos}), which pelnor cannot match as HF does")

    def peek(self, offset=0):
        at = self.pos + offset
        return self.pattern[at] if at < len(self.pattern) else ""

    def take(self):
        char = self.peek()
        if not char:
            self.fail("an unfinished construct")
        self.pos += 1
        return char

    def translate(self):
        out = self.alternation(caseless=False, dotall=False, extended=False)
        if self.pos < len(self.pattern):
            self.fail("an unmatched ')'")
        return out

    # ---- structure -----------------------------------------------------------------------------

    def alternation(self, caseless, dotall, extended):
        branches = []
        while True:
            branch, took_rest = self.sequence(caseless, dotall, extended)
            branches.append(branch)
            if took_rest or self.peek() != "|":
                return "|".join(branches)
            self.pos += 1

    def sequence(self, caseless, dotall, extended):
        """Returns the branch up to the next | or ), and whether an option inside it took in the
        rest of the group, later branches too, as Oniguruma reads `a(?i)b|c` as `a(?i:b|c)`."""
        items = []  # (PCRE2 text, whether a quantifier may follow, literal code point or None)
        while self.peek() and self.peek() not in "|)":
            if extended and self.skip_extended():
                continue
            if self.pattern.startswith("(?", self.pos):
                flags = self.isolated_option(caseless, dotall, extended)
                if flags is not None:
                    rest = self.alternation(*flags)
                    self.check_folds(items, caseless)
                    prefix = "".join(text for text, _, _ in items)
                    return prefix + self.scoped(flags[0], caseless, rest), True
            items.append(self.atom(caseless, dotall, extended))
            self.quantifiers(items, caseless)
        self.check_folds(items, caseless)
        return "".join(text for text, _, _ in items), False

    def skip_extended(self):
        if self.peek().isspace():
            self.pos += 1
            return True
        if self.peek() == "#":
            while self.peek() and self.peek() != "\n":
                self.pos += 1
            return True
        return False

    def option_flags(self, caseless, dotall, extended, letters):
        on = True
        for letter in letters:
            if letter == "-":
                on = False
            elif letter == "i":
                caseless = on
            elif letter == "m":
                dotall = on
            elif letter == "x":
                extended = on
            else:
                self.fail(f"the option {letter!r}")
        return caseless, dotall, extended

    def isolated_option(self, caseless, dotall, extended):
        """Reads `(?flags)` and returns the flags it sets; None (reading nothing) for any other
        group."""
        found = re.compile(r"\(\?([imx-]+)\)").match(self.pattern, self.pos)
        if not found:
            return None
        self.pos = found.end()
        return self.option_flags(caseless, dotall, extended, found.group(1))

    @staticmethod
    def scoped(inner_caseless, outer_caseless, text):
        if inner_caseless == outer_caseless:
            return f"(?:{text})"
        return f"(?{'i' if inner_caseless else '-i'}:{text})"

    def group(self, caseless, dotall, extended):
        """Translates a group; the opening parenthesis is read."""
        if self.peek() != "?":
            return self.group_body("(?:", caseless, dotall, extended)
        self.pos += 1
        for opening in ("=", "!", "<=", "<!", ">", ":"):
            if self.pattern.startswith(opening, self.pos):
                self.pos += len(opening)
                return self.group_body(f"(?{opening}", caseless, dotall, extended)
        if self.peek() == "#":
            while self.take() != ")":
                pass
            return ""
        named = re.compile(r"<([A-Za-z_]\w*)>|'([A-Za-z_]\w*)'").match(self.pattern, self.pos)
        if named:
            self.pos = named.end()
            return self.group_body("(?:", caseless, dotall, extended)
        scoped = re.compile(r"([imx-]+):").match(self.pattern, self.pos)
        if scoped:
            self.pos = scoped.end()
            flags = self.option_flags(caseless, dotall, extended, scoped.group(1))
            body = self.alternation(*flags)
            self.close()
            return self.scoped(flags[0], caseless, body)
        self.fail("this kind of group")

    def group_body(self, opening, caseless, dotall, extended):
        body = self.alternation(caseless, dotall, extended)
        self.close()
        return opening + body + ")"

    def close(self):
        if self.peek() != ")":
            self.fail("an unclosed group")
        self.pos += 1

    # ---- atoms and quantifiers -----------------------------------------------------------------

    def atom(self, caseless, dotall, extended):
        """Returns (PCRE2 text, whether a quantifier may follow, the literal's code point)."""
        char = self.take()
        if char == "(":
            return self.group(caseless, dotall, extended), True, None
        if char == "[":
            return self.char_class(caseless), True, None
        if char == ".":
            return ("(?s:.)" if dotall else "[^\\n]"), True, None
        if char == "^":
            return "(?<![^\\n])", False, None
        if char == "$":
            return "(?![^\\n])", False, None
        if char == "\\":
            return self.escape(caseless)
        if char in "*+?":
            self.fail("a quantifier with nothing to repeat")
        if char == "{" and self.interval_at(self.pos - 1):
            self.fail("a quantifier with nothing to repeat")
        return _literal(ord(char)), True, ord(char)

    _INTERVAL = re.compile(r"\{(?:(\d+)(?:(,)(\d*))?|,(\d+))\}")

    def interval_at(self, at):
        """The interval quantifier at `at`: {n}, {n,}, {,m} or {n,m}; `{,}` and the like are
        literal text."""
        return self._INTERVAL.match(self.pattern, at)

    def quantifiers(self, items, caseless):
        """Reads the quantifiers after the last item; a second one repeats the first's result."""
        while True:
            char = self.peek()
            interval = self.interval_at(self.pos) if char == "{" else None
            if char not in ("*", "+", "?") and not interval:
                return
            text, quantifiable, literal = items[-1]
            if not quantifiable:
                self.fail("a quantifier on an anchor")
            if literal is not None and caseless:
                self.check_repeated_fold(literal)
            if interval:
                self.pos = interval.end()
                low = interval.group(1) or "0"
                high = interval.group(4) or (interval.group(3) if interval.group(2) else low)
                quantifier = f"{{{low},{high}}}"
                if self.peek() == "?":  # lazy; a + after an interval is another quantifier
                    quantifier += "?"
                    self.pos += 1
            else:
                self.pos += 1
                quantifier = char
                if self.peek() in ("?", "+"):
                    quantifier += self.take()
            items[-1] = (f"(?:{text}){quantifier}", True, None)

    def escape(self, caseless):
        char = self.take()
        word = f"[{_WORD}]"
        simple = {
            "d": r"\p{Nd}", "D": r"\P{Nd}", "s": _SPACE, "S": r"\P{White_Space}",
            "w": self.uncased(f"[{_WORD}]", caseless), "W": self.uncased(f"[^{_WORD}]", caseless),
            "h": "[0-9A-Fa-f]", "H": "[^0-9A-Fa-f]", "A": r"\A", "z": r"\z", "Z": r"(?=\n?\z)",
        }
        if char in simple:
            return simple[char], char not in "AzZ", None
        if char in "bB":
            inside, outside = self.uncased(f"(?<={word})", caseless), f"(?<!{word})"
            ahead, not_ahead = self.uncased(f"(?={word})", caseless), f"(?!{word})"
            if char == "b":
                return f"(?:{inside}{not_ahead}|{outside}{ahead})", False, None
            return f"(?:{inside}{ahead}|{outside}{not_ahead})", False, None
        if char in "pP":
            return self.uncased(self.property(char == "P"), caseless), True, None
        cp = self.escaped_code_point(char)
        return _literal(cp), True, cp

    def escaped_code_point(self, char):
        """The code point of an escape that stands for one character (its letter read)."""
        if char in _CONTROL_ESCAPES:
            return _CONTROL_ESCAPES[char]
        if char in "xu":
            spelled = (re.compile(r"\{([0-9A-Fa-f]{1,8})\}").match(self.pattern, self.pos)
                       if char == "x" and self.peek() == "{" else None)
            if spelled is None:
                digits = 2 if char == "x" else 4
                spelled = re.compile(f"()([0-9A-Fa-f]{{{digits}}})").match(self.pattern, self.pos)
            if spelled is None:
                self.fail(f"a malformed \\{char} escape")
            self.pos = spelled.end()
            cp = int(spelled.group(spelled.lastindex), 16)
            if cp > sys.maxunicode:
                self.fail("a code point beyond Unicode")
            return cp
        if char.isascii() and char.isalnum():
            self.fail(f"the escape \\{char}")
        return ord(char)

    @staticmethod
    def uncased(text, caseless):
        # Oniguruma leaves properties out of case folding; PCRE2 would fold \p{Lu} into any
        # cased letter.
        return f"(?-i:{text})" if caseless else text

    def property(self, negated):
        found = re.compile(r"\{(\^?)([^}]*)\}").match(self.pattern, self.pos)
        if not found:
            self.fail("a malformed \\p escape")
        self.pos = found.end()
        negated ^= bool(found.group(1))
        name = re.sub(r"[\s_-]", "", found.group(2)).lower()
        if name in _CATEGORIES:
            spelled = name[0].upper() + name[1:]
            spelled = "L&" if spelled == "Lc" else spelled
        elif name in _CATEGORY_NAMES:
            spelled = _CATEGORY_NAMES[name]
            spelled = "L&" if spelled == "LC" else spelled
        elif name in _SCRIPTS:
            spelled = "sc:" + found.group(2).strip()
        elif name in _BINARY:
            spelled = _BINARY[name]
        elif name == "assigned":
            spelled, negated = "Cn", not negated
        else:
            self.fail(f"the property {found.group(2)!r}")
        return f"\\{'P' if negated else 'p'}{{{spelled}}}"

    # ---- case folding --------------------------------------------------------------------------

    def folds(self):
        if _Translator._folds is None:
            _Translator._folds = multi_folds()
        return _Translator._folds

    def check_folds(self, items, caseless):
        """Refuses literals, alone or in a row, that Oniguruma folds together with a character
        of several folded characters."""
        if not caseless:
            return
        run = []
        for _, _, literal in [*items, ("", False, None)]:
            if literal is not None:
                run.append(chr(literal).casefold())
                continue
            folded = "".join(run)
            if len(run) > 1 and any(fold in folded for fold in self.folds()):
                self.fail(f"case-insensitive letters {folded!r} that one character folds to")
            run = []
        for _, _, literal in items:
            if literal is not None and len(chr(literal).casefold()) > 1:
                self.fail(f"the case-insensitive {chr(literal)!r}, which folds to several letters")

    def check_repeated_fold(self, literal):
        folded = chr(literal).casefold()
        if any(fold == folded * len(fold) for fold in self.folds()):
            self.fail(f"a repeated case-insensitive {chr(literal)!r}")

    # ---- character classes ---------------------------------------------------------------------

    def char_class(self, caseless):
        """Translates a class; the opening bracket is read."""
        negated, literals, properties = self.class_items(caseless)
        for item in properties:
            # Oniguruma closes a class's properties over case folding, PCRE2 reads \p{Lu} as any
            # cased letter: the same only for properties without cased letters.
            if caseless and not _CASE_CLOSED.fullmatch(item):
                self.fail(f"the case-insensitive class item {item!r}")
        return f"[{'^' if negated else ''}{''.join(literals + properties)}]"

    def class_items(self, caseless):
        """Reads a class up to its closing bracket: (negated, literal items, property items)."""
        negated = self.peek() == "^"
        if negated:
            self.pos += 1
        literals, properties = [], []
        first = True
        while True:
            char = self.take()
            if char == "]" and not first:
                return negated, literals, properties
            first = False
            if char == "[":
                if self.peek() == ":":
                    self.fail("a POSIX bracket")
                inner_negated, inner_literals, inner_properties = self.class_items(caseless)
                if inner_negated:
                    self.fail("a negated class inside a class")
                literals += inner_literals
                properties += inner_properties
                continue
            if char == "&" and self.peek() == "&":
                self.fail("a class intersection")
            cp = None
            if char == "\\":
                escaped = self.take()
                shorthand = {
                    "d": [r"\p{Nd}"], "D": [r"\P{Nd}"], "s": [_SPACE], "S": [r"\P{White_Space}"],
                    "w": _CLASS_WORD,
                }
                if escaped in shorthand:
                    properties += shorthand[escaped]
                    continue
                if escaped == "h":
                    literals += [f"{_in_class(a)}-{_in_class(b)}" for a, b in _HEX_RANGES]
                    continue
                if escaped in "pP":
                    properties.append(self.property(escaped == "P"))
                    continue
                if escaped in "WHb":
                    self.fail(f"\\{escaped} inside a class")
                cp = self.escaped_code_point(escaped)
            else:
                cp = ord(char)
            if caseless and len(chr(cp).casefold()) > 1:
                self.fail(f"the case-insensitive {chr(cp)!r}, which folds to several letters")
            if self.peek() == "-" and self.peek(1) not in ("]", ""):
                self.pos += 1
                end = self.take()
                end_cp = self.escaped_code_point(self.take()) if end == "\\" else ord(end)
                if end == "[" or end_cp < cp:
                    self.fail("a malformed range")
                literals.append(f"{_in_class(cp)}-{_in_class(end_cp)}")
            else:
                literals.append(_in_class(cp))
