"""pelnor's Encoding against tiktoken's, call for call: same results, same exception classes."""

import concurrent.futures
import functools
import importlib
import inspect
import json
import pickle
import pydoc
import random
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelnor
from pelnor.vocab_format import levels_bytes, vocab_data
from conftest import ENCODINGS, needs
from pelnor.encoding import _NO_SPECIALS
from datafiles import REPO

CORPUS = {
    path.stem: path.read_text(encoding="utf-8") for path in sorted((REPO / "tests" / "corpus").glob("*.txt"))
}
TEXT = CORPUS["english"][:3000]
MIXED = "naïve café 日本語 🎉 " * 20


def calls(enc):
    """(label, call) pairs covering every public call of tiktoken's Encoding; each call gets the
    Encoding under test."""
    numpy = needs("numpy")
    eot = "<|endoftext|>"
    second = sorted(enc.special_tokens_set - {eot} or {eot})[0]  # the GPT-2 family has one
    specials = f"a {eot} b {second} c"
    ids = enc.encode(MIXED)
    gaps = (i for i in range(enc.max_token_value, -1, -1) if not _known(enc, i))
    unknown = next(gaps, enc.max_token_value + 1)
    broken = enc.encode("é")[:1] if len(enc.encode("é")) > 1 else [enc.encode_single_token(b"\xc3")]
    table = [
        ("encode", lambda e: e.encode(TEXT)),
        ("encode empty", lambda e: e.encode("")),
        ("encode special disallowed", lambda e: e.encode(specials)),
        ("encode allowed all", lambda e: e.encode(specials, allowed_special="all")),
        ("encode allowed one", lambda e: e.encode(specials, allowed_special={eot})),
        ("encode allowed one, rest free",
         lambda e: e.encode(specials, allowed_special={eot}, disallowed_special=())),
        ("encode nothing disallowed", lambda e: e.encode(specials, disallowed_special=())),
        ("encode disallowed set", lambda e: e.encode(specials, disallowed_special={second})),
        ("encode both all", lambda e: e.encode(specials, allowed_special="all",
                                                disallowed_special="all")),
        ("encode frozenset", lambda e: e.encode(specials, allowed_special=frozenset([eot, second]))),
        ("encode surrogate", lambda e: e.encode("a\ud800b \udfff")),
        ("encode disallowed None", lambda e: e.encode(specials, disallowed_special=None)),
        ("encode allowed and disallowed", lambda e: e.encode(
            specials, allowed_special={eot}, disallowed_special={eot})),
        ("encode all allowed, one disallowed", lambda e: e.encode(
            specials, allowed_special="all", disallowed_special={second})),
        ("encode bytes", lambda e: e.encode(b"abc")),
        ("encode None", lambda e: e.encode(None)),
        ("encode_ordinary", lambda e: e.encode_ordinary(MIXED + specials)),
        ("encode_ordinary surrogate", lambda e: e.encode_ordinary("x\udc80y")),
        ("encode_to_numpy", lambda e: e.encode_to_numpy(TEXT)),
        ("encode_to_numpy special", lambda e: e.encode_to_numpy(specials)),
        ("encode_to_numpy allowed", lambda e: e.encode_to_numpy(specials, allowed_special="all")),
        ("encode_batch", lambda e: e.encode_batch([TEXT, "", MIXED])),
        ("encode_batch empty", lambda e: e.encode_batch([])),
        ("encode_batch special", lambda e: e.encode_batch(["x", specials])),
        ("encode_batch allowed all", lambda e: e.encode_batch(["x", specials], allowed_special="all")),
        ("encode_batch allowed one",
         lambda e: e.encode_batch([specials], allowed_special={eot}, disallowed_special=())),
        ("encode_batch nothing disallowed", lambda e: e.encode_batch([specials], disallowed_special=())),
        ("encode_batch one thread", lambda e: e.encode_batch([TEXT, MIXED], num_threads=1)),
        ("encode_batch threads None", lambda e: e.encode_batch([TEXT], num_threads=None)),
        ("encode_batch surrogate", lambda e: e.encode_batch(["a\udc00b", "x"])),
        ("encode_batch disallowed generator", lambda e: e.encode_batch(
            ["x", specials], disallowed_special=(s for s in [eot]))),
        ("encode_batch allowed and disallowed", lambda e: e.encode_batch(
            [specials], allowed_special="all", disallowed_special={eot})),
        ("encode_ordinary_batch", lambda e: e.encode_ordinary_batch([TEXT, specials, ""])),
        ("encode_ordinary_batch threads", lambda e: e.encode_ordinary_batch([MIXED] * 5, num_threads=2)),
        ("encode_ordinary_batch surrogate", lambda e: e.encode_ordinary_batch(["a\ud800"])),
        ("encode_single_token str", lambda e: e.encode_single_token("hello")),
        ("encode_single_token bytes", lambda e: e.encode_single_token(b"hello")),
        ("encode_single_token special", lambda e: e.encode_single_token(eot)),
        ("encode_single_token special bytes", lambda e: e.encode_single_token(eot.encode())),
        ("encode_single_token two words", lambda e: e.encode_single_token("hello world")),
        ("encode_single_token int", lambda e: e.encode_single_token(5)),
        ("encode_single_token no token", lambda e: e.encode_single_token("qqqqqqqqqqqq")),
        # Misuse: the same exception class as tiktoken, whichever call it is.
        ("encode allowed list", lambda e: e.encode(specials, allowed_special=[eot])),
        ("encode allowed None", lambda e: e.encode("a", allowed_special=None)),
        ("encode allowed 'none'", lambda e: e.encode("a", allowed_special="none")),
        ("encode allowed 'ALL'", lambda e: e.encode("a", allowed_special="ALL")),
        ("encode allowed dict", lambda e: e.encode(specials, allowed_special={eot: 1})),
        ("encode allowed list, none disallowed",
         lambda e: e.encode(specials, allowed_special=[eot], disallowed_special=())),
        ("encode disallowed int", lambda e: e.encode("a", disallowed_special=5)),
        ("encode_batch allowed list", lambda e: e.encode_batch(["a"], allowed_special=[eot])),
        ("encode_to_numpy allowed None", lambda e: e.encode_to_numpy("a", allowed_special=None)),
        ("encode_ordinary_batch threads 0", lambda e: e.encode_ordinary_batch(["a"], num_threads=0)),
        ("encode_batch threads -1", lambda e: e.encode_batch(["a"], num_threads=-1)),
        ("decode_batch threads 0", lambda e: e.decode_batch([ids], num_threads=0)),
        ("decode_bytes_batch threads 0", lambda e: e.decode_bytes_batch([ids], num_threads=0)),
        ("encode_batch threads str", lambda e: e.encode_batch(["a"], num_threads="2")),
        ("encode_with_unstable", lambda e: unstable(e, "hello fanta")),
        ("encode_with_unstable space", lambda e: unstable(e, "hi there\n\n ")),
        ("encode_with_unstable special", lambda e: unstable(e, f"x {eot} wor", "all")),
        ("encode_with_unstable disallowed", lambda e: unstable(e, f"x {eot} wor")),
        ("encode_with_unstable empty", lambda e: unstable(e, "")),
        ("_encode_single_piece", lambda e: e._encode_single_piece(" hello world")),
        ("_encode_single_piece bytes", lambda e: e._encode_single_piece(b"\xe2\x82 x")),
        ("_encode_only_native_bpe", lambda e: e._encode_only_native_bpe(MIXED + specials)),
        ("decode", lambda e: e.decode(ids)),
        ("decode empty", lambda e: e.decode([])),
        ("decode tuple", lambda e: e.decode(tuple(ids))),
        ("decode special", lambda e: e.decode(e.encode(specials, allowed_special="all"))),
        ("decode unknown", lambda e: e.decode([1, unknown])),
        ("decode too large", lambda e: e.decode([1, 2**32 + 5])),
        ("decode negative", lambda e: e.decode([1, -1])),
        ("decode str", lambda e: e.decode("abc")),
        ("decode strict", lambda e: e.decode(broken, errors="strict")),
        ("decode replace", lambda e: e.decode(broken + ids)),
        ("decode ignore", lambda e: e.decode(broken + ids, errors="ignore")),
        ("decode backslashreplace", lambda e: e.decode(broken, errors="backslashreplace")),
        ("decode surrogateescape", lambda e: e.decode(broken, errors="surrogateescape")),
        ("decode unknown handler", lambda e: e.decode(broken, errors="no-such-handler")),
        ("decode numpy", lambda e: e.decode(numpy.array(ids, dtype=numpy.uint32))),
        ("decode_bytes", lambda e: e.decode_bytes(ids)),
        ("decode_bytes unknown", lambda e: e.decode_bytes([unknown])),
        ("decode_single_token_bytes", lambda e: e.decode_single_token_bytes(ids[0])),
        ("decode_single_token_bytes special", lambda e: e.decode_single_token_bytes(e.eot_token)),
        ("decode_single_token_bytes unknown", lambda e: e.decode_single_token_bytes(unknown)),
        ("decode_single_token_bytes negative", lambda e: e.decode_single_token_bytes(-1)),
        ("decode_tokens_bytes", lambda e: e.decode_tokens_bytes(ids)),
        ("decode_tokens_bytes unknown", lambda e: e.decode_tokens_bytes([1, unknown])),
        ("decode_with_offsets", lambda e: e.decode_with_offsets(ids)),
        ("decode_with_offsets broken", lambda e: e.decode_with_offsets(broken)),
        ("decode_batch", lambda e: e.decode_batch([ids, [], broken])),
        ("decode_batch errors", lambda e: e.decode_batch([broken], errors="strict")),
        ("decode_batch threads", lambda e: e.decode_batch([ids] * 3, num_threads=1)),
        ("decode_bytes_batch", lambda e: e.decode_bytes_batch([ids, [], broken])),
        ("decode_bytes_batch unknown", lambda e: e.decode_bytes_batch([[unknown]])),
        ("token_byte_values", lambda e: e.token_byte_values()),
        ("name", lambda e: e.name),
        ("n_vocab", lambda e: e.n_vocab),
        ("max_token_value", lambda e: e.max_token_value),
        ("eot_token", lambda e: e.eot_token),
        ("special_tokens_set", lambda e: e.special_tokens_set),
        ("_special_tokens", lambda e: list(e._special_tokens.items())),
        ("_pat_str", lambda e: e._pat_str),
        ("_mergeable_ranks", lambda e: e._mergeable_ranks == enc._mergeable_ranks),
    ]
    return table


