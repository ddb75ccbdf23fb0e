"""pelnor.hf against HF tokenizers on the same tokenizer.json files, built with HF itself: every
call of the face, in the configurations published byte-level models use, on real text in
several languages, generated text and text with added tokens; and what is refused.

PELNOR_HF_TEXTS sets how many texts of each generator the encodings are compared on (120).
"""

import json
import os
import random

import pytest

import pelnor
import pelnor.hf
from conftest import needs
from test_conformance import random_text

tokenizers = needs("tokenizers")
hf_models = pytest.importorskip("hf_models")

from tokenizers import AddedToken, Regex, normalizers, processors  # noqa: E402
from tokenizers import pre_tokenizers as pt  # noqa: E402

ATTRIBUTES = ["ids", "tokens", "offsets", "attention_mask", "special_tokens_mask", "type_ids"]
LLAMA_SPECIALS = ["<|begin_of_text|>", "<|end_of_text|>", "<|eot_id|>"]
# Added tokens with every flag published files set, and texts that put them to the test.
FLAGGED = [AddedToken("<m>", lstrip=True), AddedToken("<r>", rstrip=True),
           AddedToken("<w>", single_word=True), AddedToken("ab", special=True),
           AddedToken("abc"), AddedToken(" spaced "), AddedToken("héllo"),
           AddedToken("é!", normalized=True), AddedToken("e\u0301?", normalized=False)]
FLAGGED_SPECIALS = [AddedToken("<S>"), AddedToken("<S>x", normalized=True)]
FLAGGED_TEXTS = ["<m>", " <m>", "<r>", "<r>  \n", "<w>", "x<w>", " <w> ", "ab", "abc", " spaced ",
                 "<r> spaced ", "héllo", "<S>", "<S>x", "é!", "e\u0301!", "e\u0301?"]
# Where the byte-level and NFC rules bite: combining marks, Hangul jamo, characters split into
# several tokens, line breaks and spaces before the end of a segment.
PIECES = list("aAsSkK zZ1٣²Ⅻ\n\r\t.,!?'_-()<>") + [
    "'s", "'LL", " the", "  ", "\u0301", "\u0323\u0302", "\xa0", "\u3000", "日本", "ひ", "カ", "é",
    "ß", "ſ", "\u212a", "α", "я", "😀", "🎉", "\u200d", "\x85", "ǅ", "\u2028", "e\u0301",
    "\u1100\u1161\u11a8", "A\u030a", "ﬁ", "\u0958", "x\u0344", "\n ", "\r\n  ",
]


def pieces_text(rng, specials=()):
    parts = []
    for _ in range(rng.randint(0, 24)):
        if specials and rng.random() < 0.1:
            parts.append(rng.choice(specials))
        else:
            parts.append(rng.choice(PIECES))
    return "".join(parts)


GENERATED = int(os.environ.get("PELNOR_HF_TEXTS", "120"))


def texts(specials=(), count=GENERATED, seed=3, whole=True):
    """Real text (the whole corpus, with whole), its lines, corners and generated texts."""
    rng = random.Random(seed)
    corpus = hf_models.corpus_text()
    return ([corpus] * whole + ["", " ", "\n", "  hi", "\nhi", "a\n ", *corpus.split("\n")]
            + [pieces_text(rng, specials) for _ in range(count)]
            + [random_text(rng) for _ in range(count)])


def with_added(json_str, tokens=(), specials=(), normalizer=None):
    tokenizer = tokenizers.Tokenizer.from_str(json_str)
    if normalizer is not None:
        tokenizer.normalizer = normalizer
    tokenizer.add_tokens(list(tokens))
    tokenizer.add_special_tokens(list(specials))
    return tokenizer.to_str()


def reordered_ids(json_str, seed=1):
    """The same model with the ids of its merged tokens shuffled: ids that do not follow the
    merges."""
    data = json.loads(json_str)
    vocab = data["model"]["vocab"]
    merged = sorted({vocab[a + b] for a, b in data["model"]["merges"]})
    shuffled = merged[:]
    random.Random(seed).shuffle(shuffled)
    new_id = dict(zip(merged, shuffled))
    data["model"]["vocab"] = {token: new_id.get(i, i) for token, i in vocab.items()}
    return json.dumps(data)


