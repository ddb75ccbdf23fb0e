#!/usr/bin/env python3
"""Writes the built-in data files into data/.

Inputs: the published rank tables (base64 bytes, a space, the rank, per line; p50k_base's
leaves a gap), GPT-2's release files (which must give r50k_base's ranks: gpt2 shares its vocab
file) and the Unicode Character Database. Run from anywhere:

    tools/gen_data.py [--shared DIR] [--out DIR]

DIR defaults to ../shared/data beside the repository and to the repository's data/.
"""

import argparse
import base64
import importlib.util
import struct
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_SHARED = REPO.parent / "shared" / "data"
DEFAULT_OUT = REPO / "data"

UCD_VERSION = "17.0.0"

R50K_SPECIALS = [("<|endoftext|>", 50256)]
# p50k_base's rank table has no token of rank 50256, <|endoftext|>'s id.
P50K_SPECIALS = R50K_SPECIALS
P50K_EDIT_SPECIALS = [
    *P50K_SPECIALS,
    ("<|fim_prefix|>", 50281),
    ("<|fim_middle|>", 50282),
    ("<|fim_suffix|>", 50283),
]
CL100K_SPECIALS = [
    ("<|endoftext|>", 100257),
    ("<|fim_prefix|>", 100258),
    ("<|fim_middle|>", 100259),
    ("<|fim_suffix|>", 100260),
    ("<|endofprompt|>", 100276),
]
O200K_SPECIALS = [("<|endoftext|>", 199999), ("<|endofprompt|>", 200018)]
HARMONY_NAMED = {
    199998: "<|startoftext|>",
    199999: "<|endoftext|>",
    200002: "<|return|>",
    200003: "<|constrain|>",
    200005: "<|channel|>",
    200006: "<|start|>",
    200007: "<|end|>",
    200008: "<|message|>",
    200012: "<|call|>",
    200018: "<|endofprompt|>",
}
HARMONY_LAST_ID = 201087

# Class order of the uniclass files; the three-class file is the first three sections.
LETTER_CATEGORIES = {"Lu", "Ll", "Lt", "Lm", "Lo"}
NUMBER_CATEGORIES = {"Nd", "Nl", "No"}
MARK_CATEGORIES = {"Mn", "Mc", "Me"}
UPPER_SET = {"Lu", "Lt", "Lm", "Lo"} | MARK_CATEGORIES
LOWER_SET = {"Ll", "Lm", "Lo"} | MARK_CATEGORIES


def read_ranks(path):
    """Returns the token byte strings of a published rank table, indexed by rank."""
    tokens = {}
    for line in path.read_bytes().splitlines():
        if not line:
            continue
        encoded, rank = line.split()
        tokens[int(rank)] = base64.b64decode(encoded)
    assert sorted(tokens) == list(range(len(tokens))), f"{path}: ranks are not 0..n-1"
    return [tokens[rank] for rank in range(len(tokens))]


def vocab_file(tokens):
    """Serialises tokens (indexed by rank) as a vocab file, records in rank order."""
    return VOCAB_FORMAT.vocab_bytes((token, rank) for rank, token in enumerate(tokens))


def special_file(entries):
    """Serialises (text, id) pairs as a special-tokens file, in the given order."""
    return VOCAB_FORMAT.special_bytes(entries)


def harmony_specials():
    entries = []
    for token_id in range(199998, HARMONY_LAST_ID + 1):
        if token_id in HARMONY_NAMED:
            entries.append((HARMONY_NAMED[token_id], token_id))
        if token_id >= 200000 and (token_id not in HARMONY_NAMED or token_id == 200018):
            entries.append((f"<|reserved_{token_id}|>", token_id))
    return entries


def general_categories(ucd):
    """Returns {code point: general category} for every assigned code point."""
    categories = {}
    first = None
    for line in (ucd / "UnicodeData.txt").read_text(encoding="utf-8").splitlines():
        fields = line.split(";")
        code, name, category = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            first = code
            continue
        if name.endswith(", Last>"):
            for cp in range(first, code + 1):
                categories[cp] = category
            first = None
            continue
        categories[code] = category
    return categories


def white_space(ucd):
    """Returns the set of code points with the White_Space property."""
    points = set()
    for line in (ucd / "PropList.txt").read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        span, prop = (part.strip() for part in line.split(";"))
        if prop != "White_Space":
            continue
        lo, _, hi = span.partition("..")
        points.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return points


def merged_ranges(points):
    """Returns sorted, disjoint, non-touching inclusive ranges covering points."""
    ranges = []
    for cp in sorted(points):
        if ranges and ranges[-1][1] + 1 == cp:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return ranges


def uniclass_file(classes):
    out = []
    for points in classes:
        ranges = merged_ranges(points)
        out.append(struct.pack("<I", len(ranges)))
        out.extend(struct.pack("<II", lo, hi) for lo, hi in ranges)
    return b"".join(out)


def unicode_classes(ucd):
    """Returns the five classes: letters, numbers, whitespace, upper set, lower set."""
    categories = general_categories(ucd)

    def having(wanted):
        return {cp for cp, category in categories.items() if category in wanted}

    return [
        having(LETTER_CATEGORIES),
        having(NUMBER_CATEGORIES),
        white_space(ucd),
        having(UPPER_SET),
        having(LOWER_SET),
    ]


# Characters that the disallowed-special message writes as \u{...} escapes (besides Grapheme_Extend):
# controls, format characters, surrogates, private use, unassigned code points, and separators
# other than the space.
NON_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}


