"""The pelnor command line: count, encode, decode, truncate and bench."""

import argparse
import array
import io
import json
import os
import re
import stat
import sys
import time

from . import BUILTIN_ENCODINGS, get_tokenizer

DEFAULT_ENCODING = "o200k_base"
CHUNK_BYTES = 4 << 20
# About a second of work on one core: below this a progress line would only flicker.
PROGRESS_MIN_BYTES = 20_000_000
# Ids are turned into text this many at a time, to bound the memory of the output strings.
WRITE_IDS = 1 << 20

EXAMPLES = """examples:
  pelnor count README.md docs/*.txt        token counts per file and a total
  cat book.txt | pelnor count -e cl100k_base
  pelnor encode --format json notes.txt    the ids as a JSON list
  pelnor encode notes.txt | pelnor decode  the ids, and back to the same bytes
  pelnor encode --lines notes.txt          one line of ids per line of text
  pelnor truncate -n 100 article.txt       the text cut to 100 tokens
  pelnor bench                             throughput against tiktoken
"""

DECODE_RULE = (
    "An id outside the vocabulary is an error in every format: nothing is written and the exit "
    "status is 1 (Tokenizer.decode in Python drops such ids instead)."
)

# A newline followed by an ASCII letter: both pre-tokenizers always end a piece there and start
# the next one afresh, so text cut there encodes to exactly the ids of the whole.
_EXACT_CUT = re.compile(rb"\n(?=[A-Za-z])")


class CliError(Exception):
    """A failure reported as "pelnor: <message>" with exit status 1."""


def _name(path):
    return "stdin" if path in (None, "-") else path


def _open_input(path):
    if path in (None, "-"):
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None


def _input_size(path):
    """The bytes a file (stdin included) will give: None for a pipe or a terminal, 0 for what
    cannot be read."""
    try:
        info = os.fstat(sys.stdin.fileno()) if path in (None, "-") else os.stat(path)
    except (OSError, ValueError):
        return 0
    if stat.S_ISREG(info.st_mode):
        return info.st_size
    mode = info.st_mode
    return None if stat.S_ISFIFO(mode) or stat.S_ISCHR(mode) or stat.S_ISSOCK(mode) else 0