def converted(ranks, limit=8000):
    """A file as converters of rank tables write it: every split of a token into two of lower
    rank is a merge, in the order of the tokens' ranks; whole pieces are looked up first."""
    from tokenizers import decoders, models

    small = {token: rank for token, rank in ranks.items() if rank < limit}
    merges = sorted((rank, small[t[:i]], small[t[i:]], t[:i], t[i:])
                    for t, rank in small.items() for i in range(1, len(t))
                    if small.get(t[:i], limit) < rank and small.get(t[i:], limit) < rank)
    vocab = {hf_models.spelled(token): rank for token, rank in small.items()}
    tokenizer = tokenizers.Tokenizer(models.BPE(
        vocab, [(hf_models.spelled(a), hf_models.spelled(b)) for *_, a, b in merges],
        ignore_merges=True))
    tokenizer.pre_tokenizer = pt.Sequence([pt.Split(Regex(hf_models.LLAMA3_PATTERN), "isolated"),
                                           pt.ByteLevel(add_prefix_space=False, use_regex=False)])
    tokenizer.decoder = decoders.ByteLevel()
    return tokenizer.to_str()


def byte_level(add_prefix_space=False, use_regex=False):
    return pt.ByteLevel(add_prefix_space=add_prefix_space, use_regex=use_regex)


@pytest.fixture(scope="session")
def gpt2_ranks():
    return pelnor.get_encoding("gpt2")._mergeable_ranks


@pytest.fixture(scope="session")
def gpt2_merges(gpt2_ranks):
    return hf_models.merges_of_ranks(gpt2_ranks)


@pytest.fixture(scope="session")
def gpt2(gpt2_ranks, gpt2_merges):
    return hf_models.gpt2_json(gpt2_ranks, gpt2_merges)


@pytest.fixture(scope="session")
def models(gpt2, gpt2_ranks, gpt2_merges):
    """name -> (tokenizer.json, the added tokens' strings to draw into texts)."""
    trained = hf_models.trained_json
    llama3 = trained(pt.Sequence([pt.Split(Regex(hf_models.LLAMA3_PATTERN), "isolated"),
                                  byte_level()]),
                     post=processors.ByteLevel(trim_offsets=False), specials=LLAMA_SPECIALS,
                     ignore_merges=True, bos="<|begin_of_text|>")
    digits = trained(pt.Sequence([pt.Digits(individual_digits=True), byte_level(use_regex=True)]),
                     post=processors.ByteLevel(trim_offsets=True), specials=["<|endoftext|>"])
    return {
        "gpt2": (gpt2, ["<|endoftext|>"]),
        "gpt2 prefix space": (hf_models.gpt2_json(gpt2_ranks, gpt2_merges, add_prefix_space=True),
                              ["<|endoftext|>"]),
        "llama3": (llama3, LLAMA_SPECIALS),
        "qwen2 nfc": (trained(pt.Sequence([pt.Split(Regex(hf_models.QWEN2_PATTERN), "isolated"),
                                           byte_level()]),
                              normalizer=normalizers.NFC(),
                              post=processors.ByteLevel(trim_offsets=False),
                              specials=["<|endoftext|>", "<|im_start|>"]),
                      ["<|endoftext|>", "<|im_start|>"]),
        "digits": (digits, ["<|endoftext|>"]),
        "deepseek splits": (trained(pt.Sequence([pt.Split(Regex(p), "isolated")
                                                 for p in hf_models.DEEPSEEK_SPLITS]
                                                + [byte_level()]),
                                    specials=["<｜begin▁of▁sentence｜>"]),
                            ["<｜begin▁of▁sentence｜>"]),
        "trained prefix space": (trained(byte_level(add_prefix_space=True, use_regex=True),
                                         post=processors.ByteLevel(trim_offsets=True),
                                         specials=["<s>", "</s>"], bos="<s>"), ["<s>", "</s>"]),
        "ids not following merges": (reordered_ids(digits), ["<|endoftext|>"]),
        "converted rank table": (converted(gpt2_ranks), []),
        "added token flags": (with_added(digits, FLAGGED, FLAGGED_SPECIALS), FLAGGED_TEXTS),
        "added token flags nfc": (with_added(digits, FLAGGED, FLAGGED_SPECIALS, normalizers.NFC()),
                                  FLAGGED_TEXTS),
    }


