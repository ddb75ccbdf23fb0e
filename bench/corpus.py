#!/usr/bin/env python3
"""Assembles the benchmark corpus: megabytes of real, distinct text per kind, taken from what the
dev root's Debian packages ship, never a short text repeated.

    tools/devroot run python3 bench/corpus.py [--out DIR]

Kinds and sources (files in sorted path order, so every machine assembles the same text):
  english   English manual pages (sections 1, 5, 7, 8), troff markup removed
  python    the Python standard library's modules
  cpp       the C++ standard library's headers
  german    German manual pages, then the German messages of the installed programs
  russian   Russian manual pages, then the Russian messages
  japanese  Japanese manual pages, then the Japanese messages
  chinese   Chinese (simplified and traditional) manual pages, then the Chinese messages
  emoji     rich's emoji table, then English manual-page lines (sections 8, 3, 5) with emoji from it
            inserted after words (a fixed-seed draw): chat-like text dense in emoji

Each kind is cut into a warm-up part (the first WARM_UP_BYTES, whole documents) and a measured
part (the rest, up to MEASURED_BYTES): the bench warms a tokenizer on the first and times the
second, which it has not seen. The files are written to build/bench-corpus/ and reused while
this script is unchanged.
"""

import argparse
import glob
import gzip
import hashlib
import random
import re
import struct
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_OUT = REPO / "build" / "bench-corpus"
WARM_UP_BYTES = 1_000_000
MEASURED_BYTES = 2_000_000
KINDS = ("english", "python", "cpp", "german", "russian", "japanese", "chinese", "emoji")

MAN = "/usr/share/man"
LOCALE = "/usr/share/locale"

# Named troff glyphs that carry text; every other escape is markup and is dropped.
GLYPHS = {
    "em": "\u2014", "en": "\u2013", "lq": "\u201c", "rq": "\u201d", "oq": "\u2018",
    "cq": "\u2019", "aq": "'", "dq": '"', "bu": "\u2022", "co": "\u00a9", "rg": "\u00ae",
    "mu": "\u00d7", "de": "\u00b0", "hy": "-", "ti": "~", "ha": "^", "rs": "\\", "at": "@",
    "sh": "#", "Fo": "\u00ab", "Fc": "\u00bb", "Do": "$", "ga": "`", "aa": "\u00b4", "or": "|",
}
TEXT_MACROS = {"SH", "SS", "B", "I", "BR", "RB", "IR", "RI", "BI", "IB", "SM", "SB", "IP", "TQ",
               "UR", "MT", "Nm", "Nd", "Op", "Ar", "Fl", "Xr", "Sh", "Ss", "It", "Pa", "Dq", "Sq"}
PARAGRAPH_MACROS = {"PP", "LP", "P", "sp", "SH", "SS", "TP", "IP", "Pp"}
ESCAPES = re.compile(
    r"\\(?:\((..)|\[([^\]]*)\]|\*(?:\(..|\[[^\]]*\]|.)|f(?:\(..|\[[^\]]*\]|.)"
    r"|s[-+]?\d+|[kmnNhvwoxbDlLXYzZR]'[^']*'|[kmnYgV]\[[^\]]*\]|[kmnYgV]\(..|[kmnYgV].|(.))"
)
ESCAPE_CHARACTERS = {"-": "-", "e": "\\", " ": " ", "~": " ", "0": " ", "\\": "\\", "'": "\u00b4",
                     "`": "`", ".": ".", '"': ""}


def unescape(line):
    def replace(m):
        glyph = m.group(1) or m.group(2)
        if glyph is not None:
            return GLYPHS.get(glyph, "")
        char = m.group(3)
        return ESCAPE_CHARACTERS.get(char, "") if char is not None else ""

    return ESCAPES.sub(replace, line)


def man_text(source):
    """The running text of a manual page's troff source."""
    out = []
    skipping_definition = False
    for line in source.splitlines():
        if skipping_definition:
            skipping_definition = not line.startswith("..")
            continue
        if line.startswith((".\\\"", "'\\\"", '.\\"')) or line in (".", "'"):
            continue
        if line.startswith((".", "'")):
            name, _, args = line[1:].strip().partition(" ")
            if name in ("de", "de1", "am", "ig"):
                skipping_definition = True
            if name in PARAGRAPH_MACROS:
                out.append("")
            if name in TEXT_MACROS and args:
                words = re.findall(r'"([^"]*)"|(\S+)', args)
                out.append(unescape(" ".join(a or b for a, b in words)))
            continue
        out.append(unescape(line))
    text = "\n".join(out)
    return re.sub(r"\n{3,}", "\n\n", text).strip() + "\n\n"


