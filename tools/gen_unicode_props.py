#!/usr/bin/env python3
"""Writes python/pelnor/unicode_props.py: the Unicode properties that tiktoken's patterns can name
and PCRE2 does not know, as code point ranges, and the names tiktoken's patterns can give
properties and their values.

The ranges are Age, the grapheme cluster, word and sentence break classes, the contributory
Other_* properties and Hyphen. tiktoken is used as a black box: a property's members are the
characters its engine matches with \\p{...}, so the tables hold the Unicode version tiktoken's
engine has. The names are Unicode's aliases of that version, from the Unicode database Perl
carries (Unicode::UCD), each kept where tiktoken's engine takes it (and, for the binary properties
passed on as they are, PCRE2 too).
Run inside the dev root (tools/devroot run python3 tools/gen_unicode_props.py).
"""

import json
import os
import subprocess
from pathlib import Path

import tiktoken

from pelnor._pelnor import Tokenizer
from pelnor.encoding import _special_data
from pelnor.regex_dialect import _loose as loose
from pelnor.vocab_format import vocab_data

REPO = Path(__file__).resolve().parent.parent
TARGET = REPO / "python" / "pelnor" / "unicode_props.py"

AGES = [
    "1.1", "2.0", "2.1", "3.0", "3.1", "3.2", "4.0", "4.1", "5.0", "5.1", "5.2", "6.0", "6.1",
    "6.2", "6.3", "7.0", "8.0", "9.0", "10.0", "11.0", "12.0", "12.1", "13.0", "14.0", "15.0",
    "15.1", "16.0",
]
# Each break property's values by their short names; tiktoken's engine knows no other.
BREAKS = {
    "gcb": ["CN", "CR", "EX", "L", "LF", "LV", "LVT", "PP", "RI", "SM", "T", "V", "ZWJ"],
    "wb": ["CR", "DQ", "EX", "Extend", "FO", "HL", "KA", "LE", "LF", "MB", "ML", "MN", "NL",
           "NU", "RI", "SQ", "WSegSpace", "ZWJ"],
    "sb": ["AT", "CL", "CR", "EX", "FO", "LE", "LF", "LO", "NU", "SC", "SE", "SP", "ST", "UP"],
}
BINARY = [
    "Hyphen", "Other_Alphabetic", "Other_Default_Ignorable_Code_Point", "Other_Grapheme_Extend",
    "Other_ID_Continue", "Other_ID_Start", "Other_Lowercase", "Other_Math", "Other_Uppercase",
]

# Binary properties that Perl's database leaves out (the contributory and deprecated ones), by
# their short and long names.
LEFT_OUT_BINARY = [
    ["OAlpha", "Other_Alphabetic"], ["ODI", "Other_Default_Ignorable_Code_Point"],
    ["OGr_Ext", "Other_Grapheme_Extend"], ["OIDC", "Other_ID_Continue"],
    ["OIDS", "Other_ID_Start"], ["OLower", "Other_Lowercase"], ["OMath", "Other_Math"],
    ["OUpper", "Other_Uppercase"], ["Gr_Link", "Grapheme_Link"],
]
# The property keys a pattern can name, by the short names of Perl's database.
KEYS = ["gc", "sc", "scx", "age", "GCB", "WB", "SB"]
# Prints, as JSON, the names of each property of Perl's database and those of each value of the
# properties with fewer than 300 values (the first call loads the table of all properties).
PERL_ALIASES = r"""
use Unicode::UCD qw(prop_aliases prop_values prop_value_aliases);
use JSON::PP;
prop_aliases("gc");
my (%props, %values);
for my $loose (keys %Unicode::UCD::prop_aliases) {
    my ($short) = prop_aliases($loose);
    next unless defined $short;
    $props{$short} = [prop_aliases($short)];
    my @values = prop_values($short);
    $values{$short} = {map { $_ => [prop_value_aliases($short, $_)] } @values} if @values < 300;
}
print JSON::PP->new->canonical->encode({version => Unicode::UCD::UnicodeVersion(),
                                        props => \%props, values => \%values});
"""
SCALARS = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF)
BYTE_RANKS = {bytes([b]): b for b in range(256)}
BYTE_VOCAB = vocab_data(BYTE_RANKS)[0]
NO_SPECIALS = _special_data({})


def tiktoken_takes(pattern):
    try:
        tiktoken.Encoding("names", pat_str=pattern, mergeable_ranks=BYTE_RANKS, special_tokens={})
    except ValueError:
        return False
    return True


def pcre2_takes(pattern):
    try:
        Tokenizer.from_data("names", "regex", BYTE_VOCAB, NO_SPECIALS, pattern)
    except ValueError:
        return False
    return True


def unicode_aliases():
    """Perl's aliases, {"props": {short: names}, "values": {short: {value: names}}}, checked to be
    of the last Unicode version in AGES, with the binary properties Perl leaves out."""
    # Without the sanitizer runtime a checked test run preloads, which would fail Perl for its own
    # leaks.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    found = json.loads(subprocess.run(["perl", "-e", PERL_ALIASES], capture_output=True,
                                      text=True, check=True, env=env).stdout)
    if found["version"] != AGES[-1] + ".0":
        raise SystemExit(f"Perl's Unicode is {found['version']}, tiktoken's engine has {AGES[-1]}")
    for names in LEFT_OUT_BINARY:
        found["props"][names[0]] = names
        found["values"][names[0]] = {"N": ["N"], "Y": ["Y"]}
    return found


def loose_table(pairs):
    """{loose name: target} of (name, target) pairs; stops where two targets read alike."""
    table = {}
    for name, target in pairs:
        if table.setdefault(loose(name), target) != target:
            raise SystemExit(f"{name} reads as {table[loose(name)]} and {target}")
    return table


