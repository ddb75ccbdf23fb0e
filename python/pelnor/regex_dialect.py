"""tiktoken's pattern dialect rewritten in PCRE2's syntax, for the native regex splitter.

Most of a pattern means the same in both; this rewrites what PCRE2 spells or reads differently
and refuses, naming it and its position, what PCRE2 cannot do.
"""

import re

# Rust's \w: Unicode word characters.
_WORD_ITEMS = r"\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\p{Join_Control}"
_SPACE = r"\p{White_Space}"
# A bare \p{Name} names a general category, else a binary property, else a script; PCRE2 reads
# a bare script name as its script extensions, so scripts are named as such.
_CATEGORIES = {
    "c", "cc", "cf", "cn", "co", "cs", "l", "lc", "ll", "lm", "lo", "lt", "lu", "m", "mc", "me",
    "mn", "n", "nd", "nl", "no", "p", "pc", "pd", "pe", "pf", "pi", "po", "ps", "s", "sc", "sk",
    "sm", "so", "z", "zl", "zp", "zs", "any",
}
# Long category names, which PCRE2 knows only by their short ones.
_CATEGORY_NAMES = {
    "other": "C", "control": "Cc", "cntrl": "Cc", "format": "Cf", "unassigned": "Cn",
    "privateuse": "Co", "surrogate": "Cs", "letter": "L", "casedletter": "LC",
    "lowercaseletter": "Ll", "modifierletter": "Lm", "otherletter": "Lo",
    "titlecaseletter": "Lt", "uppercaseletter": "Lu", "mark": "M", "combiningmark": "M",
    "spacingmark": "Mc", "enclosingmark": "Me", "nonspacingmark": "Mn", "number": "N",
    "decimalnumber": "Nd", "digit": "Nd", "letternumber": "Nl", "othernumber": "No",
    "punctuation": "P", "punct": "P", "connectorpunctuation": "Pc", "dashpunctuation": "Pd",
    "closepunctuation": "Pe", "finalpunctuation": "Pf", "initialpunctuation": "Pi",
    "otherpunctuation": "Po", "openpunctuation": "Ps", "symbol": "S", "currencysymbol": "Sc",
    "modifiersymbol": "Sk", "mathsymbol": "Sm", "othersymbol": "So", "separator": "Z",
    "lineseparator": "Zl", "paragraphseparator": "Zp", "spaceseparator": "Zs",
}
_BINARY_PROPERTIES = {
    "ascii", "asciihexdigit", "ahex", "alphabetic", "alpha", "bidicontrol", "bidic",
    "bidimirrored", "bidim", "caseignorable", "ci", "cased", "changeswhencasefolded", "cwcf",
    "changeswhencasemapped", "cwcm", "changeswhenlowercased", "cwl", "changeswhentitlecased",
    "cwt", "changeswhenuppercased", "cwu", "dash", "defaultignorablecodepoint", "di",
    "deprecated", "dep", "diacritic", "dia", "emoji", "emojicomponent", "ecomp",
    "emojimodifier", "emod", "emojimodifierbase", "ebase", "emojipresentation", "epres",
    "extendedpictographic", "extpict", "extender", "ext", "graphemebase", "grbase",
    "graphemeextend", "grext", "graphemelink", "grlink", "hexdigit", "hex", "idsbinaryoperator",
    "idsb", "idstrinaryoperator", "idst", "idsunaryoperator", "idsu", "idcontinue", "idc",
    "idstart", "ids", "ideographic", "ideo", "joincontrol", "joinc", "logicalorderexception",
    "loe", "lowercase", "lower", "math", "noncharactercodepoint", "nchar", "patternsyntax",
    "patsyn", "patternwhitespace", "patws", "prependedconcatenationmark", "pcm",
    "quotationmark", "qmark", "radical", "regionalindicator", "ri", "sentenceterminal", "sterm",
    "softdotted", "sd", "terminalpunctuation", "term", "unifiedideograph", "uideo", "uppercase",
    "upper", "variationselector", "vs", "whitespace", "wspace", "space", "xidcontinue", "xidc",
    "xidstart", "xids",
}
_POSIX = {
    "alnum": "0-9A-Za-z", "alpha": "A-Za-z", "ascii": r"\x00-\x7F", "blank": r"\t\x20",
    "cntrl": r"\x00-\x1F\x7F", "digit": "0-9", "graph": "!-~", "lower": "a-z", "print": r"\x20-~",
    "punct": r"!-/:-@\[-`{-~", "space": r"\t\n\x0B\f\r\x20", "upper": "A-Z",
    "word": "0-9A-Za-z_", "xdigit": "0-9A-Fa-f",
}
_SET_OPERATORS = {"&&": "&", "--": "-", "~~": "^"}
# General categories that hold no character whose case partner is outside them: the only
# properties that PCRE2's case-insensitive matching reads as tiktoken's does (which closes a
# class over case folding, where PCRE2 reads \p{Lu} as any cased letter and folds no script).
_CASE_CLOSED = {
    "n", "nd", "nl", "no", "p", "pc", "pd", "pe", "pf", "pi", "po", "ps", "s", "sc", "sk", "sm",
    "so", "z", "zl", "zp", "zs", "c", "cc", "cf", "cn", "co", "cs",
}