def unstable(enc, text, allowed=_NO_SPECIALS):
    """encode_with_unstable, its completions (in no order) sorted."""
    stable, completions = enc.encode_with_unstable(text, allowed_special=allowed)
    return stable, sorted(map(tuple, completions))


def _known(enc, token):
    try:
        enc.decode_single_token_bytes(token)
        return True
    except KeyError:
        return False


def message(call, enc):
    try:
        call(enc)
    except Exception as error:  # noqa: BLE001 - the message is what is compared
        return str(error)


def outcome(call, enc):
    try:
        result = call(enc)
    except Exception as error:  # noqa: BLE001 - the class is what is compared
        return "raises", type(error)
    if type(result).__name__ == "ndarray":
        return "array", result.dtype, result.tolist()
    return "returns", result


@pytest.mark.parametrize("name", ENCODINGS)
def test_every_call_agrees_with_tiktoken(references, name):
    ours, theirs = pelnor.get_encoding(name), references[name]
    differences = [
        (label, outcome(call, ours), outcome(call, theirs))
        for label, call in calls(theirs)
        if outcome(call, ours) != outcome(call, theirs)
    ]
    assert differences == []
    assert repr(ours) == repr(theirs)
    # The messages that name a token name the same one, in the same words.
    first = sorted(theirs.special_tokens_set)[-1]
    text = f"x {first} y <|endoftext|>"
    for call in (lambda e: e.encode(text), lambda e: e.encode_batch(["", text]),
                 lambda e: e.encode_to_numpy(text), lambda e: e.decode([1, 2**31])):
        assert message(call, ours) == message(call, theirs)
    # tiktoken 0.12's own is_special_token raises AttributeError for every id.
    assert [ours.is_special_token(i) for i in (ours.eot_token, 0, ours.n_vocab)] == [
        True, False, False
    ]


