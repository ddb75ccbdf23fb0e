"""The command line, run as a user runs it: a subprocess with files and pipes."""

import json
import random
import re
import struct
import subprocess
import sys

import pytest

import pelnor
from conftest import needs
from test_stress import numpy_installed

SAMPLE = "The quick brown fox.\nJumps over 12345 lazy dogs!\n\nGrüße, 世界 <|endoftext|>\n"


# Reading npy ids back needs numpy; writing them does not.
ROUND_TRIP_FORMATS = ["text", "json", "raw"] + (["npy"] if numpy_installed() else [])


def run(*args, stdin=b"", cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "pelnor", *args], input=stdin, capture_output=True, cwd=cwd
    )


@pytest.fixture()
def sample(tmp_path):
    path = tmp_path / "sample.txt"
    path.write_text(SAMPLE, encoding="utf-8")
    return path


def test_count_files_stdin_and_json(sample, tmp_path):
    tok = pelnor.Tokenizer("o200k_base")
    other = tmp_path / "other.txt"
    other.write_text("hello world\n" * 1000, encoding="utf-8")
    n1, n2 = tok.count(SAMPLE), tok.count("hello world\n" * 1000)
    result = run("count", str(sample), str(other))
    assert result.returncode == 0
    assert result.stdout.decode().split() == [str(n1), str(sample), str(n2), str(other), str(n1 + n2), "total"]
    assert run("count", stdin=SAMPLE.encode()).stdout.decode().strip() == str(n1)
    report = json.loads(run("count", "--json", "-e", "cl100k_base", str(sample)).stdout)
    assert report == {
        "encoding": "cl100k_base",
        "files": [{"path": str(sample), "tokens": pelnor.Tokenizer("cl100k_base").count(SAMPLE)}],
        "total": pelnor.Tokenizer("cl100k_base").count(SAMPLE),
    }


def test_large_input_is_counted_in_exact_chunks(tmp_path):
    from pelnor import cli

    text = ("Paragraph one goes on.\n  indented line\nnext\n\n" * 100000) + "end"
    path = tmp_path / "big.txt"
    path.write_text(text, encoding="utf-8")
    assert len(text) > cli.CHUNK_BYTES
    tok = pelnor.Tokenizer("o200k_base")
    assert run("count", str(path)).stdout.decode().split()[0] == str(tok.count(text))
    ids = json.loads(run("encode", "--format", "json", str(path)).stdout)
    assert ids == tok.encode_ordinary(text)


def test_encode_formats(sample):
    numpy = needs("numpy")

    tok = pelnor.Tokenizer("o200k_base")
    ids = tok.encode_ordinary(SAMPLE)
    assert run("encode", str(sample)).stdout.decode() == " ".join(map(str, ids)) + "\n"
    lines = run("encode", "--lines", str(sample)).stdout.decode().splitlines()
    assert lines == [" ".join(map(str, tok.encode_ordinary(line))) for line in SAMPLE.splitlines()]
    assert json.loads(run("encode", "--format", "json", str(sample)).stdout) == ids
    raw = run("encode", "--format", "raw", str(sample)).stdout
    assert list(struct.unpack(f"<{len(raw) // 4}I", raw)) == ids
    npy = run("encode", "--format", "npy", str(sample)).stdout
    import io

    assert numpy.load(io.BytesIO(npy)).tolist() == ids
    special = json.loads(run("encode", "--special", "--format", "json", str(sample)).stdout)
    assert special == tok.encode_with_special(SAMPLE)
    with open(sample, "rb") as redirected:  # stdin that is a regular file is read once
        result = subprocess.run([sys.executable, "-m", "pelnor", "encode"], stdin=redirected,
                                capture_output=True)
    assert result.stdout.decode() == " ".join(map(str, ids)) + "\n"


def test_decode_formats_and_round_trip(sample):
    encoded = run("encode", str(sample)).stdout
    assert run("decode", stdin=encoded).stdout.decode() == SAMPLE.replace("\n\n", "\n\n")
    tok = pelnor.Tokenizer("o200k_base")
    ids = tok.encode_ordinary(SAMPLE)
    assert run("decode", "--format", "json", stdin=json.dumps(ids).encode()).stdout.decode() == SAMPLE
    raw = struct.pack(f"<{len(ids)}I", *ids)
    assert run("decode", "--format", "raw", stdin=raw).stdout.decode() == SAMPLE


