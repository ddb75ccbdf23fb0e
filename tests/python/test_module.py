"""The module's members, the Tokenizer class, its properties and the argument rules."""

import inspect
import re
import subprocess
import sys
import sysconfig
import threading

import pytest

import pelnor
from pelnor import _pelnor
from conftest import needs
from datafiles import REPO
from pelnor._pelnor import Tokenizer


def test_module_members():
    assert _pelnor.__all__ == ["Tokenizer", "__version__", "BUILTIN_ENCODINGS"]
    # The version the build was configured with, as the wheel's metadata takes it.
    project = re.search(r"project\(pelnor VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text())
    assert _pelnor.__version__ == pelnor.__version__ == project.group(1)
    try:
        import tiktoken
    except ImportError:
        tiktoken = None
    if tiktoken is not None:
        assert _pelnor.BUILTIN_ENCODINGS == tiktoken.list_encoding_names()
    assert type(_pelnor.BUILTIN_ENCODINGS) is list
    _pelnor.BUILTIN_ENCODINGS.append("mine")  # the registry is fixed all the same
    try:
        with pytest.raises(RuntimeError):
            Tokenizer("mine")
    finally:
        _pelnor.BUILTIN_ENCODINGS.pop()


def test_class_shape():
    assert Tokenizer.__module__ == "pelnor._pelnor"
    assert Tokenizer.__name__ == Tokenizer.__qualname__ == "Tokenizer"
    assert Tokenizer.__text_signature__ == '(encoding, datadir="")'
    assert "datadir" in Tokenizer.__doc__ and "decode_batch(" in Tokenizer.__doc__
    tok = Tokenizer("cl100k_base")
    assert repr(tok) == "<pelnor.Tokenizer 'cl100k_base'>"
    with pytest.raises(TypeError):

        class Sub(Tokenizer):  # noqa: F841
            pass

    with pytest.raises(AttributeError):
        tok.name = "x"
    with pytest.raises(AttributeError):
        tok.anything = 1
    assert not hasattr(tok, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(tok)


def test_signatures_name_the_parameters_the_methods_bind():
    """help() shows each method's signature from its docstring; every parameter named there is
    one the method binds by keyword, and the method binds no other."""
    tok = Tokenizer("cl100k_base")
    checked = 0
    for name in dir(Tokenizer):
        method = getattr(tok, name)
        if name.startswith("_") or getattr(method, "__text_signature__", None) is None:
            continue
        named = [p.name for p in inspect.signature(method).parameters.values()
                 if p.kind is not p.VAR_POSITIONAL]
        for param in [*named, "no_such_parameter"]:
            try:
                method(**{param: None})
            except TypeError as error:
                unexpected = any(words in str(error) for words in
                                 ("unexpected keyword argument", "takes no keyword arguments"))
                assert unexpected == (param not in named), (name, param, error)
            except (ValueError, KeyError, RuntimeError, OverflowError):
                pass
            checked += 1
    assert checked > 60


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_subinterpreters_have_their_own_module(config):
    import _interpreters

    interpreter = _interpreters.create(config)
    try:
        _interpreters.set___main___attrs(interpreter, {"main_type_id": id(Tokenizer)})
        failure = _interpreters.exec(
            interpreter,
            "import pelnor\n"
            "assert id(pelnor.Tokenizer) != main_type_id\n"
            "assert pelnor.get_encoding('o200k_base').encode('hello world') == [24912, 2375]\n",
        )
        assert failure is None, failure
    finally:
        _interpreters.destroy(interpreter)


@pytest.mark.parametrize(
    "name, n_vocab, eot, specials",
    [
        ("gpt2", 50257, 50256, 1),
        ("r50k_base", 50257, 50256, 1),
        ("p50k_base", 50281, 50256, 1),
        ("p50k_edit", 50284, 50256, 4),
        ("cl100k_base", 100277, 100257, 5),
        ("o200k_base", 200019, 199999, 2),
        ("o200k_harmony", 201088, 199999, 1091),
    ],
)
def test_properties(tokenizers, name, n_vocab, eot, specials):
    tok = tokenizers[name]
    assert tok.name == name
    assert tok.n_vocab == n_vocab and tok.max_token_value == n_vocab - 1
    assert tok.eot_token == eot
    assert len(tok.special_tokens()) == specials
    assert len(tok.special_tokens_set) == specials == len(dict(tok.special_tokens()))
    assert tok.memory_bytes == tok.memory_bytes > 0
    assert len(tok.token_byte_values()) <= n_vocab


def test_harmony_lists_endofprompt_twice(tokenizers):
    pairs = tokenizers["o200k_harmony"].special_tokens()
    assert [s for s, i in pairs if i == 200018] == ["<|endofprompt|>", "<|reserved_200018|>"]


def test_construction_errors(tmp_path):
    with pytest.raises(RuntimeError) as error:
        Tokenizer("CL100K_base")
    assert str(error.value) == (
        "pelnor: unknown encoding: CL100K_base "
        "(built-in: gpt2, r50k_base, p50k_base, p50k_edit, cl100k_base, o200k_base, o200k_harmony)"
    )
    with pytest.raises(RuntimeError, match="^pelnor: cannot open vocab file "):
        Tokenizer("cl100k_base", str(tmp_path))


def test_data_directory_without_special_tokens(tmp_path):
    from datafiles import DATA

    for name in ("o200k.vocab", "uniclass_o200k.bin"):
        (tmp_path / name).write_bytes((DATA / name).read_bytes())
    tok = Tokenizer("o200k_base", datadir=str(tmp_path))
    assert tok.special_tokens() == [] and tok.special_tokens_set == set()
    assert tok.n_vocab == 199998
    with pytest.raises(KeyError, match="this encoding has no <\\|endoftext\\|>"):
        tok.eot_token


BINDING_ERRORS = [
    (lambda t: t.encode(), "Tokenizer.encode() missing 1 required positional argument: 'text'"),
    (
        lambda t: t.truncate(),
        "Tokenizer.truncate() missing 2 required positional arguments: 'text' and 'max_tokens'",
    ),
    (
        lambda t: t.truncate_batch(),
        "Tokenizer.truncate_batch() missing 2 required positional arguments: 'texts' and 'max_tokens'",
    ),
    (
        lambda t: t.count("a", "b"),
        "Tokenizer.count() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda t: t.encode("a", None, None, None),
        "Tokenizer.encode() takes from 1 to 3 positional arguments but 4 were given",
    ),
    (lambda t: t.count(txt="a"), "Tokenizer.count() got an unexpected keyword argument 'txt'"),
    (
        lambda t: t.count("a", text="a"),
        "Tokenizer.count() got multiple values for argument 'text'",
    ),
    (
        lambda t: Tokenizer(),
        "Tokenizer.__new__() missing 1 required positional argument: 'encoding'",
    ),
    (
        lambda t: Tokenizer("a", "b", "c"),
        "Tokenizer.__new__() takes from 1 to 2 positional arguments but 3 were given",
    ),
    (
        lambda t: Tokenizer(encoding="cl100k_base", data="x"),
        "Tokenizer.__new__() got an unexpected keyword argument 'data'",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_messages(tokenizers, call, message):
    with pytest.raises(TypeError) as error:
        call(tokenizers["cl100k_base"])
    assert str(error.value) == message


def test_keywords_bind_like_positionals(tokenizers):
    tok = tokenizers["cl100k_base"]
    assert tok.encode(text="hi") == tok.encode("hi")
    assert tok.truncate(max_tokens=1, text="hello world") == tok.truncate("hello world", 1)
    assert Tokenizer(encoding="cl100k_base", datadir="").name == "cl100k_base"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


CONVERSION_ERRORS = [
    (lambda t: t.count(None), TypeError, "'None' is not an instance of 'str'", "text"),
    (lambda t: t.count(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "text"),
    (lambda t: t.encode_bytes("x"), TypeError, "'str' object is not an instance of 'bytes'", "data"),
    (
        lambda t: t.encode_bytes(bytearray(b"x")),
        TypeError,
        "'bytearray' object is not an instance of 'bytes'",
        "data",
    ),
    (lambda t: t.count("\ud800"), UnicodeEncodeError, None, "text"),
    (lambda t: t.truncate("x", -1), OverflowError, None, "max_tokens"),
    (lambda t: t.truncate("x", 2**64), OverflowError, None, "max_tokens"),
    (lambda t: t.truncate("x", "1"), TypeError, None, "max_tokens"),
    (
        lambda t: t.decode_single_token_bytes(2**32),
        OverflowError,
        "out of range integral type conversion attempted",
        "id",
    ),
    (lambda t: t.decode([1, -1]), OverflowError, None, "ids"),
    (lambda t: t.decode("abc"), TypeError, "Can't extract `str` to `Vec`", "ids"),
    (lambda t: t.decode({1, 2}), TypeError, "'set' object is not an instance of 'Sequence'", "ids"),
    (lambda t: t.decode_batch([[1], "x"]), TypeError, "Can't extract `str` to `Vec`", "batch"),
    (lambda t: t.encode_batch("abc"), TypeError, "Can't extract `str` to `Vec`", "texts"),
    (lambda t: t.encode_batch(["a", 1]), TypeError, "'int' object is not an instance of 'str'", "texts"),
    (
        lambda t: t.encode_batch(["a"], with_special=1),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "with_special",
    ),
    (lambda t: t.count_batch(["a"], threads=-2), OverflowError, None, "threads"),
    (lambda t: t.encode_with_offsets("a", unit="Byte"), ValueError, "unit must be 'byte' or 'char'", "unit"),
    (lambda t: t.encode_with_offsets("a", unit=None), TypeError, "'None' is not an instance of 'str'", "unit"),
    (lambda t: t.decode([1], errors=None), TypeError, "'None' is not an instance of 'str'", "errors"),
    (lambda t: Tokenizer(1), TypeError, "'int' object is not an instance of 'str'", "encoding"),
]


@pytest.mark.parametrize("call, kind, message, param", CONVERSION_ERRORS)
def test_conversion_failures_carry_a_note(tokenizers, call, kind, message, param):
    with pytest.raises(kind) as error:
        call(tokenizers["cl100k_base"])
    if message is not None:
        assert str(error.value) == message
    assert error.value.__notes__ == [f"while processing '{param}'"]


def test_piece_and_policy_errors_carry_no_note(tokenizers):
    tok = tokenizers["cl100k_base"]
    for call, kind in [
        (lambda: tok.encode_single_token(3), TypeError),
        (lambda: tok.encode("x", allowed_special="ALL"), ValueError),
        (lambda: tok.encode("x", disallowed_special=3), TypeError),
        (lambda: tok.encode("x", allowed_special=[1]), TypeError),
    ]:
        with pytest.raises(kind) as error:
            call()
        assert not hasattr(error.value, "__notes__")


def test_accepted_argument_forms(tokenizers):
    tok = tokenizers["cl100k_base"]
    assert tok.truncate("hello world", Index(1)) == ("hello", 2)
    assert tok.truncate("hello world", True) == ("hello", 2)

    class Lying(list):
        def __len__(self):
            return 2**62

    assert tok.decode(Lying([15339])) == "hello"
    assert tok.count_batch(("a", "b")) == [1, 1]


def test_numpy_arrays_and_scalars_are_accepted(tokenizers):
    numpy = needs("numpy")
    tok = tokenizers["cl100k_base"]
    assert tok.decode(numpy.array([15339, 1917], dtype=numpy.uint32)) == "hello world"
    assert tok.decode((15339, numpy.int64(1917))) == "hello world"
    assert tok.count_batch(["a b"], threads=numpy.uint8(2), with_special=numpy.bool_(True)) == [2]


def test_many_threads_construct_and_encode():
    errors = []

    def work(i):
        try:
            name = pelnor.BUILTIN_ENCODINGS[i % len(pelnor.BUILTIN_ENCODINGS)]
            tok = Tokenizer(name)
            text = f"thread {i} says hello, world! " * 20
            assert tok.decode(tok.encode(text)) == text
            assert pelnor.get_encoding(name) is pelnor.get_encoding(name)
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="the interpreter is not the free-threaded build")
def test_the_free_threaded_interpreter_keeps_its_gil_disabled():
    # A module that does not declare itself free-threaded turns the GIL on when imported, with
    # a RuntimeWarning; the check runs in a fresh interpreter, whose first import this is.
    script = """
import sys, warnings
warnings.simplefilter("error")
import pelnor, pelnor.hf
for name in pelnor.list_encoding_names():
    pelnor.get_encoding(name).encode("GIL check <|endoftext|>", allowed_special="all")
print(sys._is_gil_enabled())
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "False\n", "")
