"""Batch calls equal the single-text calls, text by text, for any thread count."""

import struct
import subprocess
import sys

import pytest

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
    ids, offsets = tok.encode_batch_to_numpy(TEXTS, threads)
    assert ids.dtype.name == "uint32" and offsets.dtype.name == "int64"
    assert [ids[a:b].tolist() for a, b in zip(offsets, offsets[1:])] == ordinary


def test_empty_and_edge_batches(tokenizers):
    tok = tokenizers["cl100k_base"]
    assert tok.encode_batch([]) == (b"", b"\x00" * 8)
    assert tok.count_batch([]) == [] and tok.truncate_batch([], 3) == []
    ids, offsets = tok.encode_batch(["hello world", ""])
    assert struct.unpack("<3q", offsets) == (0, 2, 2)
    kept = tok.truncate_batch(["abc"], 100)[0][0]
    assert kept == "abc"


def test_numpy_views_are_read_only(tokenizers):
    ids, offsets = tokenizers["o200k_base"].encode_batch_to_numpy(["a b c"])
    assert not ids.flags.writeable and not offsets.flags.writeable


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
        assert str(e) == "the numpy methods need numpy installed: pip install 'pelnor-rs[numpy]'", e
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
