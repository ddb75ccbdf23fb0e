"""Calls leave nothing behind: every method, succeeding and failing, many times over, keeps the
reference counts of its arguments and the interpreter's traced memory flat."""

import gc
import pickle
import sys
import tracemalloc

import pytest

import pelnor
from conftest import needs
from pelnor.vocab_format import levels_bytes, special_bytes, vocab_data

ROUNDS = 500
# Calls traced before measuring: enough to fill the interpreter's free lists (up to 2000 objects
# of a kind) with traced objects, which would otherwise grow both windows without being a leak.
WARM_UP = 3000
# Bytes of traced memory that ROUNDS calls may add: less than one small object every few calls.
SLACK = 16 * 1024


def native_calls(tok, text, texts, ids):
    """(label, call): each native method on a success path and, where it has one, a failure."""
    bad_texts = [text, 5]
    return [
        ("encode", lambda: tok.encode(text, {"<|endoftext|>"}, None)),
        ("encode disallowed", lambda: tok.encode(text + "<|endoftext|>")),
        ("encode bad policy", lambda: tok.encode(text, "none")),
        ("encode_ordinary", lambda: tok.encode_ordinary(text)),
        ("encode_ordinary surrogate", lambda: tok.encode_ordinary(text + "\ud800")),
        ("encode_bytes", lambda: tok.encode_bytes(text.encode() + b"\xff")),
        ("encode_with_special", lambda: tok.encode_with_special(text)),
        ("encode_to_buffer", lambda: tok.encode_to_buffer(text)),
        ("encode_with_offsets", lambda: tok.encode_with_offsets(text, "char")),
        ("encode_with_offsets bad unit", lambda: tok.encode_with_offsets(text, "word")),
        ("encode_single_token", lambda: tok.encode_single_token(b"hello")),
        ("encode_single_token missing", lambda: tok.encode_single_token(text)),
        ("truncate", lambda: tok.truncate(text, 5)),
        ("truncate_batch", lambda: tok.truncate_batch(texts, 5, 2)),
        ("truncate_batch bad item", lambda: tok.truncate_batch(bad_texts, 5)),
        ("count", lambda: tok.count(text)),
        ("count_batch", lambda: tok.count_batch(texts, 2, True)),
        ("count_batch bad item", lambda: tok.count_batch(bad_texts)),
        ("find_disallowed_special", lambda: tok.find_disallowed_special(texts, None, [text])),
        ("encode_batch", lambda: tok.encode_batch(texts, 2)),
        ("encode_batch_lists", lambda: tok.encode_batch_lists(texts, 2)),
        ("encode_batch_lists bad item", lambda: tok.encode_batch_lists(bad_texts)),
        ("decode", lambda: tok.decode(ids + [2**31])),
        ("decode strict", lambda: tok.decode(ids + tok.encode("é")[:1], "strict")),
        ("decode bad id", lambda: tok.decode(ids + [-1])),
        ("decode_bytes", lambda: tok.decode_bytes(ids)),
        ("decode_bytes_checked unknown", lambda: tok.decode_bytes_checked(ids + [2**31])),
        ("decode_single_token_bytes", lambda: tok.decode_single_token_bytes(ids[0])),
        ("decode_single_token_bytes unknown", lambda: tok.decode_single_token_bytes(2**31)),
        ("decode_batch", lambda: tok.decode_batch([ids, ids[:3]])),
        ("decode_batch bad", lambda: tok.decode_batch([ids, None])),
        ("special_tokens_set", lambda: tok.special_tokens_set),
    ]


def face_calls(enc, text, texts):
    return [
        ("face encode disallowed", lambda: enc.encode(text + "<|endoftext|>")),
        ("face encode_batch", lambda: enc.encode_batch(texts, allowed_special="all")),
        ("face count_batch disallowed", lambda: enc.count_batch(texts + ["<|endoftext|>"])),
        ("face encode_with_offsets", lambda: enc.encode_with_offsets(text + "<|endoftext|>",
                                                                    allowed_special="all")),
        ("face decode unknown", lambda: enc.decode([2**31])),
    ]


