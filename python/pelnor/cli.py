"""The pelnor command line: count, encode, decode, truncate and bench."""

import argparse
import json
import os
import re
import struct
import sys
import time

from . import BUILTIN_ENCODINGS, get_encoding

DEFAULT_ENCODING = "o200k_base"
CHUNK_BYTES = 4 << 20
PROGRESS_MIN_BYTES = 64 << 20

EXAMPLES = """examples:
  pelnor count README.md docs/*.txt        token counts per file and a total
  cat book.txt | pelnor count -e cl100k_base
  pelnor encode --format json notes.txt    the ids as a JSON list
  pelnor encode notes.txt | pelnor decode  ids per line, and back to text
  pelnor truncate -n 100 article.txt       the text cut to 100 tokens
  pelnor bench                             throughput against tiktoken
"""

# A newline followed by an ASCII letter: both pre-tokenizers always end a piece there and start
# the next one afresh, so text cut there encodes to exactly the ids of the whole.
_EXACT_CUT = re.compile(rb"\n(?=[A-Za-z])")


class CliError(Exception):
    """A failure reported as "pelnor: <message>" with exit status 1."""


def _open_input(path):
    if path in (None, "-"):
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None


def read_chunks(path):
    """Yields the file's text in chunks of a few MiB, each cut where the ids are unaffected."""
    stream = _open_input(path)
    pending = b""
    try:
        while True:
            block = stream.read(CHUNK_BYTES)
            if not block:
                break
            pending += block
            cut = None
            for match in _EXACT_CUT.finditer(pending, max(0, len(pending) - CHUNK_BYTES)):
                cut = match.end()
            if cut is not None:
                yield _decode(pending[:cut], path)
                pending = pending[cut:]
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    if pending:
        yield _decode(pending, path)


def _decode(raw, path):
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as error:
        name = 'stdin' if path in (None, '-') else path
        raise CliError(f"{name} is not UTF-8 text (byte {error.start})") from None


class Progress:
    """A progress line on stderr, shown only on a terminal and for large work."""

    def __init__(self, total_bytes):
        self.enabled = sys.stderr.isatty() and total_bytes >= PROGRESS_MIN_BYTES
        self.total = total_bytes
        self.done = 0

    def advance(self, nbytes):
        self.done += nbytes
        if self.enabled:
            sys.stderr.write(f"\rpelnor: {self.done / 1e6:.0f} / {self.total / 1e6:.0f} MB")
            sys.stderr.flush()

    def finish(self):
        if self.enabled:
            sys.stderr.write("\n")


def command_count(args, tok):
    paths = args.files or ["-"]
    sizes = {p: os.path.getsize(p) if p != "-" and os.path.isfile(p) else 0 for p in paths}
    progress = Progress(sum(sizes.values()))
    counts = {}
    # Small files go together into one parallel batch; large ones as parallel chunk batches.
    small = [p for p in paths if 0 < sizes[p] <= CHUNK_BYTES]
    for start in range(0, len(small), 256):
        group = small[start : start + 256]
        texts = ["".join(read_chunks(p)) for p in group]
        for path, n in zip(group, tok.count_batch(texts)):
            counts[path] = n
        progress.advance(sum(sizes[p] for p in group))
    group_size = os.cpu_count() or 1
    for path in paths:
        if path in counts:
            continue
        total, group = 0, []
        for chunk in read_chunks(path):
            group.append(chunk)
            if len(group) == group_size:
                total += sum(tok.count_batch(group))
                progress.advance(sum(len(c.encode()) for c in group))
                group = []
        total += sum(tok.count_batch(group))
        progress.advance(sum(len(c.encode()) for c in group))
        counts[path] = total
    progress.finish()
    total = sum(counts.values())
    if args.json:
        files = [{"path": p, "tokens": counts[p]} for p in paths]
        json.dump({"encoding": tok.name, "files": files, "total": total}, sys.stdout)
        sys.stdout.write("\n")
        return
    width = max(len(str(total)), 1)
    for path in paths:
        print(f"{counts[path]:>{width}} {path if path != '-' else ''}".rstrip())
    if len(paths) > 1:
        print(f"{total:>{width}} total")


def command_encode(args, tok):
    encode = tok.encode_with_special if args.special else tok.encode_ordinary
    if args.format == "lines":
        for chunk in read_chunks(args.file):
            for line in chunk.splitlines():
                print(" ".join(map(str, encode(line))))
        return
    ids = []
    for chunk in read_chunks(args.file):
        ids.extend(encode(chunk))
    if args.format == "json":
        json.dump(ids, sys.stdout)
        sys.stdout.write("\n")
    elif args.format == "raw":
        sys.stdout.buffer.write(struct.pack(f"<{len(ids)}I", *ids))
    else:
        import io

        import numpy

        # Through memory: numpy writes the array data past Python's buffer of a pipe.
        out = io.BytesIO()
        numpy.save(out, numpy.asarray(ids, dtype=numpy.uint32))
        sys.stdout.buffer.write(out.getvalue())


