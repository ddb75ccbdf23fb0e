"""tiktoken's pattern dialect (fancy-regex over Rust's regex) parsed and rewritten in PCRE2's
syntax, for the native regex splitter.

The parser accepts what tiktoken's engine accepts, with its meaning, and refuses the rest, naming
the construct and its position: the grammar below is a whitelist. What PCRE2 spells or reads
differently is rewritten, and emulated where PCRE2 has no spelling for it.
"""

import re

from . import unicode_props
from .unicode_props import (
    BREAK_VALUE_NAMES, CATEGORY_NAMES, KEY_NAMES, PCRE2_BINARY_NAMES, SCRIPT_NAMES,
    TABLE_BINARY_NAMES,
)

# Rust's \w: Unicode word characters.
_WORD_ITEMS = r"\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\p{Join_Control}"
_WORD = f"[{_WORD_ITEMS}]"
_WORD_BOUNDARY = f"(?:(?<={_WORD})(?!{_WORD})|(?<!{_WORD})(?={_WORD}))"
_NOT_WORD_BOUNDARY = f"(?:(?<={_WORD})(?={_WORD})|(?<!{_WORD})(?!{_WORD}))"
_ALL = r"\x{0}-\x{10FFFF}"
# What a general category may also be; PCRE2 reads these three in any context.
_SPECIAL = {"any": r"\p{Any}", "ascii": r"\p{ASCII}", "assigned": r"\P{Cn}"}
# Common and Inherited, by each of their names.
_UNSPECIFIC_SCRIPTS = {name for name, script in SCRIPT_NAMES.items() if script in ("Zyyy", "Zinh")}
_OTHER_SCRIPTS = ("items", "".join(
    rf"\p{{scx:{name}}}" for name in sorted(SCRIPT_NAMES.keys() - _UNSPECIFIC_SCRIPTS)))