def to_pcre2(pattern: str) -> str:
    """Returns pattern rewritten in PCRE2's syntax; raises ValueError for what PCRE2 cannot do."""
    try:
        return _Translator(pattern).pattern()
    except RecursionError:
        raise ValueError("pelnor: pat_str nests its classes too deeply") from None


def _loose(name):
    return re.sub(r"[\s_-]", "", name).lower()


def _property(name, negated):
    """Returns PCRE2's spelling of \\p{name} (or \\P{name})."""
    letter = "P" if negated else "p"
    key, sep, value = name.partition("=") if "=" in name else name.partition(":")
    if sep:
        kind = _loose(key)
        if kind in ("generalcategory", "gc"):
            return f"\\{letter}{{{_CATEGORY_NAMES.get(_loose(value), value)}}}"
        if kind in ("script", "sc"):
            return f"\\{letter}{{sc:{value}}}"
        if kind in ("scriptextensions", "scx"):
            return f"\\{letter}{{scx:{value}}}"
        return f"\\{letter}{{{name}}}"
    loose = _loose(name)
    if loose == "assigned":
        return "\\" + ("p" if negated else "P") + "{Cn}"
    if loose in _CATEGORY_NAMES:
        return f"\\{letter}{{{_CATEGORY_NAMES[loose]}}}"
    if loose in _CATEGORIES or loose in _BINARY_PROPERTIES:
        return f"\\{letter}{{{name}}}"
    return f"\\{letter}{{sc:{name}}}"


def _case_closed(name):
    """Whether \\p{name} is one of the _CASE_CLOSED categories."""
    spelled = _property(name, False)  # \p{…}
    return _loose(spelled[len("\\p{") : -1]) in _CASE_CLOSED