@pytest.mark.parametrize("name", ENCODINGS)
def test_byte_strings_cut_anywhere_encode_as_tiktoken(references, name):
    """Bytes ending (or starting) inside a character: tiktoken merges what follows the longest
    UTF-8 prefix together with that prefix's last piece."""
    ours, theirs = pelnor.get_encoding(name), references[name]
    rng = random.Random(name)
    data = "".join(CORPUS.values()).encode()
    for _ in range(600):
        start = rng.randrange(len(data))
        cut = data[start : start + rng.randint(0, 120)]
        if rng.random() < 0.2:
            at = rng.randint(0, len(cut))
            cut = cut[:at] + bytes([rng.choice(b"\x80\xc3\xe2\xff")]) + cut[at:]
        assert ours._encode_bytes(cut) == theirs._encode_bytes(cut), cut


def test_models_map_to_tiktoken_encodings():
    tiktoken = needs("tiktoken")
    import tiktoken.model

    assert pelnor.model.MODEL_TO_ENCODING == tiktoken.model.MODEL_TO_ENCODING
    assert list(pelnor.model.MODEL_PREFIX_TO_ENCODING.items()) == list(
        tiktoken.model.MODEL_PREFIX_TO_ENCODING.items()
    )
    names = list(pelnor.model.MODEL_TO_ENCODING)
    names += [prefix + "x" for prefix in pelnor.model.MODEL_PREFIX_TO_ENCODING]
    names += ["gpt-4o-mini", "gpt-4x", "o1x", "ft:gpt-5", "gpt-5.1", "", "GPT-4"]
    for model in names:
        assert outcome(pelnor.encoding_name_for_model, model) == outcome(
            tiktoken.encoding_name_for_model, model
        ), model
    assert pelnor.encoding_for_model("gpt-4o") is pelnor.get_encoding("o200k_base")
    assert pelnor.encoding_for_model("gpt-oss-120b").name == "o200k_harmony"
    assert pelnor.encoding_for_model("gpt-2") is pelnor.get_encoding("gpt2")
    assert pelnor.encoding_for_model("davinci") is pelnor.get_encoding("r50k_base")
    for model in ("text-davinci-003", "text-davinci-edit-001", "code-davinci-002"):
        expected = pelnor.get_encoding(tiktoken.encoding_name_for_model(model))
        assert pelnor.encoding_for_model(model) is expected
    with pytest.raises(KeyError):
        pelnor.encoding_for_model("no-such-model")
    with pytest.raises(ValueError):
        pelnor.get_encoding("nope")
    assert pelnor.list_encoding_names() == ENCODINGS


def public_names(module):
    """The names a module defines for its users: its own functions, classes and tables, and its
    package's submodules, not what it imports from elsewhere."""
    names = set()
    for name, value in vars(module).items():
        if name.startswith("_") or name == "annotations" or isinstance(value, bool):
            continue
        if isinstance(value, types.ModuleType):
            if value.__name__.startswith(module.__name__.split(".")[0] + "."):
                names.add(name)
            continue
        origin = getattr(value, "__module__", None)
        if origin is None or origin.split(".")[0] == module.__name__.split(".")[0]:
            names.add(name)
    return names


def test_every_public_name_of_tiktoken_is_pelnors():
    needs("tiktoken")
    for suffix in ("", ".load", ".core", ".registry", ".model"):
        theirs = importlib.import_module("tiktoken" + suffix)
        ours = importlib.import_module("pelnor" + suffix)
        assert public_names(theirs) - set(dir(ours)) == set(), suffix
    # As tiktoken's, every submodule is there after importing the package alone.
    probe = ("import pelnor; pelnor.core.raise_disallowed_special_token, pelnor.load.read_file, "
             "pelnor.registry.ENCODINGS, pelnor.model.MODEL_TO_ENCODING")
    subprocess.run([sys.executable, "-c", probe], check=True)
    assert pelnor.core.Encoding is pelnor.Encoding
    assert pelnor.registry.get_encoding is pelnor.get_encoding


