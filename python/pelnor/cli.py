"""The pelnor command line: count, encode, decode, truncate, show and bench."""

import argparse
import codecs
import json
import os
import pickle
import stat
import sys
import time

from . import BUILTIN_ENCODINGS, __version__, get_encoding
from . import cli_ids
from .cli_encodings import ENCODING_HELP, PATTERN_HELP, EncodingError, tokenizer_of
from .cli_show import show_tokens

DEFAULT_ENCODING = "o200k_base"
CHUNK_BYTES = 1 << 20
# About a second of work on one core: below this a progress line would only flicker.
PROGRESS_MIN_BYTES = 20_000_000

EXAMPLES = """examples:
  pelnor count README.md docs/*.txt        token counts per file and a total
  cat book.txt | pelnor count -e cl100k_base
  pelnor encode --format json notes.txt    the ids as a JSON list
  pelnor encode notes.txt | pelnor decode  the ids, and back to the same bytes
  pelnor encode --lines notes.txt          one line of ids per line of text
  pelnor truncate -n 100 article.txt       the text cut to 100 tokens
  pelnor show notes.txt                    the text with its tokens marked
  pelnor bench                             throughput against tiktoken

Special-token strings such as <|endoftext|> are plain text unless --special makes them their ids.
"""

DECODE_RULE = (
    "An id outside the vocabulary is an error in every format: decoding stops before it and the "
    "exit status is 1 (Tokenizer.decode in Python drops such ids instead)."
)

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
    """Yields the file's text in blocks of a few MiB, none ending inside a character."""
    stream = _open_input(path)
    decoder = codecs.getincrementaldecoder("utf-8")(errors or "strict")
    offset = 0  # in the file, of the bytes the decoder has taken so far
    try:
        while True:
            block = stream.read(CHUNK_BYTES)
            # The decoder holds the bytes of a character cut by the block's end until the next.
            held = len(decoder.getstate()[0])
            try:
                text = decoder.decode(block, final=not block)
            except UnicodeDecodeError as error:
                raise _not_utf8(path, offset - held + error.start, errors) from None
            offset += len(block)
            if progress is not None:
                progress.advance(len(block))
            if text:
                yield text
            if not block:
                break
    except OSError as error:
        raise CliError(f"cannot read {_name(path)}: {error.strerror}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _not_utf8(path, offset, errors):
    """The failure of a byte that is not UTF-8 at offset in the file; errors is None where there
    is no --errors option to mention."""
    hint = "" if errors is None else "; --errors replace reads it anyway"
    return CliError(f"{_name(path)} is not UTF-8 text (byte {offset}{hint})")


def stream_ids(tok, path, special, errors=None, progress=None, spelled=False):
    """Yields (ids, text) in order for the file's text: the ids of a part of it, as a
    little-endian uint32 buffer, and, with `spelled`, that part's UTF-8 bytes (else None); the
    tokenizer's stream holds a few MiB of the text at most."""
    stream = tok.stream(special)
    fed = bytearray()  # the text fed whose ids have not come yet
    done = 0
    for text in read_chunks(path, errors, progress):
        if spelled:
            fed += text.encode()
        ids = stream.feed(text)
        if ids and spelled:
            part, done = stream.consumed - done, stream.consumed
            yield ids, bytes(fed[:part])
            del fed[:part]
        elif ids:
            yield ids, None
    yield stream.finish(), bytes(fed) if spelled else None


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


def _policy(args):
    """encode's special-token policy of the --special option."""
    return {"allowed_special": "all"} if args.special else {"disallowed_special": ()}


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
        for i, n in zip(group, tok.count_batch(texts, 0, args.special)):
            results[i] = n
    for i, path in enumerate(paths):
        if results[i] is not None:
            continue
        try:
            results[i] = sum(len(ids) // 4 for ids, _ in stream_ids(tok, path, args.special,
                                                                     args.errors, progress))
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


