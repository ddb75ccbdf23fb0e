"""Decoding: bytes, the three error modes, batches and single tokens."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import needs


def test_round_trips(tokenizers, references, encoding):
    tok = tokenizers[encoding]
    for text in ["", "hello world", "Grüße 世界 😀 <|endoftext|>", "a\u0301\u200d\n\t "]:
        ids = tok.encode_ordinary(text)
        assert tok.decode_bytes(ids) == text.encode()
        assert tok.decode(ids) == text == references[encoding].decode(ids)
    assert tok.decode([]) == "" and tok.decode_bytes([]) == b""


@settings(max_examples=200, derandomize=True, deadline=None)
@given(ids=st.lists(st.integers(min_value=0, max_value=100255), max_size=12))
def test_replace_and_ignore_modes_equal_python(tokenizers, ids):
    tok = tokenizers["cl100k_base"]
    raw = tok.decode_bytes(ids)
    assert tok.decode(ids) == raw.decode("utf-8", "replace")
    assert tok.decode(ids, errors="ignore") == raw.decode("utf-8", "replace").replace("\ufffd", "")
    try:
        want = raw.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(ValueError, match="^invalid utf-8 in decode: "):
            tok.decode(ids, errors="strict")
    else:
        assert tok.decode(ids, errors="strict") == want


def test_error_modes(tokenizers):
    tok = tokenizers["cl100k_base"]
    split = tok.encode_ordinary("ʬ")  # one character in two byte tokens
    assert len(split) == 2 and tok.decode(split) == "ʬ"
    assert tok.decode(split[:1]) == "\ufffd"
    assert tok.decode(split[:1], errors="ignore") == ""
    assert tok.decode(split[:1], errors="foo") == "\ufffd" == tok.decode(split[:1], errors="Strict")
    with pytest.raises(ValueError) as error:
        tok.decode(split[:1], errors="strict")
    assert str(error.value) == "invalid utf-8 in decode: incomplete utf-8 byte sequence from index 0"
    ff = tok.encode_bytes(b"\xff")
    with pytest.raises(ValueError) as error:
        tok.decode(tok.encode_ordinary("ab") + ff, errors="strict")
    assert str(error.value) == "invalid utf-8 in decode: invalid utf-8 sequence of 1 bytes from index 2"
    with pytest.raises(ValueError, match="sequence of 2 bytes from index 0"):
        tok.decode(tok.encode_bytes(b"\xe4\xb8x"), errors="strict")
    fffd = tok.encode_ordinary("\ufffd")
    assert tok.decode(fffd + tok.encode_ordinary("x"), errors="ignore") == "x"


def test_special_and_unknown_ids(tokenizers):
    cl = tokenizers["cl100k_base"]
    assert cl.decode([100257]) == "<|endoftext|>"
    assert cl.decode_single_token_bytes(100257) == b"<|endoftext|>"
    assert cl.decode([15339, 100256, 1917]) == "hello world"
    assert cl.decode([100256, 4000000000]) == ""
    with pytest.raises(KeyError, match="unknown token id 100256"):
        cl.decode_single_token_bytes(100256)
    with pytest.raises(KeyError, match=f"unknown token id {cl.n_vocab}"):
        cl.decode_single_token_bytes(cl.n_vocab)
    harmony = tokenizers["o200k_harmony"]
    assert harmony.decode([200018]) == "<|endofprompt|>"
    assert harmony.decode_single_token_bytes(200018) == b"<|endofprompt|>"
    assert cl.is_special_token(cl.eot_token) and not cl.is_special_token(0)
    assert not cl.is_special_token(100256)


def test_every_single_token_equals_tiktoken(tokenizers, references, encoding):
    tok, ref = tokenizers[encoding], references[encoding]
    values = tok.token_byte_values()
    # By rank: a gap of the rank table that a special token's id takes holds a placeholder.
    base = [value for rank, value in enumerate(values) if not tok.is_special_token(rank)]
    assert sorted(base) == sorted(ref.token_byte_values())
    for token_id in range(0, len(values), 997):
        assert tok.decode_single_token_bytes(token_id) == ref.decode_single_token_bytes(token_id)
    # The whole vocabulary at once: longer tokens than text has, and bytes that are no UTF-8.
    every_id = list(range(len(values)))
    assert tok.decode_bytes(every_id) == ref.decode_bytes(every_id)
    assert tok.decode(every_id) == ref.decode(every_id)
    for text, token_id in tok.special_tokens():
        assert tok.decode_single_token_bytes(token_id) == ref.decode_single_token_bytes(token_id)
    assert tok.n_vocab == ref.n_vocab and tok.eot_token == ref.eot_token
    assert tok.special_tokens_set == ref.special_tokens_set


@settings(max_examples=200, derandomize=True, deadline=None)
@given(data=st.data())
def test_mixed_ids_equal_tiktoken(tokenizers, references, data):
    # Specials and unknown ids among base tokens of every length, with outputs that outgrow
    # any first guess of their size.
    tok, ref = tokenizers["o200k_harmony"], references["o200k_harmony"]
    specials = sorted(token_id for _, token_id in tok.special_tokens())
    known = st.one_of(st.integers(0, tok.n_vocab - 1), st.sampled_from(specials))
    ids = data.draw(st.lists(st.one_of(known, st.integers(0, 2**32 - 1)), max_size=300))
    known_ids = [i for i in ids if i < specials[0] or i in specials]
    assert tok.decode_bytes(ids) == ref.decode_bytes(known_ids)


def test_decode_batch(tokenizers):
    tok = tokenizers["cl100k_base"]
    texts = ["hello", "", "Grüße"]
    assert tok.decode_batch([tok.encode(t) for t in texts]) == texts
    assert tok.decode_batch([]) == []
    bad = tok.encode_ordinary("ʬ")[:1]
    assert tok.decode_batch([bad], errors="ignore") == [""]
    with pytest.raises(ValueError, match="^invalid utf-8 in decode"):
        tok.decode_batch([tok.encode("ok"), bad], errors="strict")


@settings(max_examples=300, derandomize=True, deadline=None)
@given(raw=st.binary(max_size=40))
def test_modes_on_random_bytes_equal_python(tokenizers, raw):
    tok = tokenizers["o200k_base"]
    ids = tok.encode_bytes(raw)
    assert tok.decode_bytes(ids) == raw
    assert tok.decode(ids) == raw.decode("utf-8", "replace")
    try:
        want = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        with pytest.raises(ValueError) as ours:
            tok.decode(ids, errors="strict")
        # Python reports the same index for every ill-formed kind.
        assert f"from index {error.start}" in str(ours.value)
    else:
        assert tok.decode(ids, errors="strict") == want


@pytest.mark.parametrize(
    "raw, message",
    [
        (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"),
        (b"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe4\xb8x", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"x\xf0\x9f\x98x", "invalid utf-8 sequence of 3 bytes from index 1"),
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"ok\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 2"),
        (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
    ],
)
def test_strict_messages_for_each_ill_formed_kind(tokenizers, raw, message):
    tok = tokenizers["cl100k_base"]
    with pytest.raises(ValueError) as error:
        tok.decode(tok.encode_bytes(raw), errors="strict")
    assert str(error.value) == "invalid utf-8 in decode: " + message


def test_ids_read_from_lists_and_integer_buffers_alike(tokenizers):
    import array

    np = needs("numpy")

    tok = tokenizers["o200k_base"]
    ids = tok.encode("Grüße 世界 😀 and more text") + [199999, 200018, 5]
    want = tok.decode_bytes(ids)
    forms = [np.array(ids, dtype=t) for t in ("uint32", "int64", "uint64", "int32")]
    forms += [array.array("I", ids), array.array("q", ids), np.array(ids, dtype="uint32")[::2]]
    for form in forms:
        expected = want if form.__len__() == len(ids) else tok.decode_bytes(ids[::2])
        assert tok.decode_bytes(form) == expected
        texts = [expected.decode(errors="replace"), want.decode(errors="replace")]
        assert tok.decode_batch([form, ids]) == texts
    assert tok.decode_bytes(b"abc") == tok.decode_bytes([97, 98, 99])
    assert tok.decode_bytes(np.array([97, 98], dtype="uint8")) == tok.decode_bytes([97, 98])
    # Values out of range give the same errors whatever holds them.
    for bad in ([-1], [2**32], [1, 2**40]):
        for form in (bad, np.array(bad, dtype="int64"), array.array("q", bad)):
            with pytest.raises(OverflowError) as raised:
                tok.decode(form)
            with pytest.raises(OverflowError) as listed:
                tok.decode(list(bad))
            assert str(raised.value) == str(listed.value)
    assert tok.decode_bytes([True, 2]) == tok.decode_bytes([1, 2])  # bools are ints
    for form in (np.array([True, False]), [1.0], np.array([1.5])):
        with pytest.raises(TypeError):
            tok.decode(form)