# Age values: V6_0 reads as v60 loosely, beside the plain 6.0.
_AGES = {age: age for age in unicode_props.AGE}
_AGES.update({"v" + age.replace(".", ""): age for age in unicode_props.AGE})
_AGE_ORDER = list(unicode_props.AGE)
_POSIX = {
    "alnum": "0-9A-Za-z", "alpha": "A-Za-z", "ascii": r"\x{0}-\x{7F}", "blank": r"\x{9}\x{20}",
    "cntrl": r"\x{0}-\x{1F}\x{7F}", "digit": "0-9", "graph": r"\x{21}-\x{7E}", "lower": "a-z",
    "print": r"\x{20}-\x{7E}", "punct": r"\x{21}-\x{2F}\x{3A}-\x{40}\x{5B}-\x{60}\x{7B}-\x{7E}",
    "space": r"\x{9}-\x{D}\x{20}", "upper": "A-Z", "word": r"0-9A-Za-z\x{5F}",
    "xdigit": "0-9A-Fa-f",
}
# General categories that hold no character whose case partner is outside them: the only
# properties that PCRE2's case-insensitive matching reads as tiktoken's does (which closes a
# class over case folding, where PCRE2 reads \p{Lu} as any cased letter and folds no script).
_CASE_CLOSED = {
    "N", "Nd", "Nl", "No", "P", "Pc", "Pd", "Pe", "Pf", "Pi", "Po", "Ps", "S", "Sc", "Sk", "Sm",
    "So", "Z", "Zl", "Zp", "Zs", "C", "Cc", "Cf", "Cn", "Co",
}
_FLAGS = "imsxUu"
# Group syntax of other dialects that tiktoken's has not, by what follows "(?".
_FOREIGN_GROUPS = {
    "R": "the recursion (?R)", "&": "the subroutine call (?&", "|": "the branch reset group (?|",
    "C": "the callout (?C", "*": "the non-atomic look-ahead (?*", "'": "the group name (?'",
    "^": "the flag reset (?^", "P>": "the subroutine call (?P>",
}
_SPACE = " \t\n\r"  # what free spacing skips
_ESCAPED_CHARS = {"a": "\a", "e": "\x1b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
_HEX = {"x": 2, "u": 4, "U": 8}
_MAX_DEPTH = 63  # groups tiktoken's engine nests
_MAX_CLASS_DEPTH = 13  # set operations PCRE2's extended classes nest
_MAX_COUNT = 65535  # PCRE2's largest repetition count


def to_pcre2(pattern: str) -> str:
    """Returns pattern rewritten in PCRE2's syntax; raises ValueError for a pattern tiktoken's
    dialect refuses, or one PCRE2 cannot do."""
    try:
        tree = _Parser(pattern).parse()
        return _Emitter().pattern(tree)
    except RecursionError:
        raise ValueError("pelnor: pat_str nests its classes too deeply") from None


def _refuse(what, at, why):
    raise ValueError(f"pelnor: pat_str uses {what} at position {at}, which {why}")


def _unknown(what, at):
    _refuse(what, at, "tiktoken's dialect does not have")


def _invalid(what, at):
    _refuse(what, at, "tiktoken's dialect does not allow")


def _cannot(what, at):
    _refuse(what, at, "PCRE2 cannot do")


def _loose(name):
    return re.sub(r"[\s_-]", "", name).lower()


def _property_name(raw):
    """raw matched loosely; a leading "is" is dropped, except from isc."""
    name = _loose(raw)
    return name[2:] if raw.lower().startswith("is") and name != "isc" else name


def _name_char(c):
    return c == "_" or c.isalnum() or any(
        c in _table_set(unicode_props.BINARY[name])
        for name in ("Other_Alphabetic", "Other_Lowercase", "Other_Uppercase"))


_TABLE_SETS = {}


def _table_set(text):
    """The code points of a table's hex ranges."""
    found = _TABLE_SETS.get(text)
    if found is None:
        found = set()
        for token in text.split():
            start, _, end = token.partition("-")
            found.update(map(chr, range(int(start, 16), int(end or start, 16) + 1)))
        found = _TABLE_SETS[text] = frozenset(found)
    return found


# Sets of characters: ("items", PCRE2 class items), ("not", set), ("or", [sets]),
# ("and" | "minus" | "xor", set, set).
def _items(text):
    return ("items", text)


def _table(*texts):
    """Class items for the union of table ranges."""
    items = []
    for token in " ".join(texts).split():
        start, _, end = token.partition("-")
        items.append(rf"\x{{{start}}}" + (rf"-\x{{{end}}}" if end else ""))
    return _items("".join(items)) if items else _EMPTY


_EMPTY = ("not", _items(_ALL))


def _negate(s):
    return s[1] if s[0] == "not" else ("not", s)


def _class_char(c):
    """c as a class item that PCRE2 reads literally in every class."""
    if c.isascii() and c.isalnum():
        return c
    return "\\" + c if c.isascii() and c.isprintable() and c != " " else rf"\x{{{ord(c):X}}}"


_WORD_SET = _items(_WORD_ITEMS)
_HEX_SET = _items("0-9A-Fa-f")
_CLASS_ESCAPES = {
    "d": _items(r"\p{Nd}"), "D": _items(r"\P{Nd}"), "s": _items(r"\p{White_Space}"),
    "S": _items(r"\P{White_Space}"), "w": _WORD_SET, "W": ("not", _WORD_SET), "h": _HEX_SET,
    "H": ("not", _HEX_SET),
}


def _property(raw, negated, at):
    """The set \\p{raw} names (\\P{raw} if negated), and whether it is closed over case folding;
    refuses names tiktoken's engine does not know."""
    key, sep, value = raw.partition("=")
    if sep and key.endswith("!"):
        key, negated = key[:-1], not negated
    elif not sep:
        key, sep, value = raw.partition(":")
    found = closed = None
    if sep:
        kind = KEY_NAMES.get(_property_name(key))
        name = _property_name(value)
        if kind == "gc" and (name in CATEGORY_NAMES or name in _SPECIAL):
            found, closed = _category(name)
        elif kind == "scx" and name in _UNSPECIFIC_SCRIPTS:
            # A character whose script extensions are listed has not Common or Inherited among
            # them, where PCRE2 reads the script.
            found, closed = ("minus", _items(rf"\p{{sc:{name}}}"), _OTHER_SCRIPTS), False
        elif kind in ("sc", "scx") and name in SCRIPT_NAMES:
            found, closed = _items(rf"\p{{{kind}:{name}}}"), False
        elif kind == "age" and name in _AGES:
            ages = _AGE_ORDER[: _AGE_ORDER.index(_AGES[name]) + 1]
            found, closed = _table(*(unicode_props.AGE[age] for age in ages)), False
        elif kind in BREAK_VALUE_NAMES and name in BREAK_VALUE_NAMES[kind]:
            found = _table(unicode_props.BREAK[kind][BREAK_VALUE_NAMES[kind][name]])
            closed = False
    else:
        name = _property_name(raw)
        if name in CATEGORY_NAMES or name in _SPECIAL:
            found, closed = _category(name)
        elif name in PCRE2_BINARY_NAMES:
            found, closed = _items(rf"\p{{{name}}}"), False
        elif name in TABLE_BINARY_NAMES:
            found, closed = _table(unicode_props.BINARY[TABLE_BINARY_NAMES[name]]), False
        elif name in SCRIPT_NAMES:
            # PCRE2 reads a bare script name as its script extensions.
            found, closed = _items(rf"\p{{sc:{name}}}"), False
    if found is None:
        _unknown(rf"the property \p{{{raw}}}", at)
    return (_negate(found) if negated else found), closed


def _category(name):
    if name in _SPECIAL:
        return _items(_SPECIAL[name]), name != "ascii"
    short = CATEGORY_NAMES[name]
    return _items(rf"\p{{{short}}}"), short in _CASE_CLOSED


def _class_end(src, pos):
    """Where the class at pos ends as tiktoken's engine finds its end, which it then parses as
    Rust's regex does: a nested [ always opens a class there, and only the outer class may begin
    with a literal ]. None if it does not end."""
    pos += 1
    pos += src.startswith("^", pos)
    pos += src.startswith("]", pos)
    depth = 1
    while pos < len(src):
        if src[pos] == "\\":
            pos += 1
        elif src[pos] == "[":
            depth += 1
        elif src[pos] == "]":
            depth -= 1
            if depth == 0:
                return pos + 1
        pos += 1
    return None


# Nodes: ("empty",), ("char", c, caseless), ("set", set, caseless), ("any", dotall),
# ("bol" | "eol", multiline), ("assert", PCRE2 text), ("keep",), ("group", index, node),
# ("look", "=" | "!" | "<=" | "<!", node), ("atomic", node),
# ("repeat", node, lo, hi | None, greedy, possessive), ("backref", index),
# ("cond", index, yes, no), ("condx", condition, yes, no), ("cat", [nodes]), ("alt", [nodes]).
# tiktoken's engine makes no node of a non-capturing group.
def _sequence(items):
    items = [item for item in items if item[0] != "empty"]
    return ("empty",) if not items else items[0] if len(items) == 1 else ("cat", items)


def _width(node):
    """The characters node matches, or None where that is not fixed."""
    kind = node[0]
    if kind in ("char", "set", "any"):
        return 1
    if kind in ("empty", "bol", "eol", "assert", "keep", "look"):
        return 0
    if kind in ("group", "atomic"):
        return _width(node[-1])
    if kind == "repeat":
        _, child, lo, hi, _, _ = node
        width = _width(child)
        return lo * width if lo == hi and width is not None else 0 if hi == 0 else None
    if kind == "cat":
        widths = [_width(item) for item in node[1]]
        return None if None in widths else sum(widths)
    if kind == "alt":
        widths = {_width(branch) for branch in node[1]}
        return widths.pop() if len(widths) == 1 else None
    if kind in ("cond", "condx"):
        first = _width(node[2]) if kind == "cond" else _add(_width(node[1]), _width(node[2]))
        return first if first is not None and first == _width(node[3]) else None
    return None  # a back reference


def _add(a, b):
    return None if a is None or b is None else a + b


def _zero_width(node):
    kind = node[0]
    if kind in ("empty", "bol", "eol", "assert", "keep", "look"):
        return True
    if kind in ("group", "atomic"):
        return _zero_width(node[-1])
    return kind in ("cat", "alt") and all(map(_zero_width, node[1]))


def _children(node):
    kind = node[0]
    if kind in ("group", "look"):
        return node[2:]
    if kind in ("atomic", "repeat"):
        return node[1:2]
    if kind in ("cat", "alt"):
        return node[1]
    return {"cond": node[2:], "condx": node[1:]}.get(kind, ())


def _hard(node):
    """Whether tiktoken's engine runs node in its own backtracking machine: look-around, back
    references, atomic groups, possessive quantifiers, conditionals, \\K and \\G. The rest it
    hands to Rust's regex."""
    kind = node[0]
    if kind in ("look", "backref", "atomic", "cond", "condx", "keep") or node == ("assert", r"\G"):
        return True
    if kind == "repeat" and node[5]:
        return True
    return any(map(_hard, _children(node)))


def _nullable(node):
    """Whether node can match the empty string."""
    kind = node[0]
    if kind in ("char", "set", "any"):
        return False
    if kind in ("group", "atomic"):
        return _nullable(node[-1])
    if kind == "repeat":
        return node[2] == 0 or _nullable(node[1])
    if kind == "cat":
        return all(map(_nullable, node[1]))
    if kind == "alt":
        return any(map(_nullable, node[1]))
    if kind == "cond":
        return _nullable(node[2]) or _nullable(node[3])
    if kind == "condx":
        return _nullable(node[1]) and _nullable(node[2]) or _nullable(node[3])
    return True


def _has_conditional(node):
    return node[0] in ("cond", "condx") or any(map(_has_conditional, _children(node)))


def _atomic_without_conditional(node, where, at):
    """Refuses a conditional inside what tiktoken's engine matches atomically: it keeps the ways
    back into what came before the conditional there."""
    if _has_conditional(node):
        _refuse(f"a conditional inside {where}", at,
                "tiktoken's engine then does not match atomically, in a way pelnor does not "
                "reproduce")


def _captures(node):
    return node[0] == "group" or any(map(_captures, _children(node)))


class _Parser:
    def __init__(self, pattern):
        self.src = pattern
        self.pos = 0
        self.flags = set()
        self.groups = 0  # groups opened so far
        self.names = {}  # a name's last group opened so far
        self.named = False
        self.numbered = None  # where a group is first referred to by number
        self.depth = 0
        self.open = []  # the capturing groups pos is in

    def parse(self):
        for at, c in enumerate(self.src):
            if "\ud800" <= c <= "\udfff":
                _invalid("a lone surrogate", at)
        tree = self.alternation()
        if self.pos < len(self.src):
            _invalid("an unmatched )", self.pos)
        if self.named and self.numbered is not None:
            _refuse("a group referred to by number in a pattern with named groups",
                    self.numbered, "tiktoken's engine refuses but in some alternations that "
                    "pelnor does not tell apart")
        return tree

    def peek(self, text):
        return self.src.startswith(text, self.pos)

    def take(self, text):
        found = self.src.startswith(text, self.pos)
        if found:
            self.pos += len(text)
        return found

    def at_end(self):
        return self.pos >= len(self.src)

    def skip_space(self):
        """Skips what free spacing ignores: white space and # comments."""
        while "x" in self.flags and not self.at_end():
            if self.src[self.pos] in _SPACE:
                self.pos += 1
            elif self.src[self.pos] == "#":
                end = self.src.find("\n", self.pos)
                self.pos = len(self.src) if end < 0 else end + 1
            else:
                return

    def skip(self):
        """Skips free spacing and (?#...) comments, which quantifiers see through."""
        while True:
            self.skip_space()
            if not self.peek("(?#"):
                return
            end = self.src.find(")", self.pos)
            if end < 0:
                _invalid("an unclosed comment", self.pos)
            self.pos = end + 1

    def alternation(self):
        branches = [self.sequence()]
        while self.take("|"):
            branches.append(self.sequence())
        return branches[0] if len(branches) == 1 else ("alt", branches)

    def sequence(self):
        items = []
        while True:
            self.skip()
            if self.at_end() or self.src[self.pos] in "|)":
                return _sequence(items)
            items.append(self.quantified(self.atom()))

    def atom(self):
        c = self.src[self.pos]
        if c == "(":
            return self.group()
        if c == "[":
            start = self.pos
            end = _class_end(self.src, start)
            found = self.char_class()
            if end is None or self.pos > end:
                _invalid("an unclosed class", start)
            if "{" in self.src[self.pos : end]:
                # Rust's regex would read the rest of what tiktoken's engine took for the class.
                _invalid("a class whose end the two parts of tiktoken's engine disagree on", start)
            if _depth(_simplify(found)) > _MAX_CLASS_DEPTH:
                _cannot(f"a class nesting its operations more than {_MAX_CLASS_DEPTH} deep", start)
            return ("set", found, "i" in self.flags)
        if c == "\\":
            return self.escape()
        if c in "*+?":
            _invalid("a quantifier with nothing to repeat", self.pos)
        self.pos += 1
        if c == ".":
            return ("any", "s" in self.flags)
        if c in "^$":
            return ("bol" if c == "^" else "eol", "m" in self.flags)
        return ("char", c, "i" in self.flags)

    def quantified(self, atom):
        """atom with the quantifiers after it."""
        self.skip()
        at = self.pos
        bounds = self.bounds()
        if bounds is None:
            return atom
        if atom[0] in ("empty", "bol", "eol", "look"):
            what = {"empty": "an empty group", "bol": "^", "eol": "$", "look": "a look-around"}
            _invalid(f"a quantifier after {what[atom[0]]}", at)
        self.skip()
        lazy = self.take("?")
        possessive = self.take("+")  # right after a ?, free spacing or not
        self.skip()
        if not self.at_end() and self.src[self.pos] in "*+?":
            _invalid("a quantifier after a quantifier", self.pos)
        lo, hi = bounds
        if possessive:
            _atomic_without_conditional(atom, "a possessive repetition", at)
        # PCRE2 counts to 65535; past that, a repetition is written as repetitions of one.
        if hi is not None and hi - lo > _MAX_COUNT:
            _cannot(f"a repetition range wider than {_MAX_COUNT}", at)
        if max(lo, hi or 0) > _MAX_COUNT and _captures(atom):
            _cannot(f"a repetition count above {_MAX_COUNT} of a group that captures", at)
        return ("repeat", atom, lo, hi, lazy == ("U" in self.flags), possessive)

    def bounds(self):
        """The bounds of the quantifier at pos, or None; a { that starts none is a literal."""
        c = self.src[self.pos] if not self.at_end() else ""
        if c and c in "*+?":
            self.pos += 1
            return {"*": (0, None), "+": (1, None), "?": (0, 1)}[c]
        if c != "{":
            return None
        start = self.pos
        self.pos += 1
        lo = self.count()
        comma = self.take(",")
        hi = self.count() if comma else lo
        if not self.take("}") or lo is None and not comma or -1 in (lo, hi):
            self.pos = start
            return None
        lo = lo or 0
        if hi is not None and lo > hi:
            _invalid("a repetition whose minimum exceeds its maximum", start)
        return lo, hi

    def count(self):
        """The number at pos (-1 past what tiktoken's engine reads as one), or None."""
        self.skip_space()
        m = re.compile(r"[0-9]+").match(self.src, self.pos)
        if m is None:
            return None
        self.pos = m.end()
        self.skip_space()
        return int(m.group()) if int(m.group()) < 2**64 else -1

    def group(self):
        start = self.pos
        if self.depth == _MAX_DEPTH:
            _invalid(f"groups nested more than {_MAX_DEPTH} deep", start)
        verb = re.compile(r"\(\*[A-Za-z_]*(?=[:=)])").match(self.src, start)
        if verb is not None:
            _unknown(f"the verb {verb.group()}" + (")" if self.src[verb.end()] == ")" else ""),
                     start)
        self.pos += 1
        self.skip_space()
        if not self.take("?"):
            return self.capture(start, None)
        for opening in ("=", "!", "<=", "<!"):
            if self.take(opening):
                return self.look(start, opening)
        if self.take(">"):
            node = self.body(start)
            _atomic_without_conditional(node, "an atomic group", start)
            return ("atomic", node)
        if self.take("<") or self.take("P<"):
            return self.capture(start, self.group_name(">"))
        if self.take("P="):
            return ("backref", self.reference(self.group_name(")"), start))
        if self.take("("):
            return self.conditional(start)
        for opening, what in _FOREIGN_GROUPS.items():
            if self.peek(opening):
                _unknown(what, start)
        if re.compile(r"[-+]?[0-9]").match(self.src, self.pos):
            _unknown("the subroutine call (?" + self.src[self.pos], start)
        return self.flag_group(start)

    def body(self, start):
        """The alternation up to the ) that closes the group opened at start."""
        self.depth += 1
        node = self.alternation()
        if not self.take(")"):
            _invalid("an unclosed group", start)
        self.depth -= 1
        return node

    def capture(self, start, name):
        self.groups += 1
        index = self.groups
        if name is not None:
            self.names[name] = index
            self.named = True
        self.open.append(index)
        node = ("group", index, self.body(start))
        self.open.pop()
        return node

    def look(self, start, kind):
        node = self.body(start)
        if kind == "=":
            _atomic_without_conditional(node, "a look-ahead", start)
        if kind in ("<=", "<!"):
            branches = node[1] if node[0] == "alt" else [node]
            if any(_width(branch) is None for branch in branches):
                _invalid("a look-behind whose length is not fixed", start)
        return ("look", kind, node)

    def group_name(self, end):
        start = self.pos
        while not self.at_end() and _name_char(self.src[self.pos]):
            self.pos += 1
        if self.pos == start or not self.take(end):
            _invalid("a malformed group name", start)
        return self.src[start : self.pos - 1]

    def reference(self, name, at):
        if name not in self.names:
            _invalid(f"a reference to the unknown group name {name!r}", at)
        return self.names[name]

    def numbered_reference(self, number, at):
        if self.numbered is None:
            self.numbered = at
        if number > self.groups:
            _invalid(f"a reference to group {number}, which does not precede it", at)
        return number

    def conditional(self, start):
        self.depth += 1
        m = re.compile(r"([0-9]+)\)").match(self.src, self.pos)
        if m is not None:
            self.pos = m.end()
            condition = self.numbered_reference(int(m.group(1)), start)
        elif self.take("<") or self.take("'"):
            closing = ">" if self.src[self.pos - 1] == "<" else "'"
            condition = self.reference(self.group_name(closing), start)
            if not self.take(")"):
                _invalid("a malformed condition", start)
        elif self.src[self.pos : self.pos + 1].isdigit():
            _invalid("a malformed condition", start)
        else:
            at = self.pos
            condition = self.alternation()
            if not self.take(")"):
                _invalid("an unclosed condition", start)
            if self.peek(")"):
                _invalid("a condition without branches", start)
            if condition[0] == "backref":
                condition = condition[1]  # a lone back reference asks whether its group is set
            else:
                _atomic_without_conditional(condition, "a condition", at)
        self.depth -= 1
        node = self.body(start)
        branches = node[1] if node[0] == "alt" else [node]
        yes, rest = branches[0], branches[1:]
        no = ("alt", rest) if len(rest) > 1 else rest[0] if rest else ("empty",)
        if isinstance(condition, int):
            # tiktoken's engine finds a group set once it has begun: inside it, always.
            return ("cond", 0 if condition in self.open else condition, yes, no)
        if condition == yes == no == ("empty",):
            return condition  # as tiktoken's engine drops it
        return ("condx", condition, yes, no)

    def flag_group(self, start):
        on, off = set(), set()
        negated = False
        while True:
            self.skip_space()
            at = self.pos
            if self.at_end():
                _invalid("an unclosed group", start)
            c = self.src[self.pos]
            if c in ":)":
                break
            self.pos += 1
            if c == "-" and not negated:
                negated = True
            elif c in _FLAGS:
                if negated and c == "u":
                    _invalid("turning off the flag 'u'", at)
                (off if negated else on).add(c)
            elif c.isalpha():
                _unknown(f"the flag {c!r}", at)
            else:
                _unknown("the group (?" + self.src[start + 2 : at + 1], start)
        if not (on or off) and (negated or c == ")"):
            _invalid("a flag group without flags", start)
        self.pos += 1
        flags = (self.flags | on) - off
        if c == ")":
            self.flags = flags
            return ("empty",)
        outer = self.flags
        self.flags = flags
        self.depth += 1
        node = self.alternation()
        if not self.take(")"):
            _invalid("an unclosed group", start)
        self.depth -= 1
        self.flags = outer
        return node

    def escape(self, in_class=False):
        """The escape at pos: a node, or in a class a char or a set."""
        start = self.pos
        if start + 1 >= len(self.src):
            _invalid("a trailing backslash", start)
        c = self.src[start + 1]
        self.pos = start + 2
        caseless = "i" in self.flags
        if c in "pP":
            s = self.property(start, c == "P")
        elif c in _CLASS_ESCAPES:
            s = _CLASS_ESCAPES[c]
        elif c in _HEX:
            ch = self.hex_escape(start, c)
            return ch if in_class else ("char", ch, caseless)
        elif c in _ESCAPED_CHARS or c.isascii() and not c.isalnum():
            ch = _ESCAPED_CHARS.get(c, c)
            return ch if in_class else ("char", ch, caseless)
        elif in_class:
            if c in "bBAzGKk" or c.isdigit():
                _invalid(f"the escape \\{c} in a class", start)
            _unknown(f"the escape \\{c}", start)
        elif c.isascii() and c.isdigit():
            digits = re.compile(r"[0-9]+").match(self.src, start + 1).group()
            self.pos = start + 1 + len(digits)
            return ("backref", self.numbered_reference(int(digits), start))
        elif c == "k":
            if not self.take("<"):
                _invalid("a malformed group name", self.pos)
            return ("backref", self.reference(self.group_name(">"), start))
        elif c in "bBAzG":
            texts = {"b": _WORD_BOUNDARY, "B": _NOT_WORD_BOUNDARY, "A": r"\A", "z": r"\z",
                     "G": r"\G"}
            return ("assert", texts[c])
        elif c == "K":
            return ("keep",)
        else:
            _unknown(f"the escape \\{c}", start)
        return s if in_class else ("set", s, caseless)

    def hex_escape(self, start, c):
        m = re.compile(r"\{([0-9A-Fa-f]{1,8})\}|[0-9A-Fa-f]{%d}" % _HEX[c]).match(
            self.src, self.pos)
        if m is None:
            _invalid(f"a malformed \\{c} escape", start)
        value = int(m.group(1) or m.group(), 16)
        if value > 0x10FFFF or 0xD800 <= value <= 0xDFFF:
            _invalid(f"\\{c} of a value that is no Unicode scalar value", start)
        self.pos = m.end()
        return chr(value)

    def property(self, start, negated):
        if self.take("{"):
            end = self.src.find("}", self.pos)
            if end < 0:
                _invalid(r"an unclosed \p{", start)
            raw = self.src[self.pos : end]
            self.pos = end + 1
        elif self.at_end():
            _invalid(r"a \p without a name", start)
        else:
            raw = self.src[self.pos]
            self.pos += 1
        found, closed = _property(raw, negated, start)
        if "i" in self.flags and not closed:
            letter = "P" if negated else "p"
            _cannot(f"\\{letter}{{{raw}}} under the case-insensitive flag", start)
        return found

    def char_class(self):
        """The set of the class at pos."""
        start = self.pos
        self.pos += 1
        negated = self.take("^")
        operand = [_items(_class_char("]"))] if self.take("]") else []
        while self.take("-"):
            operand.append(_items(_class_char("-")))
        result = None
        op = None
        while True:
            if self.at_end():
                _invalid("an unclosed class", start)
            two = self.src[self.pos : self.pos + 2]
            if self.take("]"):
                break
            if two in ("&&", "--", "~~"):
                result = self.combine(result, op, operand)
                op = two
                operand = []
                self.pos += 2
                continue
            operand.append(self.class_item())
        s = self.combine(result, op, operand)
        return _negate(s) if negated else s

    @staticmethod
    def combine(left, op, operand):
        right = ("or", operand)
        if op is None:
            return right
        return ({"&&": "and", "--": "minus", "~~": "xor"}[op], left, right)

    def class_item(self):
        """A class member at pos: a nested class, a POSIX class, an escape, a char or a range."""
        start = self.pos
        m = re.compile(r"\[:(\^?)([a-z]+):\]").match(self.src, self.pos)
        if m is not None and m.group(2) in _POSIX:
            self.pos = m.end()
            s = _items(_POSIX[m.group(2)])
            return _negate(s) if m.group(1) else s
        if self.peek("["):
            return self.char_class()
        escape = self.src[start : start + 2]
        first = self.class_atom()
        # tiktoken's engine writes \h and \H as nested classes, which start no range.
        if not self.peek("-") or self.peek("-]") or self.peek("--") or escape in (r"\h", r"\H"):
            return _items(_class_char(first)) if isinstance(first, str) else first
        self.pos += 1
        last = self.class_atom() if not self.at_end() else None
        if not isinstance(first, str) or not isinstance(last, str):
            _invalid("a range whose ends are not single characters", start)
        if last < first:
            _invalid("a range whose end precedes its start", start)
        return _items(_class_char(first) + "-" + _class_char(last))

    def class_atom(self):
        """The char or the escape at pos."""
        if self.peek("\\"):
            return self.escape(in_class=True)
        self.pos += 1
        return self.src[self.pos - 1]


class _Emitter:
    """Writes a tree in PCRE2's syntax. Flags are set where a node needs them and PCRE2 does
    not have them: PCRE2 keeps a setting to the end of its group, across alternatives."""

    def __init__(self):
        self.flags = set()  # PCRE2's flags where the output ends
        self.number = 0  # capturing groups written so far
        self.numbers = {}  # a tiktoken group's PCRE2 number
        self.machine = False  # where tiktoken's engine runs the node in its own machine

    def pattern(self, node):
        self.machine = _hard(node)
        return self.emit(node)

    def delegated(self, opening, node):
        """node in a group; tiktoken's engine hands it to Rust's regex unless it is hard."""
        outer = self.machine
        self.machine = outer and _hard(node)
        text = self.scoped(opening, node)
        self.machine = outer
        return text

    def need(self, flag, on):
        if (flag in self.flags) == on:
            return ""
        if on:
            self.flags.add(flag)
            return f"(?{flag})"
        self.flags.discard(flag)
        return f"(?-{flag})"

    def scoped(self, opening, node):
        """node in a group that restores the flags after it."""
        outer = set(self.flags)
        text = opening + self.emit(node) + ")"
        self.flags = outer
        return text

    def emit(self, node):
        kind = node[0]
        if kind == "empty":
            return ""
        if kind == "char":
            c = node[1]
            cased = not c.isascii() or c.isalpha()
            return (self.need("i", node[2]) if cased else "") + _literal(c)
        if kind == "set":
            return self.need("i", node[2]) + _class(node[1])
        if kind == "any":
            return self.need("s", node[1]) + "."
        if kind == "bol":
            # tiktoken's engine finds a line start after a final \n too, where PCRE2's does not.
            return r"(?:^|(?<=\n))" if node[1] else "^"
        if kind == "eol":
            return r"(?:$|(?=\n))" if node[1] else "$"
        if kind == "assert":
            return node[1]
        if kind == "keep":
            return r"\K"
        if kind == "nc":
            return self.scoped("(?:", node[1])
        if kind == "group":
            self.number += 1
            self.numbers[node[1]] = self.number
            return self.scoped("(", node[2])
        if kind == "look":
            return self.delegated(f"(?{node[1]}", node[2])
        if kind == "atomic":
            return self.delegated("(?>", node[1])
        if kind == "backref":
            if node[1] == 0:
                return "(?!)"  # group 0 has not ended while the match runs
            return self.need("i", False) + f"\\g{{{self.numbers[node[1]]}}}"
        if kind == "repeat":
            return self.repeat(*node[1:])
        if kind == "cat":
            return "".join(self.emit(_grouped(item)) for item in node[1])
        if kind == "alt":
            return "|".join(self.emit(branch) for branch in node[1])
        if kind == "cond":
            if node[1] == 0:
                never = ("look", "!", ("empty",))
                return self.scoped("(?:", ("alt", [_grouped(node[2]), ("cat", [never, node[3]])]))
            branches = ("alt", [_grouped(node[2]), _grouped(node[3])])
            return self.scoped(f"(?({self.numbers[node[1]]})", branches)
        return self.condition(*node[1:])

    def condition(self, condition, yes, no):
        """(?(condition)yes|no): condition matched once, and consumed, decides the branch."""
        outer = set(self.flags)
        text = "(?:" + self.scoped("(?>", condition) + self.emit(_grouped(yes)) + "|"
        # The condition again, its groups numbered anew: they capture nothing where it fails.
        numbers = dict(self.numbers)
        text += self.scoped("(?!", condition)
        self.numbers = numbers
        text += self.emit(_grouped(no)) + ")"
        self.flags = outer
        return text

    def repeat(self, child, lo, hi, greedy, possessive):
        if _zero_width(child):
            # tiktoken's engine runs a zero-width item once where it must or may, but not in a
            # loop without bound or one that would rather stop.
            if lo > 0:
                return self.emit(child)
            return self.scoped("(?:", child) + ("?" if greedy and hi not in (0, None) else "{0}")
        if possessive:
            # A possessive repetition of what is not hard goes to Rust's regex whole.
            outer = self.machine
            self.machine = outer and _hard(child)
            single = max(lo, hi or 0) <= _MAX_COUNT and not (
                hi is None and self.machine and _nullable(child))
            text = self.repeat(child, lo, hi, greedy, False)
            self.machine = outer
            return text + "+" if greedy and single else f"(?>{text})"
        if hi is None and self.machine and _nullable(child):
            return self.advancing(child, lo, greedy)
        if lo > _MAX_COUNT or (hi or 0) > _MAX_COUNT:
            return self.long_repeat(child, lo, hi, greedy)
        quantifier = {(0, None): "*", (1, None): "+", (0, 1): "?"}.get((lo, hi))
        if quantifier is None:
            quantifier = f"{{{lo}}}" if lo == hi else f"{{{lo},{'' if hi is None else hi}}}"
        if child[0] in ("char", "set", "any", "backref", "group", "look", "atomic"):
            body = self.emit(child)
        else:
            body = self.scoped("(?:", child)
        return body + quantifier + ("" if greedy else "?")

    def advancing(self, child, lo, greedy):
        """child{lo,} as tiktoken's machine runs it: past the first lo, an iteration that
        matches nothing fails, so the body's other ways are tried. An empty group marks where
        each iteration begins, and a callout fails the iteration that has not moved from it."""
        text = self.emit(("repeat", child, lo, lo, True, False)) if lo else ""
        self.number += 1
        mark = self.number
        outer = set(self.flags)
        body = self.emit(_grouped(child))
        text += f"(?:(){body}(?C{{{mark}}}))*" + ("" if greedy else "?")
        self.flags = outer
        return text

    def long_repeat(self, child, lo, hi, greedy):
        """A repetition past PCRE2's counts, as repetitions of repetitions."""
        whole, rest = divmod(lo, _MAX_COUNT)
        exact = ("repeat", ("repeat", child, _MAX_COUNT, _MAX_COUNT, True, False), whole, whole,
                 True, False)
        items = [exact, ("repeat", child, rest, rest, True, False)]
        if hi != lo:
            items.append(("repeat", child, 0, None if hi is None else hi - lo, greedy, False))
        return self.emit(("cat", items))


def _grouped(node):
    """node, in a non-capturing group if it is an alternation."""
    return ("nc", node) if node[0] == "alt" else node


def _literal(c):
    if c.isascii() and c.isalnum():
        return c
    if c.isascii() and c.isprintable() and c != " ":
        return "\\" + c
    return rf"\x{{{ord(c):X}}}" if c.isascii() or not c.isprintable() else c


def _simplify(s):
    """s with unions merged and double negations dropped."""
    kind = s[0]
    if kind == "items":
        return s
    if kind == "not":
        inner = _simplify(s[1])
        return inner[1] if inner[0] == "not" else ("not", inner)
    if kind == "or":
        plain, rest = [], []
        for part in map(_simplify, s[1]):
            if part[0] == "or":
                rest += part[1]
            elif part[0] == "items":
                plain.append(part[1])
            else:
                rest.append(part)
        parts = ([_items("".join(plain))] if plain else []) + rest
        if not parts:
            return _EMPTY
        return parts[0] if len(parts) == 1 else ("or", parts)
    return (kind, _simplify(s[1]), _simplify(s[2]))


def _depth(s):
    """The parentheses s nests in an extended class."""
    kind = s[0]
    if kind == "items":
        return 0
    if kind == "not":
        return _depth(s[1])
    if kind == "or":
        return 1 + max(map(_depth, s[1]))
    return 1 + max(_depth(s[1]), _depth(s[2]))


def _class(s):
    """A set as a PCRE2 class: a plain one where it can be, else an extended one."""
    s = _simplify(s)
    if s[0] == "items":
        return s[1] if re.fullmatch(r"\\[pP]\{[^}]*\}", s[1]) else f"[{s[1]}]"
    if s[0] == "not" and s[1][0] == "items":
        return f"[^{s[1][1]}]"
    return f"(?[{_extended(s)}])"


def _extended(s):
    kind = s[0]
    if kind == "items":
        return f"[{s[1]}]"
    if kind == "not":
        return f"!{_extended(s[1])}"
    if kind == "or":
        return "(" + "|".join(map(_extended, s[1])) + ")"
    op = {"and": "&", "minus": "-", "xor": "^"}[kind]
    return f"({_extended(s[1])}{op}{_extended(s[2])})"