def test_load_calls_behave_as_tiktokens(tmp_path, monkeypatch):
    tiktoken = needs("tiktoken")
    import hashlib
    import tiktoken.load

    ours, theirs = pelnor.load, tiktoken.load
    source = tmp_path / "ranks.bin"
    source.write_bytes(b"first")
    digest = hashlib.sha256(b"first").hexdigest()
    assert ours.read_file(str(source)) == theirs.read_file(str(source)) == b"first"
    assert ours.check_hash(b"first", digest) and not ours.check_hash(b"first", "00")

    def cached(module, *calls):
        """What read_file_cached returns or raises, call after call, and the files it keeps."""
        cache = tmp_path / module.__name__
        monkeypatch.setenv("TIKTOKEN_CACHE_DIR", str(cache))
        outcomes = []
        for contents, expected in calls:
            source.write_bytes(contents)
            outcomes.append(raised_or_returned(lambda m: m.read_file_cached(str(source), expected),
                                               module))
        return outcomes, sorted((p.name, p.read_bytes()) for p in cache.iterdir())

    calls = [(b"first", digest), (b"second", None), (b"second", digest), (b"second", "00"),
             (b"first", digest)]
    (outcomes_ours, files_ours), (outcomes_theirs, files_theirs) = (
        cached(ours, *calls), cached(theirs, *calls))
    assert files_ours == files_theirs
    assert [o[:2] for o in outcomes_ours] == [o[:2] for o in outcomes_theirs]
    for setting in ("DATA_GYM_CACHE_DIR", "TIKTOKEN_CACHE_DIR"):
        monkeypatch.delenv("TIKTOKEN_CACHE_DIR", raising=False)
        monkeypatch.setenv(setting, "" if setting == "TIKTOKEN_CACHE_DIR" else str(tmp_path / "dg"))
        assert ours.read_file_cached(str(source)) == b"first"
    assert [p.name for p in (tmp_path / "dg").iterdir()] == [
        hashlib.sha1(str(source).encode()).hexdigest()]
    # The dump's bytes (tiktoken writes through blobfile, here opening local files).
    monkeypatch.setitem(sys.modules, "blobfile", types.SimpleNamespace(BlobFile=open))
    ranks = {b"a": 0, b"\xff": 1, b"b\x00": 2, b"hello world": 3}
    ours.dump_tiktoken_bpe(ranks, str(tmp_path / "ours.tiktoken"))
    theirs.dump_tiktoken_bpe(ranks, str(tmp_path / "theirs.tiktoken"))
    assert (tmp_path / "ours.tiktoken").read_bytes() == (tmp_path / "theirs.tiktoken").read_bytes()
    assert ours.load_tiktoken_bpe(str(tmp_path / "ours.tiktoken")) == ranks
    # A GPT-2 style release, and one whose encoder.json gives two single bytes each other's ranks.
    byte_of = pelnor.load._data_gym_byte_of_character()  # in rank order
    character = {byte: char for char, byte in byte_of.items()}

    def spell(token):
        return "".join(character[byte] for byte in token)

    merges = [(b"a", b"b"), (b"ab", b"c"), (b" ", b"abc")]
    (tmp_path / "vocab.bpe").write_text(
        "#version: 0.2\n" + "".join(f"{spell(a)} {spell(b)}\n" for a, b in merges))
    encoder = {char: rank for rank, char in enumerate(byte_of)}
    encoder.update({spell(a + b): 256 + i for i, (a, b) in enumerate(merges)})
    swapped = dict(encoder)
    swapped[character[ord("!")]], swapped[character[ord('"')]] = (
        encoder[character[ord('"')]], encoder[character[ord("!")]])
    for n, table in enumerate((encoder, swapped)):
        path = tmp_path / f"encoder{n}.json"
        path.write_text(json.dumps(table))
        for clobber in (False, True):
            def call(module, path=path, clobber=clobber):
                return module.data_gym_to_mergeable_bpe_ranks(
                    str(tmp_path / "vocab.bpe"), str(path), clobber_one_byte_tokens=clobber)

            outcome_ours, outcome_theirs = (raised_or_returned(call, ours),
                                            raised_or_returned(call, theirs))
            if outcome_theirs[0] == "raises":  # an assert in tiktoken, ValueError in pelnor
                assert (outcome_theirs[1], outcome_ours[1]) == (AssertionError, ValueError)
            else:
                assert outcome_ours == outcome_theirs


def test_urls_are_read_as_tiktoken_reads_them(tmp_path):
    tiktoken = needs("tiktoken")
    import http.server
    import threading
    import tiktoken.load

    (tmp_path / "ranks.tiktoken").write_bytes(b"YQ== 0\n")
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/ranks.tiktoken"
        assert pelnor.load.read_file(url) == tiktoken.load.read_file(url) == b"YQ== 0\n"
        assert pelnor.load.load_tiktoken_bpe(url) == {b"a": 0}
        for module in (pelnor.load, tiktoken.load):
            with pytest.raises(OSError):
                module.read_file(url.replace("ranks", "missing"))
    finally:
        server.shutdown()


def test_registry_tables_and_pickles_behave_as_tiktokens(references):
    import copy
    import tiktoken.core
    import tiktoken.registry

    ours = pelnor.get_encoding("cl100k_base")
    assert pelnor.registry.ENCODINGS["cl100k_base"] is ours
    built = pelnor.Encoding(**pelnor.registry.ENCODING_CONSTRUCTORS["p50k_base"]())
    assert built.encode(TEXT) == pelnor.get_encoding("p50k_base").encode(TEXT)
    theirs = references["cl100k_base"]
    tiktoken.registry.ENCODINGS.setdefault("cl100k_base", theirs)
    theirs = tiktoken.registry.ENCODINGS["cl100k_base"]
    custom = pelnor.Encoding("c", pat_str="a", mergeable_ranks={b"a": 0}, special_tokens={})
    for encoding in (ours, theirs):
        assert encoding.__getstate__() == "cl100k_base"
        for again in (pickle.loads(pickle.dumps(encoding)), copy.copy(encoding),
                      copy.deepcopy(encoding)):
            assert again is not encoding and again.encode(TEXT) == encoding.encode(TEXT)
    assert custom.__getstate__() == {"name": "c", "pat_str": "a", "mergeable_ranks": {b"a": 0},
                                     "special_tokens": {}}
    with pytest.raises(ValueError) as raised_ours:
        pelnor.core.raise_disallowed_special_token("<|x|>")
    with pytest.raises(ValueError) as raised_theirs:
        tiktoken.core.raise_disallowed_special_token("<|x|>")
    assert str(raised_ours.value) == str(raised_theirs.value)
    for name in (5, None):
        assert raised_or_returned(pelnor.get_encoding, name)[:2] == raised_or_returned(
            tiktoken.get_encoding, name)[:2]


def test_encodings_that_packages_register_for_tiktoken_are_found(tmp_path, monkeypatch):
    plugin = tmp_path / "tiktoken_ext" / "pelnor_test_plugin.py"
    plugin.parent.mkdir()
    plugin.write_text(
        "import pelnor\n\n"
        "def tiny():\n"
        "    base = pelnor.get_encoding('r50k_base')._mergeable_ranks\n"
        "    return {'name': 'tiny_r50k', 'pat_str': pelnor.patterns.R50K_PATTERN_GPT2,\n"
        "            'mergeable_ranks': {t: r for t, r in base.items() if r < 3000},\n"
        "            'special_tokens': {'<|endoftext|>': 3000}}\n\n"
        "ENCODING_CONSTRUCTORS = {'tiny_r50k': tiny}\n"
    )
    with pytest.raises(ValueError):
        pelnor.get_encoding("tiny_r50k")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert pelnor.list_encoding_names() == ENCODINGS + ["tiny_r50k"]
    ours = pelnor.get_encoding("tiny_r50k")
    assert ours is pelnor.get_encoding("tiny_r50k") and ours.n_vocab == 3001
    tiktoken = needs("tiktoken")
    from tiktoken_ext import pelnor_test_plugin

    theirs = tiktoken.Encoding(**pelnor_test_plugin.tiny())
    for text in CORPUS.values():
        assert ours.encode(text) == theirs.encode(text)