def flat_after(call, rounds, *watched, warm_up=WARM_UP):
    """Runs call rounds times (after a warm-up) and returns (reference-count changes of the
    watched objects, traced bytes added, total reference change where the build counts it)."""
    def run():
        try:
            call()
        except (ValueError, KeyError, TypeError, UnicodeEncodeError, OverflowError):
            pass

    total = getattr(sys, "gettotalrefcount", lambda: 0)
    tracemalloc.start()
    try:
        for _ in range(warm_up):
            run()
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in watched]
        # Two windows: a leak grows both, while a cache or free list filling once grows one.
        growth = []
        for _ in range(2):
            before, total_before = tracemalloc.get_traced_memory()[0], total()
            for _ in range(rounds):
                run()
            gc.collect()
            growth.append((tracemalloc.get_traced_memory()[0] - before, total() - total_before))
        added, total_added = min(growth)
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in watched]
    return [a - b for a, b in zip(after, counts)], added, total_added


TEXT = "Leaks hide in the paths nobody takes twice: errors, batches, pickles. " * 3
TEXTS = [TEXT[i:] for i in range(0, 60, 7)]
IDS = pelnor.get_tokenizer("cl100k_base").encode(TEXT)
LABELS = [label for label, _ in native_calls(None, TEXT, TEXTS, IDS) + face_calls(None, TEXT, TEXTS)]


@pytest.mark.parametrize("label", LABELS)
def test_every_call_leaves_nothing_behind(label):
    tok, enc = pelnor.get_tokenizer("cl100k_base"), pelnor.get_encoding("cl100k_base")
    text, texts = "".join(TEXT), ["".join(t) for t in TEXTS]  # objects of this test alone
    call = dict(native_calls(tok, text, texts, IDS) + face_calls(enc, text, texts))[label]
    changes, added, total_added = flat_after(call, ROUNDS, text, *texts)
    assert changes == [0] * (1 + len(texts))
    assert added < SLACK, f"{added} bytes after {ROUNDS} calls"
    assert total_added < ROUNDS // 10  # 0 where the build has no total count


def test_numpy_results_and_custom_encodings_are_released():
    numpy = needs("numpy")
    tok = pelnor.get_tokenizer("cl100k_base")
    text = "".join(TEXT)
    changes, added, _ = flat_after(
        lambda: (tok.encode_batch_to_numpy([text, text]), tok.encode_to_numpy(text)), ROUNDS, text)
    assert (changes, added < SLACK) == ([0], True)
    assert numpy is not None
    ranks = {bytes([i]): i for i in range(256)} | {b"ab": 256, b"abc": 257}
    specials = {"<|end|>": 300}

    def build():
        return pelnor.Encoding("leak", pat_str=r"\w+|\s+|.", mergeable_ranks=ranks,
                               special_tokens=specials).encode("abc abc")

    changes, added, _ = flat_after(build, 50, ranks, specials, warm_up=20)
    assert (changes, added < SLACK) == ([0, 0], True)


def test_pickling_keeps_every_reference():
    """Pickling and unpickling, of built-in tokenizers and of those built from data, leave the
    type (which each pickle names, directly or through its class method) and the arguments as
    they were."""
    vocab, _ = vocab_data({bytes([i]): i for i in range(256)} | {b"ab": 256, b"abc": 258})
    specials = special_bytes([("<|end|>", 300)])
    levels = levels_bytes([("regex", "isolated", False, r"\d"), ("cl100k", "isolated", False, "")])
    for tokenizer in (pelnor.Tokenizer("r50k_base"),
                      pelnor.Tokenizer.from_data("leak", "regex", vocab, specials, r"\w+|\s+|."),
                      pelnor.Tokenizer.from_levels("leak", vocab, specials, levels)):
        changes, added, _ = flat_after(lambda: pickle.loads(pickle.dumps(tokenizer)), 50,
                                       pelnor.Tokenizer, vocab, specials, levels, warm_up=20)
        assert (changes, added < SLACK) == ([0, 0, 0, 0], True), tokenizer.name