def test_encode_gives_the_ids_of_the_whole_text_and_decode_the_same_bytes(references):
    data = "line one\n\nline three\r\na\r\nb \u2028 <|endoftext|>\tend\r".encode()
    ids = references["o200k_base"].encode_ordinary(data.decode())
    assert run("encode", stdin=data).stdout.split() == [str(i).encode() for i in ids]
    for fmt in ROUND_TRIP_FORMATS:
        encoded = run("encode", "--format", fmt, stdin=data).stdout
        assert run("decode", "--format", fmt, stdin=encoded).stdout == data, fmt
    lines = b"line one\n\nline three\n"
    encoded = run("encode", "--lines", stdin=lines).stdout
    assert run("decode", "--lines", stdin=encoded).stdout == lines


def test_unreadable_files_are_reported_and_the_others_still_done(sample, tmp_path):
    tok = pelnor.Tokenizer("o200k_base")
    missing, bad, other = tmp_path / "missing.txt", tmp_path / "bad.txt", tmp_path / "other.txt"
    bad.write_bytes(b"caf\xe9\n")
    other.write_text("hello world\n", encoding="utf-8")
    files = [str(sample), str(missing), str(bad), str(other)]
    errors = [f"pelnor: cannot read {missing}: No such file or directory",
              f"pelnor: {bad} is not UTF-8 text (byte 3; --errors replace reads it anyway)"]
    result = run("count", *files)
    n1, n2 = tok.count(SAMPLE), tok.count("hello world\n")
    assert result.returncode == 1
    expected = [str(n1), str(sample), str(n2), str(other), str(n1 + n2), "total"]
    assert result.stdout.decode().split() == expected
    assert result.stderr.decode().splitlines() == errors
    result = run("encode", "--format", "json", *files)
    assert result.returncode == 1
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"path": str(sample), "ids": tok.encode_ordinary(SAMPLE)},
        {"path": str(other), "ids": tok.encode_ordinary("hello world\n")}]
    assert result.stderr.decode().splitlines() == errors
    # Each line names its file, so a missing one shifts nothing; binary formats take one file.
    result = run("encode", "--lines", str(other), str(missing), str(sample))
    assert result.stdout.decode().splitlines() == [
        f"{other}: " + " ".join(map(str, tok.encode_ordinary("hello world")))] + [
        f"{sample}: " + " ".join(map(str, tok.encode_ordinary(line)))
        for line in SAMPLE.splitlines()]
    for fmt in ("npy", "raw"):
        result = run("encode", "--format", fmt, str(sample), str(other))
        assert (result.returncode, result.stdout) == (2, b"")
        assert b"usage: pelnor encode" in result.stderr
        assert f"--format {fmt} holds the ids of one file".encode() in result.stderr