def test_data_gym_files_give_r50k_ranks(tmp_path):
    import hashlib

    from datafiles import SHARED_DATA

    release = SHARED_DATA / "published-ranks" / "gpt2"
    if not release.is_dir():
        pytest.skip("GPT-2's release files (../shared/data) absent")
    vocab_bpe, encoder_json = str(release / "vocab.bpe"), str(release / "encoder.json")
    ranks = pelnor.load.data_gym_to_mergeable_bpe_ranks(vocab_bpe, encoder_json)
    assert ranks == pelnor.get_encoding("r50k_base")._mergeable_ranks
    digest = hashlib.sha256((release / "vocab.bpe").read_bytes()).hexdigest()
    assert pelnor.data_gym_to_mergeable_bpe_ranks(vocab_bpe, encoder_json, digest) == ranks
    with pytest.raises(ValueError, match="SHA-256"):
        pelnor.data_gym_to_mergeable_bpe_ranks(vocab_bpe, encoder_json, "0" * 64)
    # Merges out of step with the encoder's ranks.
    lines = (release / "vocab.bpe").read_text(encoding="utf-8").splitlines()
    swapped = tmp_path / "vocab.bpe"
    swapped.write_text("\n".join([lines[0], lines[2], lines[1], *lines[3:]]), encoding="utf-8")
    with pytest.raises(ValueError, match="different ranks"):
        pelnor.data_gym_to_mergeable_bpe_ranks(str(swapped), encoder_json)
    tiktoken_load = needs("tiktoken.load")
    assert ranks == tiktoken_load.data_gym_to_mergeable_bpe_ranks(vocab_bpe, encoder_json)


# ---- Custom encodings ----------------------------------------------------------------------------


def conformance_texts(count):
    from test_conformance import adversarial_texts, random_text

    rng = random.Random(11)
    return [random_text(rng) for _ in range(count)] + list(adversarial_texts()) + list(CORPUS.values())


def prefix_ranks(name, count):
    ranks = pelnor.get_encoding(name)._mergeable_ranks
    return {token: rank for token, rank in ranks.items() if rank < count}


def raised_or_returned(call, enc):
    try:
        return "returns", call(enc)
    except Exception as error:  # noqa: BLE001 - the class and the words are what is compared
        return "raises", type(error), error.args


def both(name, pat_str, ranks, specials):
    tiktoken = needs("tiktoken")

    arguments = dict(pat_str=pat_str, mergeable_ranks=ranks, special_tokens=specials)
    return pelnor.Encoding(name, **arguments), tiktoken.Encoding(name, **arguments)


SPELLINGS = [
    ("r50k_base", pelnor.patterns.R50K_PATTERN),
    ("r50k_base", pelnor.patterns.R50K_PATTERN_GPT2),
    ("cl100k_base", pelnor.patterns.CL100K_PATTERN),
    ("cl100k_base", pelnor.patterns.CL100K_PATTERN_OLD),
    ("o200k_base", pelnor.patterns.O200K_PATTERN),
]


@pytest.mark.parametrize("base, pat_str", SPELLINGS)
def test_custom_encodings_under_each_spelling_match_tiktoken(references, base, pat_str):
    ranks = prefix_ranks(base, 40000)
    specials = {"<|endoftext|>": 40000, "<|im_start|>": 40001, "<|im_end|>": 40007}
    ours, theirs = both("custom", pat_str, ranks, specials)
    texts = conformance_texts(400)
    texts += [f"{specials_text} <|im_start|>user\n{text}<|im_end|>" for specials_text, text in
              zip(["", "<|endoftext|>"], texts[:50] * 2)]
    for text in texts:
        assert ours.encode(text, allowed_special="all") == theirs.encode(text, allowed_special="all")
    assert ours.n_vocab == theirs.n_vocab == 40008
    assert ours.token_byte_values() == theirs.token_byte_values()
    # With the published ranks the spelling gives the ids of tiktoken's own spelling.
    canonical = references[base]
    spelled = both("spelled", pat_str, canonical._mergeable_ranks, {})[1]
    for text in texts:
        assert spelled.encode_ordinary(text) == canonical.encode_ordinary(text)


def test_old_cl100k_spelling_cuts_white_space_at_the_end_as_tiktoken_does():
    """That spelling has no `\\s++$`: white space ending a text is cut after its last line break.
    cl100k's tokens never span that cut, so tokens that do are added to tell the two apart."""
    ranks = prefix_ranks("cl100k_base", 40000)
    for token in (b"\n ", b"\r\n ", b"\n\t", b"\n\n ", b" \n ", b"\n\xc2\xa0"):
        ranks.setdefault(token, len(ranks))
    ours, theirs = both("old", pelnor.patterns.CL100K_PATTERN_OLD, ranks, {})
    rng = random.Random(5)
    units = ["a", "Zq", "1", "!", "'s", "é", " ", "  ", "\t", "\n", "\r", "\r\n", "\x0b", "\x0c",
             "\x85", "\u00a0", "\u2028", "\u3000"]
    texts = ["a\r\n ", "a\n ", "x\n\n  ", "a \n ", "a\r\n \tb"]
    texts += ["".join(rng.choices(units, k=rng.randint(1, 12))) for _ in range(5000)]
    for text in texts:
        assert ours.encode_ordinary(text) == theirs.encode_ordinary(text), repr(text)
    def in_order(result):  # completions come in no order
        return result[0], sorted(map(list, result[1]))

    for text in texts[:5]:
        assert in_order(ours.encode_with_unstable(text)) == in_order(
            theirs.encode_with_unstable(text)), repr(text)


