"""Batch calls equal the single-text calls, text by text, for any thread count."""

import struct
import subprocess
import sys

import pytest

from conftest import needs
from datafiles import REPO

TEXTS = [
    "",
    "short",
    "a somewhat longer text, with punctuation; and numbers 12345!",
    "",
    "<|endoftext|> special in the middle <|endoftext|>",
    (REPO / "tests" / "corpus" / "english.txt").read_text(encoding="utf-8"),
    "日本語のテキスト",
] * 5


def unpack(ids_buffer, offsets_buffer):
    ids = list(struct.unpack(f"<{len(ids_buffer) // 4}I", ids_buffer))
    offsets = list(struct.unpack(f"<{len(offsets_buffer) // 8}q", offsets_buffer))
    return [ids[a:b] for a, b in zip(offsets, offsets[1:])]


@pytest.mark.parametrize("threads", [0, 1, 2, 7, 64])
def test_batches_equal_singles(tokenizers, encoding, threads):
    tok = tokenizers[encoding]
    ordinary = [tok.encode_ordinary(t) for t in TEXTS]
    special = [tok.encode_with_special(t) for t in TEXTS]
    assert unpack(*tok.encode_batch(TEXTS, threads)) == ordinary
    assert unpack(*tok.encode_batch(TEXTS, threads=threads, with_special=True)) == special
    assert tok.count_batch(TEXTS, threads) == [len(i) for i in ordinary]
    assert tok.count_batch(TEXTS, threads, True) == [len(i) for i in special]
    assert tok.truncate_batch(TEXTS, 5, threads) == [tok.truncate(t, 5) for t in TEXTS]


@pytest.mark.parametrize("threads", [0, 2])
def test_numpy_batches_are_read_only_views_of_the_singles(tokenizers, encoding, threads):
    needs("numpy")
    tok = tokenizers[encoding]
    ids, offsets = tok.encode_batch_to_numpy(TEXTS, threads)
    assert ids.dtype.name == "uint32" and offsets.dtype.name == "int64"
    assert [ids[a:b].tolist() for a, b in zip(offsets, offsets[1:])] == [
        tok.encode_ordinary(t) for t in TEXTS]
    assert not ids.flags.writeable and not offsets.flags.writeable


def test_empty_and_edge_batches(tokenizers):
    tok = tokenizers["cl100k_base"]
    assert tok.encode_batch([]) == (b"", b"\x00" * 8)
    assert tok.count_batch([]) == [] and tok.truncate_batch([], 3) == []
    ids, offsets = tok.encode_batch(["hello world", ""])
    assert struct.unpack("<3q", offsets) == (0, 2, 2)
    kept = tok.truncate_batch(["abc"], 100)[0][0]
    assert kept == "abc"


def test_without_numpy_the_numpy_methods_fail_cleanly():
    script = """
import sys
sys.modules["numpy"] = None  # import numpy now fails
import pelnor
tok = pelnor.Tokenizer("cl100k_base")
assert tok.encode_to_buffer("hello") == (15339).to_bytes(4, "little")
for call in (lambda: tok.encode_to_numpy("hello"), lambda: tok.encode_batch_to_numpy(["x"])):
    try:
        call()
    except RuntimeError as e:
        assert str(e) == "the numpy methods need numpy installed: pip install 'pelnor[numpy]'", e
        assert isinstance(e.__cause__, ImportError), "the import's own error is kept"
    else:
        raise AssertionError("no error")
# An encoding error takes precedence over the missing numpy.
try:
    tok.encode_to_numpy("<|endoftext|>")
except ValueError:
    pass
print("ok")
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.strip() == "ok", result.stderr


PEAK_SCRIPT = """
import sys
import pelnor

def peak_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])

tok = pelnor.Tokenizer("cl100k_base")
unit = open(sys.argv[2], encoding="utf-8").read()
texts = [unit * (250_000 // len(unit)) + str(i) for i in range(400)]  # about 100 MB
tok.count_batch(texts[:2], threads=2)  # tables and code paths warm
before = peak_kib()
result = tok.count_batch(texts, threads=2) if sys.argv[1] == "count" else tok.encode_batch(texts, threads=2)
print((peak_kib() - before) // 1024)
"""


def test_count_batch_allocates_per_thread_not_per_token():
    from datafiles import REPO

    # ASCII text: CPython then hands out a str's own bytes as its UTF-8 form, where for other
    # text it first builds (and keeps) a UTF-8 copy inside each str, whoever asks for it.
    code = str(REPO / "tests" / "corpus" / "code.txt")
    growth = {}
    for mode in ("count", "encode"):
        out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, mode, code],
                             capture_output=True, text=True, check=True)
        growth[mode] = int(out.stdout)
    print(f"\npeak memory growth on a 100 MB batch: count_batch {growth['count']} MiB, "
          f"encode_batch {growth['encode']} MiB")
    # Counting holds two per-thread vectors (and the piece caches, at most 32 MiB), while the
    # ids of 100 MB of code (about 25 M) take 100 MB each time they are materialised.
    assert growth["count"] < 48
    assert growth["encode"] > 150