class _Translator:
    def __init__(self, pattern):
        self.src = pattern
        self.pos = 0
        self.caseless = False  # under the i flag here
        self.outer_caseless = []  # the flag outside each open group

    def refuse(self, what, at):
        raise ValueError(f"pelnor: pat_str uses {what} at position {at}, which PCRE2 cannot do")

    def peek(self, text):
        return self.src.startswith(text, self.pos)

    def pattern(self):
        out = []
        while self.pos < len(self.src):
            c = self.src[self.pos]
            if c == "\\":
                out.append(self.escape(in_class=False))
            elif c == "[":
                out.append(self.char_class())
            elif c == "(":
                out.append(self.group_opening())
            elif c == ")":
                if self.outer_caseless:
                    self.caseless = self.outer_caseless.pop()
                out.append(c)
                self.pos += 1
            else:
                out.append(c)
                self.pos += 1
        return "".join(out)

    def group_opening(self):
        """Copies a group opening, or flags that hold to the end of the enclosing group;
        ASCII-only and CRLF modes are refused."""
        m = re.compile(r"\(\?([a-zA-Z-]*)([:)])").match(self.src, self.pos)
        if m is None or m.group(2) == ":":
            self.outer_caseless.append(self.caseless)
        if m is None:
            opening = "(?" if self.peek("(?") else "("
            self.pos += len(opening)
            return opening
        for flag in m.group(1).replace("-", ""):
            if flag not in "imsxU":
                self.refuse(f"the flag {flag!r}", self.pos)
        on, _, off = m.group(1).partition("-")
        self.caseless = ("i" in on or self.caseless) and "i" not in off
        self.pos = m.end()
        return m.group(0)

    def escape(self, in_class):
        """Translates the escape at pos; in a class, returns class items."""
        start = self.pos
        src = self.src
        if start + 1 >= len(src):
            self.refuse("a trailing backslash", start)
        c = src[start + 1]
        self.pos = start + 2
        if c in "pP":
            if self.peek("{"):
                end = src.find("}", self.pos)
                if end < 0:
                    self.refuse("an unclosed \\p{", start)
                name = src[self.pos + 1 : end]
                self.pos = end + 1
            else:
                name = src[self.pos : self.pos + 1]
                self.pos += 1
            if self.caseless and not _case_closed(name):
                self.refuse(f"\\{c}{{{name}}} under the case-insensitive flag", start)
            return _property(name, c == "P")
        if c == "v":  # only the vertical tab in tiktoken's dialect, any vertical space in PCRE2's
            return r"\x{0B}"
        if c == "s":
            return _SPACE
        if c == "S":
            return r"\P{White_Space}"
        if c == "w":
            return _WORD_ITEMS if in_class else f"[{_WORD_ITEMS}]"
        if c == "W":
            if in_class:
                self.refuse("\\W inside a character class", start)
            return f"[^{_WORD_ITEMS}]"
        if c in "hH":  # a hex digit in tiktoken's dialect, horizontal space in PCRE2's
            items = "0-9A-Fa-f"
            return items if in_class and c == "h" else (f"[{items}]" if c == "h" else f"[^{items}]")
        if c in "bB" and not in_class:
            if self.peek("{"):
                self.refuse("a \\b{...} word-boundary form", start)
            word = f"[{_WORD_ITEMS}]"
            boundary = f"(?:(?<={word})(?!{word})|(?<!{word})(?={word}))"
            return boundary if c == "b" else f"(?:(?<={word})(?={word})|(?<!{word})(?!{word}))"
        if c in "<>":
            self.refuse(f"the word-boundary escape \\{c}", start)
        if c in "xuU":
            braced = re.compile(r"\{([0-9A-Fa-f]+)\}").match(src, self.pos)
            width = {"x": 2, "u": 4, "U": 8}[c]
            fixed = re.compile(rf"[0-9A-Fa-f]{{{width}}}").match(src, self.pos)
            found = braced or fixed
            if found is None:
                self.refuse(f"a malformed \\{c} escape", start)
            self.pos = found.end()
            digits = braced.group(1) if braced else fixed.group(0)
            return f"\\x{{{digits}}}"
        return src[start : self.pos]

    def char_class(self):
        """Translates a class; one with nested classes or set operations becomes PCRE2's
        extended class (?[...])."""
        node = self.class_node()
        if node["extended"]:
            return f"(?[{_expression(node)}])"
        return "[" + ("^" if node["negated"] else "") + "".join(node["operands"][0][1]) + "]"

    def class_node(self):
        """Parses [...] at pos: negation and operands joined by set operators, each operand a
        list of items (PCRE2 class text, or nested class nodes)."""
        start = self.pos
        self.pos += 1
        negated = self.peek("^")
        if negated:
            self.pos += 1
        operands = [[None, []]]
        extended = False
        first = True
        src = self.src
        while True:
            if self.pos >= len(src):
                self.refuse("an unclosed character class", start)
            c = src[self.pos]
            items = operands[-1][1]
            if c == "]" and not first:
                self.pos += 1
                break
            first = False
            op = src[self.pos : self.pos + 2]
            if op in _SET_OPERATORS:
                operands.append([_SET_OPERATORS[op], []])
                extended = True
                self.pos += 2
            elif self.peek("[:"):
                end = src.find(":]", self.pos)
                name = src[self.pos + 2 : end] if end > 0 else ""
                if name not in _POSIX:
                    self.refuse(f"the POSIX class [:{name}:]", self.pos)
                items.append(_POSIX[name])
                self.pos = end + 2
            elif c == "[":
                items.append(self.class_node())
                extended = True
            elif c == "\\":
                items.append(self.escape(in_class=True))
            else:
                # An extended class ignores white space that is not escaped, and a `^` that
                # starts an operand would negate it.
                items.append(f"\\x{{{ord(c):X}}}" if c.isspace() or c == "^" else c)
                self.pos += 1
        return {"negated": negated, "operands": operands, "extended": extended}


def _expression(node):
    """A class node as an operand of PCRE2's extended class: set operations left to right."""
    text = ""
    for op, items in node["operands"]:
        operand = _union(items)
        text = operand if op is None else f"({text}{op}{operand})"
    return f"!{text}" if node["negated"] else text


def _union(items):
    plain = "".join(item for item in items if isinstance(item, str))
    parts = [f"[{plain}]"] if plain else []
    parts += [f"({_expression(item)})" for item in items if not isinstance(item, str)]
    if not parts:
        return "[^\\x{0}-\\x{10FFFF}]"
    return parts[0] if len(parts) == 1 else "(" + "+".join(parts) + ")"