def read_chunks(path, errors=None, progress=None):
    """Yields the file's text in chunks of a few MiB, each cut where the ids are unaffected."""
    stream = _open_input(path)
    pending = b""
    offset = 0  # of pending in the file, so that errors name the file's byte
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
                text = _decode(pending[:cut], path, offset, errors)
                if progress is not None:
                    progress.advance(cut)
                yield text
                offset += cut
                pending = pending[cut:]
    except OSError as error:
        raise CliError(f"cannot read {_name(path)}: {error.strerror}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    if pending:
        text = _decode(pending, path, offset, errors)
        if progress is not None:
            progress.advance(len(pending))
        yield text


def _decode(raw, path, offset=0, errors=None):
    """The text of UTF-8 bytes found at offset in the file; errors is None where there is no
    --errors option to mention."""
    try:
        return raw.decode("utf-8", errors or "strict")
    except UnicodeDecodeError as error:
        hint = "" if errors is None else "; --errors replace reads it anyway"
        where = f"byte {offset + error.start}{hint}"
        raise CliError(f"{_name(path)} is not UTF-8 text ({where})") from None


class Progress:
    """A progress line on stderr: only on a terminal, and only for work of a second or more."""

    def __init__(self, paths):
        self.sizes = [_input_size(p) for p in paths]
        # A pipe's size is unknown: its line appears once that much has gone through.
        self.total = None if None in self.sizes else sum(self.sizes)
        long_work = self.total is None or self.total >= PROGRESS_MIN_BYTES
        self.enabled = sys.stderr.isatty() and long_work
        self.done = 0
        self.shown = False

    def advance(self, nbytes):
        self.done += nbytes
        if not self.enabled or (self.total is None and self.done < PROGRESS_MIN_BYTES):
            return
        of = "" if self.total is None else f" / {self.total / 1e6:.0f}"
        sys.stderr.write(f"\rpelnor: {self.done / 1e6:.0f}{of} MB")
        sys.stderr.flush()
        self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def _report(error, progress=None):
    """Prints a file's error in its place among the results, which go on."""
    if progress is not None:
        progress.clear()
    sys.stdout.flush()
    print(f"pelnor: {error}", file=sys.stderr)


def command_count(args, tok):
    paths = args.files or ["-"]
    progress = Progress(paths)
    results = [None] * len(paths)  # a count or the CliError of that file
    # Small files go together into one parallel batch; large ones as parallel chunk batches.
    small = [i for i, size in enumerate(progress.sizes)
             if size and size <= CHUNK_BYTES and paths[i] != "-"]
    for start in range(0, len(small), 256):
        group, texts = [], []
        for i in small[start : start + 256]:
            try:
                texts.append("".join(read_chunks(paths[i], args.errors, progress)))
                group.append(i)
            except CliError as error:
                results[i] = error
        for i, n in zip(group, tok.count_batch(texts)):
            results[i] = n
    group_size = os.cpu_count() or 1
    for i, path in enumerate(paths):
        if results[i] is not None:
            continue
        try:
            total, group = 0, []
            for chunk in read_chunks(path, args.errors, progress):
                group.append(chunk)
                if len(group) == group_size:
                    total += sum(tok.count_batch(group))
                    group = []
            results[i] = total + sum(tok.count_batch(group))
        except CliError as error:
            results[i] = error
    progress.clear()
    counted = [(p, n) for p, n in zip(paths, results) if not isinstance(n, CliError)]
    total = sum(n for _, n in counted)
    if args.json:
        for result in results:
            if isinstance(result, CliError):
                _report(result)
        files = [{"path": p, "tokens": n} for p, n in counted]
        json.dump({"encoding": tok.name, "files": files, "total": total}, sys.stdout)
        sys.stdout.write("\n")
    else:
        # Like wc: every count it has, each error in its place, then the total.
        width = max(len(str(total)), 1)
        for path, result in zip(paths, results):
            if isinstance(result, CliError):
                _report(result)
            else:
                print(f"{result:>{width}} {path if path != '-' else ''}".rstrip())
        if len(paths) > 1:
            print(f"{total:>{width}} total")
    return 1 if len(counted) < len(paths) else 0


def _numpy():
    try:
        import numpy
    except ImportError:
        message = "the npy format needs numpy installed: pip install 'pelnor[numpy]'"
        raise CliError(message) from None
    return numpy


def _ids_of(buffer):
    ids = array.array("I")
    ids.frombytes(buffer)
    if sys.byteorder == "big":
        ids.byteswap()
    return ids


def _joined(ids, separator):
    """The ids as decimal text, in slices: a huge file needs no huge list of strings."""
    for start in range(0, len(ids), WRITE_IDS):
        text = separator.join(map(str, ids[start : start + WRITE_IDS]))
        yield separator + text if start else text


def command_encode(args, tok):
    numpy = _numpy() if args.format == "npy" else None
    paths = args.files or ["-"]
    progress = Progress(paths)
    failed = False
    for path in paths:
        try:
            if args.lines:
                _encode_lines(args, tok, path, progress)
            else:
                _encode_whole(args, tok, path, progress, numpy)
        except CliError as error:
            _report(error, progress)
            failed = True
    progress.clear()
    return 1 if failed else 0


def _encode_whole(args, tok, path, progress, numpy):
    # The ids of the whole text; a file's ids are written once it has been read without error.
    policy = {"allowed_special": "all"} if args.special else {"disallowed_special": ()}
    buffer = bytearray()
    for chunk in read_chunks(path, args.errors, progress):
        buffer += tok.encode_to_buffer(chunk, **policy)
    if args.format == "raw":
        sys.stdout.buffer.write(buffer)
    elif args.format == "npy":
        # Through memory: numpy writes the array data past Python's buffer of a pipe.
        out = io.BytesIO()
        numpy.save(out, numpy.frombuffer(buffer, dtype="<u4").astype(numpy.uint32, copy=False))
        sys.stdout.buffer.write(out.getvalue())
    else:
        ids = _ids_of(buffer)
        json_list = args.format == "json"
        sys.stdout.write("[" if json_list else "")
        for text in _joined(ids, ", " if json_list else " "):
            sys.stdout.write(text)
        sys.stdout.write("]\n" if json_list else "\n")


def _encode_lines(args, tok, path, progress):
    encode = tok.encode_with_special if args.special else tok.encode_ordinary
    for chunk in read_chunks(path, args.errors, progress):
        # Chunks end after a newline, so no line spans two of them.
        lines = chunk.split("\n")
        if lines[-1] == "":
            lines.pop()
        for line in lines:
            ids = encode(line[:-1] if line.endswith("\r") else line)
            sys.stdout.write(" ".join(map(str, ids)) + "\n")


def _read_ids(args):
    """The ids read, as rows: one per input line with --lines, else one for the whole input."""
    stream = _open_input(args.file)
    try:
        raw = stream.read()
    except OSError as error:
        raise CliError(f"cannot read {_name(args.file)}: {error.strerror}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    if args.format == "raw":
        if len(raw) % 4:
            raise CliError("raw input must be a whole number of little-endian uint32 ids")
        return [_ids_of(raw).tolist()]
    if args.format == "npy":
        return [_npy_ids(raw)]
    text = _decode(raw, args.file)
    if args.format == "json":
        return [_json_ids(text)]
    lines = text.split("\n") if args.lines else [text]
    if args.lines and lines[-1] == "":
        lines.pop()
    try:
        return [[int(word) for word in line.split()] for line in lines]
    except ValueError as error:
        raise CliError(f"invalid token id: {str(error).rsplit(' ', 1)[-1]}") from None


def _json_ids(text):
    """The ids of one or more JSON lists, one after another (encode writes one per file)."""
    ids, decoder, position, lists = [], json.JSONDecoder(), 0, 0
    while True:
        while position < len(text) and text[position] in " \t\r\n":
            position += 1
        if position == len(text) and lists:
            return ids
        try:
            value, position = decoder.raw_decode(text, position)
        except json.JSONDecodeError as error:
            raise CliError(f"invalid JSON ids: {error.msg}") from None
        if not isinstance(value, list):
            raise CliError("JSON ids must be a list of integers")
        ids.extend(value)
        lists += 1


def _npy_ids(raw):
    """The ids of one or more .npy arrays, one after another (encode writes one per file)."""
    numpy = _numpy()
    stream, ids = io.BytesIO(raw), []
    while stream.tell() < len(raw):
        try:
            ids_array = numpy.load(stream, allow_pickle=False)
        except (ValueError, EOFError, OSError) as error:
            raise CliError(f"invalid npy ids: {error}") from None
        is_array = isinstance(ids_array, numpy.ndarray)
        if not is_array or ids_array.ndim != 1 or ids_array.dtype.kind not in "iu":
            raise CliError("npy ids must be a one-dimensional array of integers")
        ids.extend(ids_array.tolist())
    return ids


def command_decode(args, tok):
    rows = _read_ids(args)
    base_tokens = len(tok.token_byte_values())
    special_ids = {token_id for _, token_id in tok.special_tokens()}
    for row in rows:
        for token_id in row:
            if type(token_id) is not int or not (
                0 <= token_id < base_tokens or token_id in special_ids
            ):
                raise CliError(f"invalid token id: {token_id!r}")
    # The tokens' bytes as they are: the bytes encode read come back unchanged.
    out = sys.stdout.buffer
    for row in rows:
        out.write(tok.decode_bytes(row))
        if args.lines:
            out.write(b"\n")


def command_truncate(args, tok):
    left = args.n
    progress = Progress([args.file])
    for chunk in read_chunks(args.file, args.errors, progress):
        kept, total = tok.truncate(chunk, left)
        sys.stdout.write(kept)
        if total > left:
            break
        left -= total
    progress.clear()


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


FORMATS = ["text", "json", "npy", "raw"]
FORMATS_HELP = (
    "text (default): the ids separated by spaces, a line per file; json: a JSON list per file; "
    "npy: a .npy uint32 array per file; raw: little-endian uint32"
)


def build_parser():
    parser = argparse.ArgumentParser(
        prog="pelnor",
        description="Exact, fast byte-pair tokenization with tiktoken's ids.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, help_text, description=None):
        sub = commands.add_parser(name, help=help_text, description=description or help_text)
        sub.add_argument("-e", "--encoding", default=DEFAULT_ENCODING, choices=BUILTIN_ENCODINGS,
                         help=f"the encoding (default {DEFAULT_ENCODING})")
        return sub

    def errors_option(sub):
        sub.add_argument("--errors", choices=["strict", "replace"], default="strict",
                         help="invalid UTF-8 in the input: strict (default) stops at it with its "
                              "byte offset; replace reads each bad sequence as U+FFFD")

    # "lines" was the name of the per-line text format: it still means --lines.
    format_choices = [*FORMATS, "lines"]
    format_metavar = "{" + ",".join(FORMATS) + "}"

    count = command("count", "token counts per file and a total, like wc (stdin without files); "
                             "a file that cannot be read is reported and the exit status is 1")
    count.add_argument("files", nargs="*", metavar="FILE")
    count.add_argument("--json", action="store_true", help="print the counts as JSON")
    errors_option(count)
    encode = command("encode", "text to ids: the ids of the whole text of each file (stdin without "
                               "files), which decode turns back into the same bytes; a file that "
                               "cannot be read is reported and the exit status is 1")
    encode.add_argument("files", nargs="*", metavar="FILE")
    encode.add_argument("--special", action="store_true",
                        help="special-token strings become their ids")
    encode.add_argument("--format", choices=format_choices, default="text", metavar=format_metavar,
                        help=FORMATS_HELP)
    encode.add_argument("--lines", action="store_true",
                        help="a line of ids per line of text, its line end (\\n or \\r\\n) "
                             "left out "
                             "(text format only)")
    errors_option(encode)
    decode = command("decode", "ids to text: the ids written by encode, back to the bytes it read",
                     "ids to text: the ids written by encode, in the same format, back to the "
                     "bytes it read. " + DECODE_RULE)
    decode.add_argument("file", nargs="?", metavar="FILE")
    decode.add_argument("--format", choices=format_choices, default="text", metavar=format_metavar,
                        help=FORMATS_HELP)
    decode.add_argument("--lines", action="store_true",
                        help="a line of text, ending in \\n, per line of ids (text format only)")
    truncate = command("truncate", "the text cut to at most N tokens")
    truncate.add_argument("-n", type=int, required=True, metavar="N", help="the token budget")
    truncate.add_argument("file", nargs="?", metavar="FILE")
    errors_option(truncate)
    bench = command("bench", "throughput of pelnor and, when installed, tiktoken")
    bench.add_argument("file", nargs="?", metavar="FILE",
                       help="the text (a built-in sample without)")
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
    if getattr(args, "format", None) == "lines":
        args.format, args.lines = "text", True
    if getattr(args, "lines", False) and args.format != "text":
        parser.error("--lines goes with the text format only")
    try:
        return COMMANDS[args.command](args, get_tokenizer(args.encoding)) or 0
    except CliError as error:
        sys.stdout.flush()
        print(f"pelnor: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        sys.stderr.close()
        return 1
    except KeyboardInterrupt:
        return 130
