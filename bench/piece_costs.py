#!/usr/bin/env python3
"""Where the warm time of a kind goes: the pieces the piece cache serves against those merged on
every pass, for pelnor and for tiktoken, per encoding.

    tools/devroot run python3 bench/piece_costs.py [--kind russian] [--encoding NAME]...

The kind's measured text is split into pieces by the encoding's pattern (the `regex` module,
as tiktoken splits). A piece is merged on every pass when the cache cannot hold it: longer than
15 bytes, starting with a three-byte character, or more than four ids. Each group's pieces are
joined into one text and encoded warm; the figures are per piece of the group.
"""

import argparse

import regex
from bench_api import best_time, read_kind

# bench_api has put tools/ on the path.
import corpus  # noqa: E402
import tiktoken_offline  # noqa: E402

import pelnor  # noqa: E402

MAX_CACHED_BYTES = 15
MAX_CACHED_IDS = 4


def merged_every_pass(tok, piece):
    data = piece.encode()
    return (len(data) > MAX_CACHED_BYTES or (len(data) >= 3 and 0xE0 <= data[0] <= 0xEF)
            or len(tok.encode_ordinary(piece)) > MAX_CACHED_IDS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", default="russian", choices=corpus.KINDS)
    parser.add_argument("--encoding", action="append", choices=pelnor.BUILTIN_ENCODINGS)
    args = parser.parse_args()
    corpus.build()
    text = read_kind(args.kind)
    print(f"{args.kind}: per piece of each group; pelnor's list of ints and its uint32 array")
    for name in args.encoding or ("r50k_base", "cl100k_base"):
        tok, ref = pelnor.Tokenizer(name), tiktoken_offline.encoding(name)
        pieces = regex.findall(ref._pat_str, text)
        groups = {"cached": [], "merged": []}
        for piece in pieces:
            groups["merged" if merged_every_pass(tok, piece) else "cached"].append(piece)
        print(f"{name}: {len(pieces)} pieces, "
              f"{len(tok.encode_ordinary(text)) / len(pieces):.2f} ids per piece")
        for group, members in groups.items():
            joined = "".join(members)
            ids = tok.encode_ordinary(joined)
            assert ids == ref.encode_ordinary(joined), (name, group)
            n = len(members)
            ours_list = best_time(lambda: tok.encode_ordinary(joined), 3)
            ours_array = best_time(lambda: tok.encode_to_numpy(joined), 3)
            theirs = best_time(lambda: ref.encode_ordinary(joined), 2)
            print(f"  {group:>6}: {n / len(pieces):4.0%} of pieces, {len(ids) / n:5.2f} ids, "
                  f"pelnor {ours_list / n * 1e9:5.0f} ns (array {ours_array / n * 1e9:5.0f}), "
                  f"tiktoken {theirs / n * 1e9:5.0f} ns, x {theirs / ours_list:.1f}")


if __name__ == "__main__":
    main()