def test_rank_tables_that_are_not_pairwise_merge_as_tiktoken_does():
    """Tables whose tokens are not all two tokens of lower rank joined: words appended to a short
    table, and a table whose ranks are shuffled."""
    ranks = prefix_ranks("cl100k_base", 3000)
    words = sorted({(" " + word).encode() for word in CORPUS["english"].split()} - set(ranks))
    appended = dict(ranks)
    for word in words[:2000]:
        appended[word] = len(appended)
    rng = random.Random(3)
    longer = sorted(prefix_ranks("cl100k_base", 8000).items(), key=lambda item: item[1])
    tail = [token for token, _ in longer[256:]]
    rng.shuffle(tail)
    shuffled = {token: rank for rank, token in enumerate([t for t, _ in longer[:256]] + tail)}
    texts = conformance_texts(200)
    for table in (appended, shuffled):
        ours, theirs = both("odd", pelnor.patterns.CL100K_PATTERN, table, {})
        for text in texts:
            assert ours.encode_ordinary(text) == theirs.encode_ordinary(text)


def test_rank_tables_with_gaps_give_tiktoken_ids():
    ranks = {token: rank if rank < 256 else 2 * rank for token, rank in
             prefix_ranks("cl100k_base", 6000).items()}
    ours, theirs = both("gaps", pelnor.patterns.CL100K_PATTERN, ranks, {"<|e|>": 12500})
    texts = conformance_texts(100)
    assert ours.encode_batch(texts, allowed_special="all") == theirs.encode_batch(
        texts, allowed_special="all")
    assert (ours.n_vocab, ours.token_byte_values()) == (theirs.n_vocab, theirs.token_byte_values())
    # A gap no special token takes is no token, as an id past the end is: the same exception,
    # in tiktoken's words, from every decoding call.
    calls = [lambda e, i=i: e.decode([512, i]) for i in (512, 513, 12500, 10**6)]
    calls += [lambda e, i=i: e.decode_bytes([i]) for i in (513, 10**6)]
    calls += [lambda e, i=i: e.decode_single_token_bytes(i) for i in (513, 12500, 10**6)]
    calls += [lambda e, i=i: e.decode_tokens_bytes([512, i]) for i in (513, 10**6)]
    for encoding in (ours, pickle.loads(pickle.dumps(ours))):
        for call in calls:
            assert raised_or_returned(call, encoding) == raised_or_returned(call, theirs)
    # Every two bytes starting with 0xFF a token, and then a gap: the placeholders go deeper.
    crowded = {bytes([b]): b for b in range(256)}
    crowded.update({bytes([0xFF, b]): 256 + b for b in range(256)})
    crowded[b"ab"] = 600
    ours, theirs = both("crowded", pelnor.patterns.CL100K_PATTERN, crowded, {})
    data = bytes(random.Random(5).choice(b"\xffab ") for _ in range(3000))
    assert ours.encode("ab") == theirs.encode("ab") == [600]
    assert ours._encode_bytes(data) == theirs._encode_bytes(data)


@pytest.mark.parametrize("name", ["p50k_base", "p50k_edit"])
def test_a_special_token_on_a_rank_table_gap_is_that_id(references, name):
    theirs = references[name]
    built_in = pelnor.get_encoding(name)
    custom, _ = both(name, theirs._pat_str, theirs._mergeable_ranks, theirs._special_tokens)
    eot, gap = "<|endoftext|>", 50256
    calls = [
        lambda e: e.decode([gap, 11, gap]),
        lambda e: e.decode_bytes([gap]),
        lambda e: e.decode_single_token_bytes(gap),
        lambda e: e.decode_tokens_bytes([gap, 50280]),
        lambda e: [e.encode_single_token(eot), e.encode_single_token(eot.encode())],
        lambda e: e.encode(f"a{eot}b", allowed_special="all"),
        lambda e: e.encode(f"a{eot}b", disallowed_special=()),
        lambda e: (e.n_vocab, e.max_token_value, e.eot_token),
        lambda e: e.token_byte_values(),
        lambda e: e._mergeable_ranks,
    ]
    rng = random.Random(name)
    raw = [bytes(rng.choice(b"\xff\x00\xc4\x50 a") for _ in range(rng.randint(1, 12)))
           for _ in range(2000)]
    for ours in (built_in, custom):
        assert [call(ours) for call in calls] == [call(theirs) for call in calls]
        assert ours.tokenizer.decode([gap]) == eot and ours.is_special_token(gap)
        with pytest.raises(ValueError):
            ours.encode(eot)
        # The gap's placeholder token never comes out of encoding, even of its own bytes.
        placeholder = ours.tokenizer.token_byte_values()[gap]
        with pytest.raises(KeyError):
            ours.encode_single_token(placeholder)
        assert not any(gap in ours._encode_bytes(data) for data in [placeholder, *raw])