def _read_ids(args):
    stream = _open_input(args.file)
    raw = stream.read()
    if args.format == "raw":
        if len(raw) % 4:
            raise CliError("raw input must be a whole number of little-endian uint32 ids")
        return [list(struct.unpack(f"<{len(raw) // 4}I", raw))]
    text = _decode(raw, args.file)
    if args.format == "json":
        try:
            data = json.loads(text)
        except json.JSONDecodeError as error:
            raise CliError(f"invalid JSON ids: {error.msg}") from None
        return [data]
    # One sequence per line, so that `pelnor encode | pelnor decode` gives the lines back.
    rows = []
    for line in text.splitlines():
        try:
            rows.append([int(word) for word in line.split()])
        except ValueError as error:
            raise CliError(f"invalid token id: {str(error).rsplit(' ', 1)[-1]}") from None
    return rows


def command_decode(args, tok):
    rows = _read_ids(args)
    base_tokens = len(tok.token_byte_values())
    special_ids = {token_id for _, token_id in tok.special_tokens()}
    for row in rows:
        if not isinstance(row, list):
            raise CliError("JSON ids must be a list of integers")
        for token_id in row:
            valid = isinstance(token_id, int) and not isinstance(token_id, bool)
            if not valid or not (0 <= token_id < base_tokens or token_id in special_ids):
                raise CliError(f"invalid token id: {token_id!r}")
    out = [tok.decode(row) for row in rows]
    sys.stdout.write("\n".join(out) + ("\n" if args.format == "lines" and out else ""))


def command_truncate(args, tok):
    left = args.n
    for chunk in read_chunks(args.file):
        kept, total = tok.truncate(chunk, left)
        sys.stdout.write(kept)
        if total > left:
            break
        left -= total


SAMPLE = os.path.join(os.path.dirname(__file__), "sample.txt")


def command_bench(args, tok):
    text = "".join(read_chunks(args.file or SAMPLE))
    text = text * max(1, 4_000_000 // max(1, len(text.encode())))
    nbytes = len(text.encode())
    rows = [("pelnor encode_to_numpy", lambda: tok.encode_to_numpy(text)),
            ("pelnor encode", lambda: tok.encode(text, disallowed_special=())),
            ("pelnor count", lambda: tok.count(text))]
    reference = _tiktoken_reference(tok)
    if reference is not None:
        rows.append(("tiktoken encode_ordinary", lambda: reference.encode_ordinary(text)))
    print(f"{tok.name}, {nbytes / 1e6:.1f} MB of text")
    results = {}
    for label, fn in rows:
        fn()
        best = min(_timed(fn) for _ in range(3))
        results[label] = nbytes / best / 1e6
    baseline = results.get("tiktoken encode_ordinary")
    for label, rate in results.items():
        ratio = f"{rate / baseline:6.1f}x" if baseline else ""
        print(f"  {label:<26} {rate:9.1f} MB/s {ratio}")
    if baseline is None:
        print("  (tiktoken is not installed: no comparison)")


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def _tiktoken_reference(tok):
    try:
        from ._tiktoken import tiktoken_encoding

        ranks = {token: rank for rank, token in enumerate(tok.token_byte_values())}
        return tiktoken_encoding(tok.name, ranks)
    except ImportError:
        return None


def build_parser():
    parser = argparse.ArgumentParser(
        prog="pelnor",
        description="Exact, fast byte-pair tokenization with tiktoken's ids.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("-e", "--encoding", default=DEFAULT_ENCODING, choices=BUILTIN_ENCODINGS,
                         help=f"the encoding (default {DEFAULT_ENCODING})")
        return sub

    count = command("count", "token counts per file and a total, like wc (stdin without files)")
    count.add_argument("files", nargs="*", metavar="FILE")
    count.add_argument("--json", action="store_true", help="print the counts as JSON")
    encode = command("encode", "text to ids: one line of ids per input line, or the whole input")
    encode.add_argument("file", nargs="?", metavar="FILE")
    encode.add_argument("--special", action="store_true", help="special-token strings become their ids")
    encode.add_argument("--format", choices=["lines", "json", "npy", "raw"], default="lines",
                        help="lines (default), a JSON list, a .npy array or raw little-endian uint32")
    decode = command("decode", "ids to text: whitespace-separated ids per line, JSON or raw")
    decode.add_argument("file", nargs="?", metavar="FILE")
    decode.add_argument("--format", choices=["lines", "json", "raw"], default="lines")
    truncate = command("truncate", "the text cut to at most N tokens")
    truncate.add_argument("-n", type=int, required=True, metavar="N", help="the token budget")
    truncate.add_argument("file", nargs="?", metavar="FILE")
    bench = command("bench", "throughput of pelnor and, when installed, tiktoken")
    bench.add_argument("file", nargs="?", metavar="FILE", help="the text (a built-in sample without)")
    return parser


COMMANDS = {
    "count": command_count,
    "encode": command_encode,
    "decode": command_decode,
    "truncate": command_truncate,
    "bench": command_bench,
}


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "truncate" and args.n < 0:
        parser.error("-n must not be negative")
    try:
        COMMANDS[args.command](args, get_encoding(args.encoding))
    except CliError as error:
        print(f"pelnor: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        sys.stderr.close()
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