def grapheme_extend(ucd):
    """Returns the set of code points with the Grapheme_Extend property."""
    points = set()
    text = (ucd / "DerivedCoreProperties.txt").read_text(encoding="utf-8")
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        span, prop = (part.strip() for part in line.split(";")[:2])
        if prop == "Grapheme_Extend":
            lo, _, hi = span.partition("..")
            points.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return points


def escape_tables_source(ucd):
    """Returns the C++ source of the two range tables of the debug form of strings."""
    categories = general_categories(ucd)
    non_printable = {
        cp
        for cp in range(0x110000)
        if categories.get(cp, "Cn") in NON_PRINTABLE_CATEGORIES and cp != 0x20
    }

    def table(name, points):
        rows = [f"    {{0x{lo:X}, 0x{hi:X}}}," for lo, hi in merged_ranges(points)]
        return (
            f"const CodePointRange {name}[] = {{\n" + "\n".join(rows) + "\n};\n"
            f"const std::size_t {name}Count = sizeof {name} / sizeof {name}[0];\n"
        )

    return (
        "// Generated by tools/gen_data.py from the Unicode Character Database "
        f"{UCD_VERSION}; do not edit.\n"
        '#include "pelnor/generated/unicode_tables.h"\n\nnamespace pelnor {\n\n'
        + table("kGraphemeExtend", grapheme_extend(ucd))
        + "\n"
        + table("kNonPrintable", non_printable)
        + "\n}  // namespace pelnor\n"
    )


def package_module(name):
    """Returns a module of the package that imports nothing of it, loaded on its own: the data is
    generated before the native module is built."""
    found = importlib.util.spec_from_file_location(f"pelnor_{name}", REPO / f"python/pelnor/{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


VOCAB_FORMAT = package_module("vocab_format")


def r50k_tokens(ranks):
    """Returns r50k_base's tokens by rank, checked equal to the ranks of GPT-2's release files."""
    load = package_module("load")
    tokens = read_ranks(ranks / "r50k_base.tiktoken")
    gpt2 = load.data_gym_to_mergeable_bpe_ranks(
        str(ranks / "gpt2" / "vocab.bpe"), str(ranks / "gpt2" / "encoder.json")
    )
    assert gpt2 == {token: rank for rank, token in enumerate(tokens)}, "gpt2 differs from r50k"
    return tokens


def p50k_vocab(ranks):
    """Returns p50k_base's vocab file: its one gap filled as a custom rank table's gaps are."""
    table = package_module("load").load_tiktoken_bpe(str(ranks / "p50k_base.tiktoken"))
    data, gaps = VOCAB_FORMAT.vocab_data(table)
    assert gaps == [special_id for _, special_id in P50K_SPECIALS], f"p50k gaps: {gaps}"
    return data


def generate(shared):
    """Returns {file name: content} for the built-in data files."""
    ranks = shared / "published-ranks"
    ucd = shared / f"ucd-{UCD_VERSION}"
    classes = unicode_classes(ucd)
    return {
        "r50k.vocab": vocab_file(r50k_tokens(ranks)),
        "r50k.special": special_file(R50K_SPECIALS),
        "p50k.vocab": p50k_vocab(ranks),
        "p50k.special": special_file(P50K_SPECIALS),
        "p50k_edit.special": special_file(P50K_EDIT_SPECIALS),
        "cl100k.vocab": vocab_file(read_ranks(ranks / "cl100k_base.tiktoken")),
        "o200k.vocab": vocab_file(read_ranks(ranks / "o200k_base.tiktoken")),
        "cl100k.special": special_file(CL100K_SPECIALS),
        "o200k.special": special_file(O200K_SPECIALS),
        "o200k_harmony.special": special_file(harmony_specials()),
        "uniclass.bin": uniclass_file(classes[:3]),
        "uniclass_o200k.bin": uniclass_file(classes),
    }


def assigned_in(ucd, version):
    """Returns the code points that the Unicode version `version` assigned."""
    points = set()
    for line in (ucd / "DerivedAge.txt").read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        span, age = (part.strip() for part in line.split(";"))
        if age == version:
            lo, _, hi = span.partition("..")
            points.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return points


def newest_assignments_file(ucd):
    """The ranges of code points new in this Unicode version, which reference engines built on
    the previous version classify differently; tests leave them out of their random draws."""
    rows = [f"{lo:X} {hi:X}" for lo, hi in merged_ranges(assigned_in(ucd, UCD_VERSION.rsplit(".", 1)[0]))]
    header = f"# Code points assigned in Unicode {UCD_VERSION}: first last, hexadecimal.\n"
    return (header + "\n".join(rows) + "\n").encode()


def generate_sources(shared):
    """Returns {path relative to the repository: content} for the generated source files."""
    ucd = shared / f"ucd-{UCD_VERSION}"
    return {
        "src/pelnor/generated/unicode_tables.cpp": escape_tables_source(ucd).encode(),
        "tests/data/unicode_newest.txt": newest_assignments_file(ucd),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shared", type=Path, default=DEFAULT_SHARED)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    for name, content in generate(args.shared).items():
        (args.out / name).write_bytes(content)
        print(f"{name}: {len(content)} bytes")
    for path, content in generate_sources(args.shared).items():
        (REPO / path).parent.mkdir(parents=True, exist_ok=True)
        (REPO / path).write_bytes(content)
        print(f"{path}: {len(content)} bytes")


if __name__ == "__main__":
    main()