def test_tables_lacking_bytes_encode_what_they_can_and_name_a_byte_they_lack():
    ascii_only = {bytes([i]): i for i in range(128)}
    with_e_acute = {**ascii_only, "é".encode(): 128}
    for table in (ascii_only, with_e_acute):
        ours, theirs = both("ascii", pelnor.patterns.CL100K_PATTERN, table, {})
        for text in ("plain ascii text", "café", "aéb"):
            try:
                expected = theirs.encode(text)
            except BaseException:  # tiktoken panics on a byte without a token
                expected = None
            if expected is not None:
                assert ours.encode(text) == ours.encode_batch([text])[0] == expected
                continue
            for call in (ours.encode, ours.encode_ordinary, ours.count, pickle.loads(
                    pickle.dumps(ours)).encode, lambda t: ours.encode_batch([t]),
                         lambda t: ours._encode_bytes(t.encode())):
                with pytest.raises(ValueError, match="no token for the byte 0xc3"):
                    call(text)
        # A lone surrogate is encoded as U+FFFD, whose bytes these tables lack.
        with pytest.raises(ValueError, match="no token for the byte 0xef"):
            ours.encode_ordinary("a\ud800")
    # Only bytes in the pieces the pattern cuts need a token: what it leaves unmatched is dropped.
    no_bang = {token: rank for token, rank in ascii_only.items() if token != b"!"}
    ours, theirs = both("no_bang", r"[a-z]+", no_bang, {})
    assert ours.encode("hi! é") == ours._encode_bytes("hi! é".encode()) == theirs.encode("hi! é")
    ours = pelnor.Encoding("no_bang", pat_str=r"[a-z]+|!", mergeable_ranks=no_bang,
                           special_tokens={})
    with pytest.raises(ValueError, match="no token for the byte 0x21"):
        ours.encode("hi!")
    ours = pelnor.Encoding("ascii", pat_str=pelnor.patterns.CL100K_PATTERN,
                           mergeable_ranks=ascii_only, special_tokens={})
    with pytest.raises(ValueError, match="no token for the byte 0xe6"):
        ours.encode("日本")


def test_custom_encodings_reject_what_pelnor_cannot_build():
    ranks = prefix_ranks("cl100k_base", 300)
    pattern = pelnor.patterns.CL100K_PATTERN
    with pytest.raises(ValueError, match=r"flag at position 7, which PCRE2 cannot do"):
        pelnor.Encoding("x", pat_str=r"\w+(?i)\p{Lu}", mergeable_ranks=ranks, special_tokens={})
    with pytest.raises(ValueError, match="ranks must be distinct"):
        pelnor.Encoding("x", pat_str=pattern, mergeable_ranks={**ranks, b"zz": 299},
                        special_tokens={})
    with pytest.raises(ValueError, match="1 to 255 bytes"):
        pelnor.Encoding("x", pat_str=pattern, mergeable_ranks={**ranks, b"z" * 256: 300},
                        special_tokens={})
    with pytest.raises(ValueError, match="1 to 64 bytes"):
        pelnor.Encoding("x", pat_str=pattern, mergeable_ranks=ranks,
                        special_tokens={"<|" + "x" * 70 + "|>": 300})
    with pytest.raises(OverflowError):
        pelnor.Encoding("x", pat_str=pattern, mergeable_ranks=ranks, special_tokens={"<|e|>": -1})
    with pytest.raises(AssertionError):
        pelnor.Encoding("x", pat_str=pattern, mergeable_ranks=ranks, special_tokens={},
                        explicit_n_vocab=301)
    # Wrong types, where tiktoken raises TypeError too: named, whichever argument holds them.
    wrong = [({**ranks, "zz": 300}, {}, "mergeable_ranks keys must be bytes, not str"),
             ({**ranks, b"zz": 1.5}, {}, "mergeable_ranks values must be int, not float"),
             (list(ranks), {}, "mergeable_ranks must be a dict, not list"),
             (ranks, {b"<|e|>": 300}, "special_tokens keys must be str, not bytes"),
             (ranks, {"<|e|>": "300"}, "special_tokens values must be int, not str")]
    for table, specials, message in wrong:
        with pytest.raises(TypeError, match=message):
            pelnor.Encoding("x", pat_str=pattern, mergeable_ranks=table, special_tokens=specials,
                            explicit_n_vocab=301)
    with pytest.raises(ValueError, match="embedded null byte"):
        pelnor.Tokenizer("cl100k_base", "/tmp\x00/x")
    built = pelnor.Encoding("x", pat_str=pattern, mergeable_ranks=ranks,
                            special_tokens={"<|e|>": 300}, explicit_n_vocab=301)
    assert built.n_vocab == 301


def test_load_tiktoken_bpe_reads_the_published_format(tmp_path):
    import base64

    ranks = prefix_ranks("o200k_base", 5000)
    path = tmp_path / "small.tiktoken"
    path.write_bytes(b"".join(base64.b64encode(t) + b" %d\n" % r for t, r in ranks.items()))
    assert pelnor.load_tiktoken_bpe(path) == ranks
    import hashlib

    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    assert pelnor.load_tiktoken_bpe(str(path), expected_hash=digest) == ranks
    with pytest.raises(ValueError, match="SHA-256"):
        pelnor.load_tiktoken_bpe(path, expected_hash="0" * 64)
    for bad in (b"IQ== 0\nIg==\n", b"IQ== 0\n!!! 1\n", b"IQ== 0\nIg== x\n", b"IQ== 0\nIg== 1 2\n"):
        path.write_bytes(bad)
        with pytest.raises(ValueError, match=f"small.tiktoken, line 2: "):
            pelnor.load_tiktoken_bpe(path)


# ---- Pickling and streaming ---------------------------------------------------------------------


def _ids_in_child(encoding, text):
    return encoding.encode(text, allowed_special="all")


def test_encodings_and_tokenizers_pickle_and_cross_process_pools(tmp_path):
    custom = pelnor.Encoding("custom", pat_str=pelnor.patterns.O200K_PATTERN,
                             mergeable_ranks=prefix_ranks("o200k_base", 20000),
                             special_tokens={"<|end|>": 20000})
    builtin = pelnor.get_encoding("o200k_harmony")
    # A new Encoding, as in tiktoken, on the same native tables.
    again = pickle.loads(pickle.dumps(builtin))
    assert again is not builtin and again.tokenizer is builtin.tokenizer
    restored = pickle.loads(pickle.dumps(custom))
    text = MIXED + "<|end|>" + TEXT
    assert restored.encode(text, allowed_special="all") == custom.encode(text, allowed_special="all")
    assert restored.special_tokens_set == {"<|end|>"} and restored.name == "custom"
    datadir = tmp_path / "data"
    datadir.mkdir()
    for file in ("cl100k.vocab", "uniclass.bin"):
        (datadir / file).write_bytes((REPO / "data" / file).read_bytes())
    vocab, _ = vocab_data(prefix_ranks("cl100k_base", 20000))
    levels = levels_bytes([("regex", "isolated", False, r"\p{N}"), ("cl100k", "isolated", False, "")])
    for tokenizer in (pelnor.Tokenizer("o200k_base"), pelnor.Tokenizer("cl100k_base", str(datadir)),
                      custom.tokenizer, pelnor.Tokenizer.from_data("rules", "cl100k", vocab, bytes(4)),
                      pelnor.Tokenizer.from_levels("levels", vocab, bytes(4), levels)):
        copy = pickle.loads(pickle.dumps(tokenizer))
        assert (copy.name, copy.special_tokens(), copy.encode_ordinary(text)) == (
            tokenizer.name, tokenizer.special_tokens(), tokenizer.encode_ordinary(text))
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        for encoding in (builtin, custom):
            texts = [text[i:] for i in range(0, 600, 100)]
            expected = [_ids_in_child(encoding, each) for each in texts]
            assert list(pool.map(_ids_in_child, [encoding] * len(texts), texts)) == expected