@pytest.fixture(scope="session")
def loaded(models):
    return {name: (tokenizers.Tokenizer.from_str(json_str), pelnor.hf.Tokenizer.from_str(json_str),
                   specials) for name, (json_str, specials) in models.items()}


MODEL_NAMES = ["gpt2", "gpt2 prefix space", "llama3", "qwen2 nfc", "digits", "deepseek splits",
               "trained prefix space", "ids not following merges", "converted rank table",
               "added token flags", "added token flags nfc"]


def assert_same(ours, theirs, where):
    for attribute in ATTRIBUTES:
        assert getattr(ours, attribute) == getattr(theirs, attribute), (attribute, where)
    assert len(ours.overflowing) == len(theirs.overflowing), where
    for ours_part, theirs_part in zip(ours.overflowing, theirs.overflowing):
        assert_same(ours_part, theirs_part, where)


@pytest.mark.parametrize("name", MODEL_NAMES)
def test_encodings_equal_hf(loaded, name):
    theirs, ours, specials = loaded[name]
    drawn = texts(specials)
    for add_special_tokens in (True, False):
        batch = ours.encode_batch(drawn, add_special_tokens=add_special_tokens)
        expected = theirs.encode_batch(drawn, add_special_tokens=add_special_tokens)
        for text, mine, reference in zip(drawn, batch, expected):
            assert_same(mine, reference, text)
    for text in drawn[:40]:
        assert_same(ours.encode(text), theirs.encode(text), text)


@pytest.mark.parametrize("name", MODEL_NAMES)
def test_decode_equals_hf(loaded, name):
    theirs, ours, specials = loaded[name]
    rng = random.Random(8)
    size = theirs.get_vocab_size()
    batches = [theirs.encode(text).ids for text in texts(specials, count=40)]
    batches += [[rng.randrange(size + 3) for _ in range(rng.randint(0, 12))] for _ in range(300)]
    for skip in (True, False):
        assert ours.decode_batch(batches, skip) == theirs.decode_batch(batches, skip)


PADDING_AND_TRUNCATION = [
    ({}, None),
    ({"pad_id": 5, "pad_token": "<p>", "pad_to_multiple_of": 8}, None),
    (None, {"max_length": 8}),
    ({"pad_id": 5, "pad_token": "<p>"}, {"max_length": 8, "stride": 3}),
    ({"direction": "left", "pad_to_multiple_of": 4, "pad_id": 2, "pad_token": "<q>",
      "pad_type_id": 1}, {"max_length": 9, "stride": 2, "direction": "left"}),
    ({"length": 12}, {"max_length": 1}),
    (None, {"max_length": 2}),
    ({"length": 6}, {"max_length": 20, "stride": 5}),
]


@pytest.mark.parametrize("name", ["llama3", "gpt2 prefix space", "added token flags"])
@pytest.mark.parametrize("padding, truncation", PADDING_AND_TRUNCATION)
def test_padding_and_truncation_equal_hf(loaded, name, padding, truncation):
    theirs, ours, specials = loaded[name]
    for tokenizer in (theirs, ours):
        tokenizer.no_padding()
        tokenizer.no_truncation()
        if padding is not None:
            tokenizer.enable_padding(**padding)
        if truncation is not None:
            tokenizer.enable_truncation(**truncation)
    try:
        assert ours.padding == theirs.padding and ours.truncation == theirs.truncation
        drawn = texts(specials, count=40, whole=False)
        for add_special_tokens in (True, False):
            batch = ours.encode_batch(drawn, add_special_tokens=add_special_tokens)
            expected = theirs.encode_batch(drawn, add_special_tokens=add_special_tokens)
            for text, mine, reference in zip(drawn, batch, expected):
                assert_same(mine, reference, text)
            for text in drawn[:15]:
                assert_same(ours.encode(text, add_special_tokens=add_special_tokens),
                            theirs.encode(text, add_special_tokens=add_special_tokens), text)
            if padding is not None and "length" not in padding:
                numpy = needs("numpy")
                ids, mask = ours.encode_batch_to_numpy(drawn, add_special_tokens)
                assert ids.tolist() == [e.ids for e in expected]
                assert mask.tolist() == [e.attention_mask for e in expected]
                assert ids.dtype == numpy.int64
    finally:
        for tokenizer in (theirs, ours):
            tokenizer.no_padding()
            tokenizer.no_truncation()