def test_invalid_utf8_is_placed_in_the_file_or_replaced_on_request(tmp_path):
    from pelnor import cli

    head = b"Some line of text\n" * (cli.CHUNK_BYTES // 18 + 1000)
    data = head + b"bad \xff byte\nend\n"
    path = tmp_path / "bad.txt"
    path.write_bytes(data)
    for result in (run("count", str(path)), run("encode", stdin=data)):
        assert result.returncode == 1
        assert f"is not UTF-8 text (byte {len(head) + 4};" in result.stderr.decode()
    tok = pelnor.Tokenizer("o200k_base")
    text = data.decode("utf-8", "replace")
    counted = run("count", "--errors", "replace", str(path)).stdout.split()[0]
    assert counted == str(tok.count(text)).encode()
    raw = run("encode", "--errors", "replace", "--format", "raw", stdin=data).stdout
    assert raw == tok.encode_to_buffer(text)


def test_decode_rejects_ids_outside_the_vocabulary_in_every_format():
    import io

    numpy = needs("numpy")

    tok = pelnor.Tokenizer("o200k_base")
    gap = len(tok.token_byte_values())  # between the base vocabulary and the special tokens
    assert not tok.is_special_token(gap) and tok.decode([15339, gap]) == tok.decode([15339])
    npy = io.BytesIO()
    numpy.save(npy, numpy.array([15339, gap], dtype=numpy.uint32))
    inputs = {"text": f"15339 {gap}\n".encode(), "json": json.dumps([15339, gap]).encode(),
              "raw": struct.pack("<2I", 15339, gap), "npy": npy.getvalue()}
    for fmt, stdin in inputs.items():
        result = run("decode", "--format", fmt, stdin=stdin)
        assert (result.returncode, result.stdout) == (1, b""), fmt
        assert result.stderr.decode() == f"pelnor: invalid token id: {gap}\n"
    assert b"outside the vocabulary is an error" in run("decode", "--help").stdout


def test_progress_only_on_a_terminal_and_for_long_work(sample, tmp_path):
    import os
    import pty

    from pelnor import cli

    big = tmp_path / "big.txt"
    big.write_bytes(b"Some words here.\n" * (cli.PROGRESS_MIN_BYTES // 17 + 1))

    def terminal_stderr(path):
        leader, follower = pty.openpty()
        command = [sys.executable, "-m", "pelnor", "count", str(path)]
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=follower)
        os.close(follower)
        out = b""
        try:
            while chunk := os.read(leader, 1 << 16):
                out += chunk
        except OSError:  # the terminal is gone once all is read
            pass
        os.close(leader)
        return out

    assert b" MB" in terminal_stderr(big)
    assert terminal_stderr(sample) == b""
    assert run("count", str(big)).stderr == b""


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["decode"], b"1 2 x\n", "pelnor: invalid token id: 'x'"),
        (["decode"], b"999999999\n", "pelnor: invalid token id: 999999999"),
        (["decode", "--format", "json"], b"[1, -3]", "pelnor: invalid token id: -3"),
        (["decode", "--format", "json"], b"{", "pelnor: invalid JSON ids"),
        (["decode", "--format", "raw"], b"abc", "pelnor: raw input must be a whole number"),
        (["decode", "--format", "npy"], b"1 2 3\n", "pelnor: npy input must be .npy arrays"),
        (["decode", "--format", "json"], b"[1, 2", "pelnor: invalid JSON ids: the list is not"),
        (["decode", "--format", "json"], b"[1,, 2]", "pelnor: invalid JSON ids"),
        (["count", "/does/not/exist"], b"", "pelnor: cannot read /does/not/exist: No such file"),
        (["count"], b"\xff\xfe", "pelnor: stdin is not UTF-8 text"),
    ],
)
def test_runtime_errors_exit_1(args, stdin, message):
    if "npy" in args:
        needs("numpy")  # without it the npy format says that first
    result = run(*args, stdin=stdin)
    assert result.returncode == 1
    assert result.stderr.decode().startswith(message), result.stderr


def test_usage_errors_exit_2():
    assert run("count", "-e", "no_such_encoding").returncode == 2
    for args in (["truncate", "-n", "-1"], ["decode", "--lines", "--format", "json"]):
        result = run(*args)
        assert result.returncode == 2
        assert result.stderr.decode().startswith(f"usage: pelnor {args[0]} ")
    assert run().returncode == 2
    help_text = run("--help")
    assert help_text.returncode == 0 and b"examples:" in help_text.stdout


def test_truncate(sample):
    tok = pelnor.Tokenizer("o200k_base")
    for n in (0, 3, 10, 10**6):
        out = run("truncate", "-n", str(n), str(sample)).stdout.decode()
        assert out == tok.truncate(SAMPLE, n)[0]


def test_bench_says_what_it_measures(sample, tmp_path):
    words = (SAMPLE * 3 + "naïve Grüße 日本 🎉 1,234 <|endoftext|>").split()
    rng = random.Random(2)
    distinct = tmp_path / "distinct.txt"
    distinct.write_text(" ".join(rng.choice(words) for _ in range(200_000)), encoding="utf-8")
    for path, option, shown in ((sample, ["--special"], [b"a short text repeated", b"as their ids",
                                                          b"warm, repeated text"]),
                                (distinct, [], [b"MB of distinct text", b"as plain text",
                                                b"first pass", b"new text", b"warm (the same"])):
        result = run("bench", str(path), *option)
        assert result.returncode == 0, result.stderr
        assert all(words in result.stdout for words in shown), result.stdout
        assert re.search(rb"against tiktoken (\d+\.\d+|\(not installed\))", result.stdout)


def test_special_strings_are_text_unless_special(sample):
    tok = pelnor.Tokenizer("o200k_base")
    enc = pelnor.get_encoding("o200k_base")
    for option, ids in ([], tok.encode_ordinary(SAMPLE)), (["--special"], tok.encode_with_special(SAMPLE)):
        encoded = run("encode", *option, str(sample)).stdout.split()
        assert encoded == [str(i).encode() for i in ids]
        assert run("count", *option, str(sample)).stdout.split()[0] == str(len(ids)).encode()
        shown = run("show", "--ids", *option, str(sample)).stdout.decode()
        assert [int(label) for label in re.findall(r"\|(\d+)\]", shown)] == ids
    budget = len(enc.encode(SAMPLE.split("<|")[0]))
    assert run("truncate", "-n", str(budget + 1), "--special", str(sample)).stdout.decode() == \
        SAMPLE.rstrip("\n")
    assert run("truncate", "-n", str(budget + 1), str(sample)).stdout.decode() == \
        enc.truncate(SAMPLE, budget + 1, disallowed_special=())[0]