@pytest.mark.parametrize("errors", ["strict", "replace", "backslashreplace"])
def test_stream_decoder_never_splits_a_character(errors):
    enc = pelnor.get_encoding("cl100k_base")
    ids = enc.encode(MIXED + "🧑‍🤝‍🧑 ꙮ 𝄞")
    if errors != "strict":
        ids = [enc.encode_single_token(b"\xe6"), *ids, enc.encode_single_token(b"\xf0")]
    rng = random.Random(5)
    decoder, pieces, pos = enc.stream_decoder(errors), [], 0
    while pos < len(ids):
        step = rng.randint(0, 3)
        pieces.append(decoder.step(ids[pos : pos + step]))
        pos += step
    pieces.append(decoder.finish())
    # A step that returned half a character would show a replacement the whole text lacks.
    assert "".join(pieces) == enc.decode(ids, errors)


_POLICIES = [
    {},
    {"allowed_special": "all"},
    {"disallowed_special": ()},
    {"allowed_special": {"<|endoftext|>"}, "disallowed_special": ()},
]


@settings(max_examples=150, deadline=None)
@given(parts=st.lists(st.sampled_from(["<|endoftext|>", "<|endofprompt|>", "<|endof", "|>", "\n",
                                       " ", "naïve", "日本", "🎉", "Doc one.", "123"]),
                      max_size=12),
       policy=st.sampled_from(_POLICIES), budget=st.integers(0, 12))
def test_own_calls_follow_encodes_special_token_policy(parts, policy, budget):
    enc = pelnor.get_encoding("o200k_base")
    text = "".join(parts)
    try:
        ids = enc.encode(text, **policy)
    except ValueError:
        for call in (lambda: enc.count(text, **policy), lambda: enc.truncate(text, 1, **policy),
                     lambda: enc.encode_with_offsets(text, **policy),
                     lambda: enc.count_batch(["", text], **policy),
                     lambda: enc.truncate_batch(["", text], 1, **policy)):
            with pytest.raises(ValueError, match="disallowed special token"):
                call()
        return
    assert enc.count(text, **policy) == len(ids)
    assert enc.count_batch([text, "x"], **policy) == [len(ids), 1]
    kept, total = enc.truncate(text, budget, **policy)
    # The bytes of the first tokens, less a character the budget cuts.
    assert total == len(ids) and kept == enc.decode(ids[:budget], errors="ignore")
    assert enc.truncate_batch([text], budget, **policy) == [(kept, total)]
    offset_ids, spans = enc.encode_with_offsets(text, **policy)
    assert offset_ids == ids
    assert [text.encode()[a:b] for a, b in spans] == enc.decode_tokens_bytes(ids)
    char_ids, char_spans = enc.encode_with_offsets(text, unit="char", **policy)
    assert char_ids == ids and (char_spans[-1][1] if ids else 0) == len(text)


def test_own_calls_are_documented_and_typed():
    enc = pelnor.get_encoding("o200k_base")
    for call in ("count", "count_batch", "truncate", "truncate_batch", "encode_with_offsets"):
        method = getattr(pelnor.Encoding, call)
        assert method.__doc__ and "allowed_special" in inspect.signature(method).parameters
    assert "count_batch" in pydoc.render_doc(pelnor.Encoding, renderer=pydoc.plaintext)
    assert enc.count("Doc one.<|endoftext|>Doc two.", allowed_special="all") == 7


def test_own_calls_type_check(tmp_path):
    if not pelnor.__file__.startswith(str(REPO / "python")):
        pytest.skip("the stubs are type-checked in the work tree, not in an installed copy")
    mypy = subprocess.run([sys.executable, "-m", "mypy", "--version"], capture_output=True,
                          text=True)
    if mypy.returncode != 0:
        pytest.skip(f"mypy does not run under this Python: {mypy.stderr.strip().splitlines()[-1:]}")
    usage = tmp_path / "usage.py"
    usage.write_text(
        "import pelnor\n"
        "enc = pelnor.get_encoding('o200k_base')\n"
        "n: int = enc.count('a', allowed_special='all') + sum(enc.count_batch(['a'], num_threads=2))\n"
        "cut: tuple[str, int] = enc.truncate('a', 3, allowed_special={'<|endoftext|>'})\n"
        "cuts: list[tuple[str, int]] = enc.truncate_batch(['a'], 3, disallowed_special=())\n"
        "spans: list[tuple[int, int]] = enc.encode_with_offsets('a', 'char')[1]\n"
        "enc.count('a', allowed_special='none')\n"
    )
    checked = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary",
                              "--cache-dir", str(tmp_path / "cache"), str(usage)],
                             capture_output=True, text=True, cwd=REPO / "python")
    assert checked.stdout.splitlines() == [
        f"{usage}:7: error: Argument \"allowed_special\" to \"count\" of \"Encoding\" has "
        "incompatible type \"Literal['none']\"; expected \"Literal['all'] | AbstractSet[str]\"  "
        "[arg-type]"]