def name_tables(aliases):
    """The names tiktoken's engine takes, by table: loose name to the name the tables use."""
    props, values = aliases["props"], aliases["values"]

    def takes(name):
        return tiktoken_takes(rf"\p{{{name}}}")

    # tiktoken's engine has no surrogates.
    categories = loose_table((name, short) for short, names in values["gc"].items()
                             if short != "Cs" for name in names if takes(name))
    scripts = loose_table((name, short) for short, names in values["sc"].items()
                          for name in names if takes(name))
    binary_props = [short for short, value_names in values.items()
                    if set(value_names) == {"N", "Y"}]
    binary = sorted({loose(name) for short in binary_props for name in props[short]
                     if takes(name) and pcre2_takes(rf"\p{{{name}}}")})
    # A property's names are its short name, its long name and any others.
    table_binary = loose_table((name, props[short][1]) for short in binary_props
                               if props[short][1] in BINARY for name in props[short]
                               if takes(name))
    keys = {}
    for key in KEYS:
        some_value = next(iter(values[key]))
        keys |= loose_table((name, key.lower()) for name in props[key]
                            if tiktoken_takes(rf"\p{{{name}={some_value}}}"))
    breaks = {prop: loose_table((name, value) for value in listed
                                for name in values[prop.upper()][value]
                                if tiktoken_takes(rf"\p{{{prop}={name}}}"))
              for prop, listed in BREAKS.items()}
    return categories, scripts, binary, table_binary, keys, breaks


def members(prop):
    """The code points tiktoken's engine matches with \\p{prop}."""
    enc = tiktoken.Encoding("props", pat_str=rf"\p{{{prop}}}", mergeable_ranks=BYTE_RANKS,
                            special_tokens={})
    return sorted(map(ord, enc.decode(enc.encode_ordinary(SCALARS))))


def ranges(points):
    """points as hex ranges, "S-E" or "S", separated by spaces."""
    out = []
    for c in points:
        if out and out[-1][1] == c - 1:
            out[-1][1] = c
        else:
            out.append([c, c])
    return " ".join(f"{s:X}" if s == e else f"{s:X}-{e:X}" for s, e in out)


def entry(key, text, indent):
    """A dict entry, its string split into lines of at most 100 characters."""
    pad = " " * indent
    head = f'{pad}"{key}": '
    if len(head) + len(text) + 3 <= 100:
        return [f'{head}"{text}",']
    lines, line = [head + "("], ""
    for token in text.split(" "):
        if len(pad) + 4 + len(line) + len(token) + 3 > 100:
            lines.append(f'{pad}    "{line}"')
            line = ""
        line += token + " "
    lines.append(f'{pad}    "{line.rstrip()}"')
    return lines + [f"{pad}),"]


def generate():
    """The module's source text."""
    seen = set()
    lines = [
        '"""Unicode properties tiktoken\'s patterns can name and PCRE2 does not know, as hex code',
        "point ranges, and the names tiktoken's patterns can give properties and values. Generated",
        "by tools/gen_unicode_props.py from tiktoken's engine and Perl's Unicode database; do not",
        'edit."""',
        "",
        "# The characters each version assigned.",
        "AGE = {",
    ]
    for age in AGES:
        cumulative = set(members(f"Age={age}"))
        lines += entry(age, ranges(sorted(cumulative - seen)), 4)
        seen |= cumulative
    lines += ["}", "BREAK = {"]
    for prop, values in BREAKS.items():
        lines.append(f'    "{prop}": {{')
        for value in values:
            lines += entry(value, ranges(members(f"{prop}={value}")), 8)
        lines.append("    },")
    lines += ["}", "BINARY = {"]
    for name in BINARY:
        lines += entry(name, ranges(members(name)), 4)
    lines.append("}")
    categories, scripts, binary, table_binary, keys, breaks = name_tables(unicode_aliases())
    lines += [
        "", "# The names tiktoken's engine takes for properties and values, as they match loosely",
        "# (lowercase, without spaces, underscores and hyphens).",
        "# General categories, to their short names.",
        *packed("CATEGORY_NAMES = {", map(item, categories.items()), "}"),
        "# Scripts, to their short names.",
        *packed("SCRIPT_NAMES = {", map(item, scripts.items()), "}"),
        "# Binary properties PCRE2 knows by the same names, which it matches loosely too.",
        *packed("PCRE2_BINARY_NAMES = {", map(quoted, binary), "}"),
        "# The properties of BINARY.",
        *packed("TABLE_BINARY_NAMES = {", map(item, table_binary.items()), "}"),
        "# Property keys, to their short names.",
        *packed("KEY_NAMES = {", map(item, keys.items()), "}"),
        "# The values of BREAK by property.",
        "BREAK_VALUE_NAMES = {",
    ]
    for prop, names in breaks.items():
        lines += packed(f'    "{prop}": {{', map(item, names.items()), "    },", 8)
    lines += ["}", ""]
    return "\n".join(lines)


def quoted(text):
    return f'"{text}"'


def item(pair):
    return f"{quoted(pair[0])}: {quoted(pair[1])}"


def packed(head, items, tail, indent=4):
    """A literal: head, the items packed into lines of at most 100 characters, tail."""
    lines, line = [head], " " * indent
    for text in items:
        if len(line) + len(text) + 1 > 100:
            lines.append(line.rstrip())
            line = " " * indent
        line += text + ", "
    return lines + [line.rstrip(), tail]


def main():
    TARGET.write_text(generate(), encoding="utf-8")
    print(f"{TARGET.relative_to(REPO)}: {TARGET.stat().st_size} bytes")


if __name__ == "__main__":
    main()