@pytest.mark.parametrize("name", ["gpt2", "ids not following merges", "added token flags nfc"])
def test_numpy_batch_is_hfs_batch_padded_to_the_longest(loaded, name):
    needs("numpy")
    theirs, ours, specials = loaded[name]
    drawn = texts(specials, count=40, whole=False)
    theirs.enable_padding(pad_id=0, pad_token="x")
    try:
        expected = theirs.encode_batch(drawn)
    finally:
        theirs.no_padding()
    ids, mask = ours.encode_batch_to_numpy(drawn)
    assert ids.tolist() == [e.ids for e in expected]
    assert mask.tolist() == [e.attention_mask for e in expected]


@pytest.mark.parametrize("name", ["gpt2", "llama3", "ids not following merges",
                                  "added token flags"])
def test_vocabulary_calls_equal_hf(loaded, name):
    theirs, ours, _ = loaded[name]
    for with_added in (True, False):
        assert ours.get_vocab(with_added) == theirs.get_vocab(with_added)
        assert ours.get_vocab_size(with_added) == theirs.get_vocab_size(with_added)
    size = theirs.get_vocab_size()
    assert [ours.id_to_token(i) for i in range(size + 2)] == [
        theirs.id_to_token(i) for i in range(size + 2)]
    for token in [*theirs.get_vocab(), "no such token"]:
        assert ours.token_to_id(token) == theirs.token_to_id(token)


def test_a_file_loads_as_hf_loads_it(tmp_path, models):
    json_str, _ = models["llama3"]
    data = json.loads(json_str)
    data["truncation"] = {"direction": "Left", "max_length": 7, "strategy": "LongestFirst",
                          "stride": 2}
    data["padding"] = {"strategy": {"Fixed": 9}, "direction": "Right", "pad_to_multiple_of": None,
                       "pad_id": 1, "pad_type_id": 0, "pad_token": "<|end_of_text|>"}
    path = tmp_path / "tokenizer.json"
    path.write_text(json.dumps(data), encoding="utf-8")
    ours, theirs = pelnor.hf.Tokenizer.from_file(path), tokenizers.Tokenizer.from_file(str(path))
    assert ours.padding == theirs.padding and ours.truncation == theirs.truncation
    for text in texts(LLAMA_SPECIALS, count=30):
        assert_same(ours.encode(text), theirs.encode(text), text)


def test_merges_that_rank_order_cannot_follow(gpt2):
    """"abc" is merged from "ab" + "c" but "bc" comes first: merging by the list never forms it.
    Without ignore_merges it is left out of the table; with it, where merging by rank would
    form it inside longer pieces, the file is refused."""
    data = json.loads(gpt2)
    vocab = {hf_models.spelled(bytes([b])): b for b in range(256)}
    vocab.update({"bc": 256, "ab": 257, "abc": 258})
    data["model"].update(vocab=vocab, merges=[["b", "c"], ["a", "b"], ["ab", "c"]])
    data["added_tokens"] = []
    json_str = json.dumps(data)
    theirs, ours = tokenizers.Tokenizer.from_str(json_str), pelnor.hf.Tokenizer.from_str(json_str)
    for text in ["abc", "xabcx", "ab abc abcabc", "bc"]:
        assert ours.encode(text).ids == theirs.encode(text).ids
    assert ours.decode([258, 257]) == theirs.decode([258, 257])
    data["model"]["ignore_merges"] = True
    with pytest.raises(ValueError, match="'abc'"):
        pelnor.hf.Tokenizer.from_str(json.dumps(data))


def replaced(json_str, key, value):
    data = json.loads(json_str)
    data[key] = value
    return json.dumps(data)


def model_with(json_str, **fields):
    data = json.loads(json_str)
    data["model"].update(fields)
    return json.dumps(data)