def command_encode(args, tok):
    paths = args.files or ["-"]
    progress = Progress(paths)
    failed = False
    for path in paths:
        # Like grep, each line of several files' output names its file.
        tag = f"{path}: " if len(paths) > 1 else ""
        try:
            _check_utf8(path, args.errors)
            if args.lines:
                _encode_lines(args, tok, path, progress, tag)
            elif args.format in ("raw", "npy"):
                _encode_binary(args, tok, path, progress)
            else:
                _encode_text(args, tok, path, progress, tag)
        except CliError as error:
            _report(error, progress)
            failed = True
    progress.clear()
    return 1 if failed else 0


def _check_utf8(path, errors):
    """Reads a regular file through once, so that its ids are written whole or not at all;
    a pipe is encoded as it arrives."""
    if errors == "strict" and path != "-" and _input_size(path):
        for _ in read_chunks(path, errors):
            pass


def _encode_chunks(args, tok, path, progress):
    """Yields the ids of the text a part at a time, as arrays: quicker to build than lists, and
    as quick to write."""
    for ids, _ in stream_ids(tok, path, args.special, args.errors, progress):
        yield cli_ids.ids_of_buffer(ids)


def _encode_text(args, tok, path, progress, tag):
    out = sys.stdout
    if args.format == "json":
        separator = ", "
        head, tail = (f'{{"path": {json.dumps(path)}, "ids": [', "]}") if tag else ("[", "]")
    else:
        separator, head, tail = " ", tag, ""
    started = written = False
    try:
        for ids in _encode_chunks(args, tok, path, progress):
            if not started:
                out.write(head)
                started = True
            if ids:
                out.write(separator if written else "")
                out.write(separator.join(map(str, ids)))
                written = True
    except CliError:
        if started:  # a pipe's bad byte: its ids so far keep a line of their own
            out.write("\n")
        raise
    out.write(("" if started else head) + tail + "\n")