def test_show_marks_each_token_in_brackets_or_colours(sample):
    enc = pelnor.get_encoding("o200k_base")
    text = "naïve 日本 🎉\nhello"
    ids = enc.encode(text)
    plain = run("show", stdin=text.encode()).stdout.decode()
    assert plain == "".join(f"[{enc.decode_single_token_bytes(i).decode('utf-8', 'backslashreplace')}]"
                            for i in ids) + "\n"
    coloured = run("show", "--color", "always", stdin=text.encode()).stdout.decode()
    assert re.sub("\x1b\\[[0-9;]*m", "", coloured) == plain.replace("[", "").replace("]", "")
    assert len(set(re.findall("48;5;(\\d+)m", coloured))) > 1
    both = run("show", str(sample), str(sample)).stdout.decode()
    assert both.startswith(f"==> {sample} <==\n[") and f"\n\n==> {sample} <==\n" in both


SMALL_BLOCKS = ("import sys; from pelnor import cli, cli_ids; "
                "cli.CHUNK_BYTES, cli_ids.READ_BYTES = 64, 5; sys.exit(cli.main())")


def test_encode_and_decode_stream_block_by_block_byte_for_byte():
    data = ("Line one.\r\nZwei, drei\n\n naïve 日本 🎉 <|endoftext|>\r\nAnd " * 40 + "last").encode()

    def small(*args, stdin):
        result = subprocess.run([sys.executable, "-c", SMALL_BLOCKS, *args], input=stdin,
                                capture_output=True)
        assert result.returncode == 0, result.stderr
        return result.stdout

    tok = pelnor.Tokenizer("o200k_base")
    assert small("encode", stdin=data).split() == [str(i).encode() for i in tok.encode_ordinary(data.decode())]
    for fmt in ROUND_TRIP_FORMATS:
        encoded = small("encode", "--format", fmt, stdin=data)
        assert small("decode", "--format", fmt, stdin=encoded) == data, fmt
    encoded = small("encode", "--lines", stdin=data)
    assert encoded.count(b"\r\n") == data.count(b"\r\n") and not encoded.endswith(b"\n")
    assert small("decode", "--lines", stdin=encoded) == data


PEAK_MEMORY = ("import resource, sys; from pelnor import cli; status = cli.main(sys.argv[1:]); "
               "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr); "
               "sys.exit(status)")


@pytest.mark.parametrize("unit", ["\0", "a", " ", "word, ", "\n" + " " * 999])
def test_any_input_is_counted_in_bounded_memory(unit):
    """Whatever the text, even one piece of 40 MB, the command holds a few MB of it."""

    def peak_kib(*args, stdin):
        result = subprocess.run([sys.executable, "-c", PEAK_MEMORY, *args], input=stdin,
                                capture_output=True)
        assert result.returncode == 0, result.stderr
        return result.stdout, int(result.stderr.split()[-1])

    text = unit * (40_000_000 // len(unit))
    tok = pelnor.Tokenizer("o200k_base")
    (counted, peak), (_, baseline) = (peak_kib("count", stdin=text.encode()),
                                      peak_kib("count", stdin=b"x"))
    assert counted.split() == [str(tok.count(text)).encode()]
    assert peak - baseline < 48 << 10, (peak, baseline)
    kept = peak_kib("truncate", "-n", "100", stdin=text.encode())[0]
    assert kept.decode() == tok.truncate(text, 100)[0]


def test_a_tiktoken_table_splits_by_the_pattern_named(tmp_path, sample):
    import base64

    ranks = pelnor.get_encoding("r50k_base")._mergeable_ranks
    table = tmp_path / "r50k.tiktoken"
    table.write_bytes(b"".join(base64.b64encode(token) + b" %d\n" % rank
                               for token, rank in ranks.items()))
    r50k = [str(i).encode() for i in pelnor.Tokenizer("r50k_base").encode_ordinary(SAMPLE)]
    assert run("encode", "-e", str(table), "--pattern", "r50k_base", str(sample)).stdout.split() == r50k
    pattern = pelnor.get_encoding("cl100k_base")._pat_str
    by_default = run("encode", "-e", str(table), str(sample)).stdout.split()
    assert by_default == run("encode", "-e", str(table), "--pattern", pattern,
                             str(sample)).stdout.split() != r50k
    assert run("count", "-e", str(tmp_path / "none.tiktoken"), str(sample)).returncode == 2