REFUSED = [
    ("model WordPiece", lambda j: replaced(j, "model", {"type": "WordPiece", "vocab": {}})),
    ("model Unigram", lambda j: replaced(j, "model", {"type": "Unigram", "vocab": []})),
    ("byte_fallback", lambda j: model_with(j, byte_fallback=True)),
    ("dropout", lambda j: model_with(j, dropout=0.1)),
    ("continuing_subword_prefix", lambda j: model_with(j, continuing_subword_prefix="##")),
    ("normalizer Lowercase", lambda j: replaced(j, "normalizer", {"type": "Lowercase"})),
    ("normalizer NFKC", lambda j: replaced(j, "normalizer", {"type": "NFKC"})),
    ("pre-tokenizer Metaspace", lambda j: replaced(j, "pre_tokenizer", {
        "type": "Sequence", "pretokenizers": [{"type": "Metaspace", "replacement": "_"},
                                              {"type": "ByteLevel"}]})),
    ("pre-tokenizer Punctuation", lambda j: replaced(j, "pre_tokenizer", {
        "type": "Sequence", "pretokenizers": [{"type": "Punctuation"}, {"type": "ByteLevel"}]})),
    ("exactly one ByteLevel", lambda j: replaced(j, "pre_tokenizer", {"type": "Whitespace"})),
    ("add_prefix_space after another", lambda j: replaced(j, "pre_tokenizer", {
        "type": "Sequence", "pretokenizers": [{"type": "Digits", "individual_digits": True},
                                              {"type": "ByteLevel", "add_prefix_space": True}]})),
    ("post_processor RobertaProcessing", lambda j: replaced(j, "post_processor", {
        "type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})),
    ("decoder WordPiece", lambda j: replaced(j, "decoder", {"type": "WordPiece"})),
    ("decoder None", lambda j: replaced(j, "decoder", None)),
    ("256 byte tokens", lambda j: model_with(j, vocab={"a": 0, "b": 1, "ab": 2},
                                             merges=[["a", "b"]])),
    ("not in the byte-level alphabet", lambda j: model_with(j, vocab={
        **json.loads(j)["model"]["vocab"], "a b": 60000})),
]


@pytest.mark.parametrize("named, edit", REFUSED, ids=[named for named, _ in REFUSED])
def test_other_components_are_refused_naming_them(gpt2, named, edit):
    with pytest.raises(ValueError, match=named.split(" ")[-1]):
        pelnor.hf.Tokenizer.from_str(edit(gpt2))


SPLIT_PATTERNS = [
    hf_models.LLAMA3_PATTERN, hf_models.QWEN2_PATTERN, *hf_models.DEEPSEEK_SPLITS,
    r" ?[^(\s|[.,!?…。，、।۔،])]+", r"\p{N}{1,3}+", r"a(?i)b|c", r"\w+|\W", r"[\w\-]+", r"\b|\B",
    r"^.|.$", r"(?m).+", r"\d+|\h", r"(?i)[a\p{P}\d]+", r"(?i)[^s\p{Z}]+", r"\p{Han}|\p{Greek}+",
    r"\p{^L}+|\P{N}", r"[]a]", r"x{,2}|a{2,}|b{,}", r"\s+$|\A\s|\Z", r"(?<=a)b|(?<!\s)\s",
    r"\x41\u0062|\t", r"(?x) a b # c", r"[\p{P}\p{S}]+", r"\p{LC}+|\p{Cased_Letter}",
    r"(?>ab|a)c|\d*", r"(?=b)|b",
]
BEHAVIORS = [("isolated", False), ("removed", False), ("removed", True),
             ("merged_with_previous", False), ("merged_with_next", True), ("contiguous", False)]


@pytest.mark.parametrize("pattern", SPLIT_PATTERNS)
def test_split_patterns_cut_as_hf(pattern):
    from pelnor._pelnor import Tokenizer
    from pelnor.hf.onig import to_pcre2
    from pelnor.vocab_format import levels_bytes, special_bytes, vocab_data

    vocab, _ = vocab_data({bytes([b]): b for b in range(256)})
    rng = random.Random(pattern)
    drawn = [pieces_text(rng) for _ in range(150)] + [random_text(rng) for _ in range(150)]
    for behavior, invert in BEHAVIORS:
        ours = Tokenizer.from_levels("split", vocab, special_bytes([]),
                                     levels_bytes([("regex", behavior, invert,
                                                    to_pcre2(pattern))]))
        theirs = pt.Split(Regex(pattern), behavior, invert=invert)
        for text in drawn:
            data = text.encode()
            assert [data[s:e].decode() for s, e in ours.pieces(text)] == [
                piece for piece, _ in theirs.pre_tokenize_str(text)], (behavior, invert, text)


@pytest.mark.parametrize("pattern", [r"(a)\1", r"\K", r"\R", r"\X", r"\G", r"[[:alpha:]]",
                                     r"[a[^b]]", r"[a-c&&b]", r"(?i)ß", r"(?i)ss", r"(?i)[\p{Lu}]",
                                     r"\p{Emoji}", r"(?s).", r"[\W]", r"(?~a)"])
def test_split_patterns_pcre2_cannot_match_as_hf_are_refused(pattern):
    from pelnor.hf.onig import to_pcre2

    with pytest.raises(ValueError, match="pelnor.hf"):
        to_pcre2(pattern)


def test_the_fold_table_knows_every_character_that_folds_to_several():
    import sys

    from pelnor.hf.onig import MULTI_FOLD_RANGES

    inside = {cp for low, high in MULTI_FOLD_RANGES for cp in range(low, high)}
    assert {cp for cp in range(sys.maxunicode + 1) if len(chr(cp).casefold()) > 1} <= inside


def test_as_encoding_counts_truncates_and_pickles(loaded):
    import pickle

    theirs, ours, _ = loaded["llama3"]
    encoding = ours.as_encoding()
    for text in texts(count=30):
        assert encoding.encode_ordinary(text) == theirs.encode(text, add_special_tokens=False).ids
        assert encoding.count(text) == len(encoding.encode_ordinary(text))
    assert encoding.encode("<|eot_id|>hi", allowed_special="all") == theirs.encode(
        "<|eot_id|>hi", add_special_tokens=False).ids
    kept, total = encoding.truncate(hf_models.corpus_text(), 10)
    assert len(encoding.encode_ordinary(kept)) == 10 < total
    assert pickle.loads(pickle.dumps(encoding)).encode_ordinary("hello") == \
        encoding.encode_ordinary("hello")


@pytest.mark.parametrize("name, reason", [("qwen2 nfc", "NFC"), ("gpt2 prefix space", "space"),
                                          ("ids not following merges", "merges"),
                                          ("added token flags", "lstrip")])
def test_as_encoding_refuses_what_a_tiktoken_encoding_cannot_do(loaded, name, reason):
    with pytest.raises(ValueError, match=reason):
        loaded[name][1].as_encoding()


def test_pairs_and_bad_settings_raise(loaded):
    _, ours, _ = loaded["llama3"]
    with pytest.raises(ValueError, match="pairs"):
        ours.encode("a", "b")
    with pytest.raises(ValueError, match="direction"):
        ours.enable_padding(direction="up")
    with pytest.raises(ValueError, match="stride"):
        ours.enable_truncation(4, stride=5)
    # HF panics where the stride leaves windows no room beside the template's tokens.
    ours.enable_truncation(4, stride=3)
    try:
        with pytest.raises(ValueError, match="stride"):
            ours.encode("one two three four five six")
    finally:
        ours.no_truncation()


def test_the_command_line_takes_a_tokenizer_json(tmp_path, models, loaded):
    import subprocess
    import sys

    path = tmp_path / "tokenizer.json"
    path.write_text(models["llama3"][0], encoding="utf-8")
    text = hf_models.corpus_text() + "<|eot_id|>"
    sample = tmp_path / "sample.txt"
    sample.write_text(text, encoding="utf-8")
    theirs = loaded["llama3"][0]

    def run(*args):
        return subprocess.run([sys.executable, "-m", "pelnor", *args, "-e", str(path), str(sample)],
                              capture_output=True, check=True, text=True).stdout

    expected = theirs.encode(text, add_special_tokens=False).ids
    assert run("encode", "--special").split() == [str(i) for i in expected]
    assert run("count", "--special").split()[0] == str(len(expected))
    nfc = tmp_path / "nfc.json"
    nfc.write_text(models["qwen2 nfc"][0], encoding="utf-8")
    refused = subprocess.run([sys.executable, "-m", "pelnor", "count", "-e", str(nfc)],
                             capture_output=True, text=True)
    assert refused.returncode == 2 and "NFC" in refused.stderr