def _encode_binary(args, tok, path, progress):
    out = sys.stdout.buffer
    parts = (ids for ids, _ in stream_ids(tok, path, args.special, args.errors, progress))
    if args.format == "raw":
        for ids in parts:
            out.write(ids)
        return
    # The header holds the length, so the ids wait in one compact buffer of 4 bytes each.
    buffer = bytearray()
    for ids in parts:
        buffer += ids
    out.write(cli_ids.npy_header(len(buffer) // 4))
    out.write(buffer)


def _encode_lines(args, tok, path, progress, tag):
    """Writes a line of ids per line of text: the lines of a block encoded together, a line
    longer than a block as it arrives."""
    out = sys.stdout
    line = _LineInParts(tok, args.special, tag, out)
    for block in read_chunks(path, args.errors, progress):
        first, last = block.find("\n"), block.rfind("\n")
        if first < 0:
            line.add(block)
            continue
        line.add(block[: first + 1])
        line.end()
        lines = block[first + 1 : last].split("\n") if last > first else []
        texts = [text.removesuffix("\r") for text in lines]
        for ids, text, whole in zip(tok.encode_batch_lists(texts, 0, args.special), texts, lines):
            out.write(tag + " ".join(map(str, ids)) + whole[len(text) :] + "\n")
        line.add(block[last + 1 :])
    line.end(last=True)


class _LineInParts:
    """The line of text being read, until its end: held while short, then encoded in parts."""

    def __init__(self, tok, special, tag, out):
        self.tok, self.special, self.tag, self.out = tok, special, tag, out
        self.parts, self.held, self.stream, self.written = [], 0, None, False

    def add(self, text):
        if not text:
            return
        self.parts.append(text)
        self.held += len(text)
        if self.held > CHUNK_BYTES:
            # Long: encoded as it comes, but for a last \r, which may begin the line's end.
            if self.stream is None:
                self.stream = self.tok.stream(self.special)
                self.out.write(self.tag)
            text = "".join(self.parts)
            keep = "\r" if text.endswith("\r") else ""
            self._write(self.stream.feed(text.removesuffix(keep)))
            self.parts, self.held = ([keep], 1) if keep else ([], 0)

    def end(self, last=False):
        text = "".join(self.parts)
        body = text.removesuffix("\n").removesuffix("\r") if text.endswith("\n") else text
        ending = text[len(body) :] or ("\n" if self.tag and (body or self.stream) else "")
        if self.stream is None:
            if body or not last:
                self.out.write(self.tag + " ".join(map(str, self.tok.encode_batch_lists(
                    [body], 0, self.special)[0])) + ending)
        else:
            self._write(self.stream.feed(body))
            self._write(self.stream.finish())
            self.out.write(ending)
        self.parts, self.held, self.stream, self.written = [], 0, None, False

    def _write(self, buffer):
        ids = cli_ids.ids_of_buffer(buffer)
        if ids:
            self.out.write((" " if self.written else "") + " ".join(map(str, ids)))
            self.written = True


ID_ROWS = {
    "text": cli_ids.text_rows,
    "json": cli_ids.json_rows,
    "raw": cli_ids.raw_rows,
    "npy": lambda stream: cli_ids.npy_rows(stream, _numpy()),
}


def command_decode(args, tok):
    rows = cli_ids.line_rows if args.lines else ID_ROWS[args.format]
    stream = _open_input(args.file)
    # The tokens' bytes as they are: the bytes encode read come back unchanged.
    out = sys.stdout.buffer
    try:
        for ids, ending in rows(stream):
            out.write(_decoded(tok, ids))
            out.write(ending)
    except cli_ids.IdsError as error:
        raise CliError(str(error)) from None
    except OSError as error:
        raise CliError(f"cannot read {_name(args.file)}: {error.strerror}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _decoded(tok, ids):
    try:
        return tok.decode_bytes_checked(ids)
    except (KeyError, OverflowError, TypeError):
        bad = next(i for i in ids if not _is_token(tok, i))
        raise CliError(f"invalid token id: {bad!r}") from None


def _is_token(tok, token_id):
    try:
        tok.decode_bytes_checked([token_id])
    except (KeyError, OverflowError, TypeError):
        return False
    return type(token_id) is int


def command_truncate(args, tok):
    left = args.n
    progress = Progress([args.file])
    for buffer, spelled in stream_ids(tok, args.file, args.special, args.errors, progress, True):
        ids = cli_ids.ids_of_buffer(buffer)
        if len(ids) > left:
            # The bytes of the ids within the budget, less a character the last ends inside.
            spelled = spelled[: len(tok.decode_bytes(ids[:left]))].decode("utf-8", "ignore")
            sys.stdout.write(spelled)
            break
        sys.stdout.write(spelled.decode())
        left -= len(ids)
    progress.clear()


def command_show(args, tok):
    paths = args.files or ["-"]
    color = args.color == "always" or (args.color == "auto" and sys.stdout.isatty())
    failed = False
    for n, path in enumerate(paths):
        if len(paths) > 1:
            # Like head and tail, a heading names each file.
            sys.stdout.write(f"{chr(10) if n else ''}==> {path} <==\n")
        try:
            parts = (cli_ids.ids_of_buffer(ids) for ids, _ in stream_ids(tok, path, args.special,
                                                                          args.errors))
            show_tokens(tok, parts, color, args.ids, sys.stdout)
        except CliError as error:
            _report(error)
            failed = True
    return 1 if failed else 0


SAMPLE = os.path.join(os.path.dirname(__file__), "sample.txt")


# Below this a file is too short to time on distinct text: it is repeated, and only timed warm.
BENCH_DISTINCT_BYTES = 1_000_000


def command_bench(args, tok):
    text = "".join(read_chunks(args.file or SAMPLE))
    policy = _policy(args)
    reference = _tiktoken_reference(tok)
    versus = (f"tiktoken {reference[1]}" if reference else "tiktoken (not installed)"
              if tok.name in BUILTIN_ENCODINGS else "no tiktoken encoding")
    timed_as = "their ids" if args.special else "plain text (--special: their ids)"
    rows = []
    if len(text.encode()) >= BENCH_DISTINCT_BYTES:
        # A third to warm up on, the rest timed: distinct text, as a real workload sees it.
        cut = text.find("\n", len(text) // 3) + 1 or len(text) // 3
        warm_up, measured = text[:cut], text[cut:]
        nbytes = len(measured.encode())
        print(f"{tok.name}, {nbytes / 1e6:.1f} MB of distinct text against {versus}, "
              f"special-token strings as {timed_as}")
        # Copies: new tokenizers, their piece caches cold.
        first, new = pickle.loads(pickle.dumps(tok)), pickle.loads(pickle.dumps(tok))
        new.encode(warm_up, **policy)
        rows.append(("first pass (a new tokenizer)", lambda: first.encode(measured, **policy), 1))
        rows.append(("new text (warmed on other text)", lambda: new.encode(measured, **policy), 1))
        rows.append(("warm (the same text again)", lambda: new.encode(measured, **policy), 3))
    else:
        measured = text * (4_000_000 // max(1, len(text.encode())) + 1)
        nbytes = len(measured.encode())
        print(f"{tok.name}, {nbytes / 1e6:.1f} MB of a short text repeated against {versus}, "
              f"special-token strings as {timed_as}")
        rows.append(("warm, repeated text", lambda: tok.encode(measured, **policy), 3))
    print(f"  {'encode':<32} {'pelnor':>12} {'tiktoken':>12}")
    for label, call, repeat in rows:
        ours = _best(call, repeat)
        theirs = _best(lambda: reference[0].encode(measured, **policy), repeat) if reference else None
        ratio = f"{theirs / ours:6.1f}x" if theirs else ""
        their_rate = f"{nbytes / theirs / 1e6:7.1f} MB/s" if theirs else ""
        print(f"  {label:<32} {nbytes / ours / 1e6:7.1f} MB/s {their_rate:>12} {ratio}")
    if reference is None and tok.name in BUILTIN_ENCODINGS:
        print("  (tiktoken is not installed: no comparison)")


def _best(fn, repeat):
    return min(_timed(fn) for _ in range(repeat))


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def _tiktoken_reference(tok):
    """(tiktoken's Encoding with the same pattern, ranks and special tokens, its version), or
    None (also for an encoding that is not built in)."""
    try:
        import tiktoken
    except ImportError:
        return None
    if tok.name not in BUILTIN_ENCODINGS:
        return None
    face = get_encoding(tok.name)
    return tiktoken.Encoding(tok.name, pat_str=face._pat_str,
                             mergeable_ranks=face._mergeable_ranks,
                             special_tokens=face._special_tokens), tiktoken.__version__


FORMATS = ["text", "json", "npy", "raw"]
FORMATS_HELP = (
    "text (default): the ids separated by spaces, a line per file, after \"FILE: \" where there "
    "are several files; json: a JSON list, or with several files a line of "
    "{\"path\": FILE, \"ids\": [...]} per file; npy: a .npy uint32 array; raw: little-endian "
    "uint32 (npy and raw take one file)"
)


def build_parser():
    parser = argparse.ArgumentParser(
        prog="pelnor",
        description="Exact, fast byte-pair tokenization with tiktoken's ids.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"pelnor {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, help_text, description=None):
        sub = commands.add_parser(name, help=help_text, description=description or help_text)
        sub.set_defaults(usage_error=sub.error)
        sub.add_argument("-e", "--encoding", default=DEFAULT_ENCODING, metavar="ENCODING",
                         help=f"{ENCODING_HELP} (default {DEFAULT_ENCODING})")
        sub.add_argument("--pattern", help=PATTERN_HELP)
        return sub

    def special_option(sub):
        sub.add_argument("--special", action="store_true",
                         help="special-token strings such as <|endoftext|> are their ids "
                              "(without: plain text)")

    def errors_option(sub):
        sub.add_argument("--errors", choices=["strict", "replace"], default="strict",
                         help="invalid UTF-8 in the input: strict (default) stops at it with its "
                              "byte offset; replace reads each bad sequence as U+FFFD")

    def format_options(sub, lines_help):
        # "lines" was the name of the per-line text format: it still means --lines.
        sub.add_argument("--format", choices=[*FORMATS, "lines"], default="text",
                         metavar="{" + ",".join(FORMATS) + "}", help=FORMATS_HELP)
        sub.add_argument("--lines", action="store_true", help=lines_help + " (text format only)")

    def files_command(name, help_text):
        # A command over the text of each file, or stdin without files.
        sub = command(name, help_text)
        sub.add_argument("files", nargs="*", metavar="FILE")
        special_option(sub)
        errors_option(sub)
        return sub

    count = files_command("count", "token counts per file and a total, like wc (stdin without "
                                   "files); a file that cannot be read is reported and the exit "
                                   "status is 1")
    count.add_argument("--json", action="store_true", help="print the counts as JSON")
    encode = files_command("encode", "text to ids: the ids of the whole text of each file (stdin "
                                     "without files), which decode turns back into the same bytes; "
                                     "a file that cannot be read is reported and the exit status "
                                     "is 1")
    format_options(encode, "a line of ids per line of text, ending as that line ends "
                           "(\\n, \\r\\n or, last, nothing)")
    decode = command("decode", "ids to text: the ids written by encode, back to the bytes it read",
                     "ids to text: the ids written by encode, in the same format, back to the "
                     "bytes it read. " + DECODE_RULE)
    decode.add_argument("file", nargs="?", metavar="FILE")
    format_options(decode, "a line of text per line of ids, ending as that line ends")
    truncate = command("truncate", "the text cut to at most N tokens")
    truncate.add_argument("-n", type=int, required=True, metavar="N", help="the token budget")
    truncate.add_argument("file", nargs="?", metavar="FILE")
    special_option(truncate)
    errors_option(truncate)
    show = files_command("show", "the text with each token marked: alternating background colours "
                                 "on a terminal, [brackets] around each token otherwise; a token "
                                 "that is part of a character shows its bytes as \\x escapes")
    show.add_argument("--ids", action="store_true", help="each token's id after it")
    show.add_argument("--color", choices=["auto", "always", "never"], default="auto",
                      help="colours, not brackets: on a terminal (auto, the default), always "
                           "or never")
    bench = command("bench", "throughput of pelnor and, when installed, tiktoken")
    bench.add_argument("file", nargs="?", metavar="FILE",
                       help="the text (a built-in sample without)")
    special_option(bench)
    return parser


COMMANDS = {
    "count": command_count,
    "encode": command_encode,
    "decode": command_decode,
    "truncate": command_truncate,
    "show": command_show,
    "bench": command_bench,
}


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "truncate" and args.n < 0:
        args.usage_error("-n must not be negative")
    if getattr(args, "format", None) == "lines":
        args.format, args.lines = "text", True
    if getattr(args, "lines", False) and args.format != "text":
        args.usage_error("--lines goes with the text format only")
    if getattr(args, "format", None) in ("npy", "raw") and len(getattr(args, "files", [])) > 1:
        args.usage_error(f"--format {args.format} holds the ids of one file, and several files "
                         "would read back as one: give one file per command")
    try:
        tok = tokenizer_of(args.encoding, args.pattern)
    except EncodingError as error:
        args.usage_error(str(error))
    try:
        return COMMANDS[args.command](args, tok) or 0
    except CliError as error:
        sys.stdout.flush()
        print(f"pelnor: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        sys.stderr.close()
        return 1
    except KeyboardInterrupt:
        return 130