def man_pages(pattern):
    for path in sorted(glob.glob(f"{MAN}/{pattern}")):
        if path.endswith(".gz"):
            with gzip.open(path, "rb") as f:
                raw = f.read()
        else:
            raw = Path(path).read_bytes()
        yield man_text(raw.decode("utf-8", errors="replace"))


def message_catalogs(language):
    """The translated messages of every installed catalog for the language, one per paragraph."""
    for path in sorted(glob.glob(f"{LOCALE}/{language}/LC_MESSAGES/*.mo")):
        data = Path(path).read_bytes()
        magic, _, count, originals, translations = struct.unpack_from("<5I", data)
        if magic != 0x950412DE:
            continue
        messages = []
        for i in range(count):
            length, offset = struct.unpack_from("<2I", data, translations + 8 * i)
            (original_length,) = struct.unpack_from("<I", data, originals + 8 * i)
            if original_length == 0:
                continue  # the catalog's header
            text = data[offset : offset + length].decode("utf-8", errors="replace")
            messages.extend(m for m in text.split("\0") if m)
        yield "\n\n".join(messages) + "\n\n"


def source_files(patterns):
    for pattern in patterns:
        for path in sorted(glob.glob(pattern)):
            yield Path(path).read_text(encoding="utf-8", errors="replace")


def emoji_table():
    import rich._emoji_codes as codes

    return sorted(set(codes.EMOJI.values()))


def emoji_documents():
    import rich._emoji_codes as codes

    yield Path(codes.__file__).read_text(encoding="utf-8")
    emoji = emoji_table()
    draw = random.Random(20261208)
    # The English kind takes all it needs from section 1, so these lines are others.
    for page in (page for section in ("man8", "man3", "man5") for page in man_pages(f"{section}/*")):
        out = []
        for line in page.splitlines(keepends=True):
            words = line.split(" ")
            for i in range(len(words)):
                if draw.random() < 0.12:
                    words[i] += " " * draw.randint(0, 1) + "".join(
                        draw.choice(emoji) for _ in range(draw.randint(1, 3))
                    )
            out.append(" ".join(words))
        yield "".join(out)


def documents(kind):
    if kind == "english":
        return (page for section in ("man1", "man5", "man7", "man8")
                for page in man_pages(f"{section}/*"))
    if kind == "python":
        return source_files([f"/usr/lib/python3.{sys.version_info[1]}/*.py"])
    if kind == "cpp":
        newest = sorted(glob.glob("/usr/include/c++/*"))[-1]
        return source_files([f"{newest}/bits/*"])
    if kind == "emoji":
        return emoji_documents()
    languages = {"german": ["de"], "russian": ["ru"], "japanese": ["ja"], "chinese": ["zh_CN", "zh_TW"]}
    codes = languages[kind]
    return (doc for gen in ([man_pages(f"{c}/man*/*") for c in codes] +
                            [message_catalogs(c) for c in codes])
            for doc in gen)


def assemble(kind):
    """Returns (warm-up text, measured text) of the kind."""
    warm_up, measured = [], []
    warm_bytes = measured_bytes = 0
    for doc in documents(kind):
        size = len(doc.encode())
        if warm_bytes < WARM_UP_BYTES:
            warm_up.append(doc)
            warm_bytes += size
        elif measured_bytes < MEASURED_BYTES:
            measured.append(doc)
            measured_bytes += size
        else:
            break
    return "".join(warm_up), "".join(measured)


def fingerprint():
    return hashlib.sha256(Path(__file__).read_bytes()).hexdigest()[:16]


def build(out=DEFAULT_OUT):
    """Writes <kind>.warm.txt and <kind>.txt for every kind into out, unless the files there
    were written by this version of the script; returns out."""
    stamp = out / "STAMP"
    if stamp.exists() and stamp.read_text() == fingerprint():
        return out
    out.mkdir(parents=True, exist_ok=True)
    for kind in KINDS:
        warm_up, measured = assemble(kind)
        (out / f"{kind}.warm.txt").write_text(warm_up, encoding="utf-8")
        (out / f"{kind}.txt").write_text(measured, encoding="utf-8")
    stamp.write_text(fingerprint())
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    args = parser.parse_args()
    out = build(args.out)
    for kind in KINDS:
        warm = (out / f"{kind}.warm.txt").stat().st_size
        measured = (out / f"{kind}.txt").stat().st_size
        print(f"{kind:>9}: warm-up {warm / 1e6:.2f} MB, measured {measured / 1e6:.2f} MB")


if __name__ == "__main__":
    main()
