"""Hostile arguments: each gives its specified exception and the interpreter carries on."""

import os
import struct

import pytest


class Raises:
    def __index__(self):
        raise ZeroDivisionError("index")

    def __iter__(self):
        raise ZeroDivisionError("iter")

    def __len__(self):
        raise ZeroDivisionError("len")

    def __getitem__(self, i):
        raise ZeroDivisionError("getitem")


class LengthRaises(list):
    """A list whose __len__ fails for another reason than having none."""

    def __len__(self):
        raise ZeroDivisionError("len")


class Mutating(list):
    """A list that empties itself while it is being read."""

    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if i == 1:
                self.clear()
            yield item


@pytest.mark.parametrize(
    "call, kind",
    [
        (lambda t: t.truncate("x", Raises()), ZeroDivisionError),
        (lambda t: t.decode_single_token_bytes(Raises()), ZeroDivisionError),
        (lambda t: t.decode(Raises()), ZeroDivisionError),
        (lambda t: t.encode_batch(Raises()), ZeroDivisionError),
        (lambda t: t.count_batch(LengthRaises(["a"])), ZeroDivisionError),
        (lambda t: t.encode("x", allowed_special=Raises()), ZeroDivisionError),
        (lambda t: t.count_batch(["a"], threads=10**30), OverflowError),
        (lambda t: t.decode([10**30]), OverflowError),
        (lambda t: t.decode([-(10**30)]), OverflowError),
        (lambda t: t.encode_batch(["a", "\udcff"]), UnicodeEncodeError),
        (lambda t: t.encode("\ud800x", allowed_special="all"), UnicodeEncodeError),
        (lambda t: t.encode_single_token("\udc80"), UnicodeEncodeError),
        (lambda t: t.decode([1.5]), TypeError),
        (lambda t: t.encode_batch([b"bytes"]), TypeError),
        (lambda t: t.decode_batch([[1], [None]]), TypeError),
    ],
)
def test_hostile_arguments_raise_and_later_calls_work(tokenizers, call, kind):
    tok = tokenizers["o200k_base"]
    with pytest.raises(kind):
        call(tok)
    assert tok.encode("still fine") == tok.encode_ordinary("still fine")


def test_mutating_sequences_are_read_safely(tokenizers):
    tok = tokenizers["cl100k_base"]
    texts = Mutating(["a", "b", "c", "d"])
    assert len(tok.count_batch(texts)) <= 4
    ids = Mutating([15339, 1917, 15339])
    assert tok.decode(ids) in ("hello", "hello world", "hello worldhello")


def test_threads_far_beyond_the_texts_and_unknown_ids(tokenizers):
    tok = tokenizers["cl100k_base"]
    assert tok.count_batch(["a b", "c"], threads=100000) == [2, 1]
    assert tok.decode([2**32 - 1, 100256, 15339]) == "hello"
    with pytest.raises(KeyError):
        tok.decode_single_token_bytes(2**32 - 1)


def test_a_text_of_hundreds_of_megabytes(tokenizers):
    tok = tokenizers["cl100k_base"]
    unit = "All work and no play makes a dull tokenizer.\n"
    text = unit * (200_000_000 // len(unit))
    assert tok.count(text) == tok.count(unit) * (
        200_000_000 // len(unit)
    )


@pytest.mark.parametrize("cut", [0, 3, 4, 100, 1000])
def test_truncated_or_lying_data_files(tokenizers, tmp_path, cut):
    from datafiles import DATA
    from pelnor import Tokenizer

    for name in ("cl100k.vocab", "uniclass.bin", "cl100k.special"):
        (tmp_path / name).write_bytes((DATA / name).read_bytes())
    vocab = (DATA / "cl100k.vocab").read_bytes()
    (tmp_path / "cl100k.vocab").write_bytes(vocab[:cut])
    with pytest.raises(RuntimeError, match="^pelnor: bad vocab file") as from_file:
        Tokenizer("cl100k_base", str(tmp_path))
    # The same data given in memory fails the same way, named by its label.
    with pytest.raises(RuntimeError) as from_memory:
        Tokenizer.from_data(str(tmp_path / "cl100k.vocab"), "cl100k", vocab[:cut], bytes(4))
    assert str(from_memory.value) == str(from_file.value)
    (tmp_path / "cl100k.vocab").write_bytes(struct.pack("<I", 262144) + vocab[4:])
    with pytest.raises(RuntimeError, match="truncated"):
        Tokenizer("cl100k_base", str(tmp_path))
    (tmp_path / "cl100k.vocab").write_bytes(vocab)
    classes = (DATA / "uniclass.bin").read_bytes()
    (tmp_path / "uniclass.bin").write_bytes(struct.pack("<I", 99999) + classes[4:])
    with pytest.raises(RuntimeError, match="^pelnor: bad uniclass file"):
        Tokenizer("cl100k_base", str(tmp_path))
    (tmp_path / "uniclass.bin").write_bytes(classes + b"\0" * cut)  # trailing bytes are ignored
    (tmp_path / "cl100k.special").write_bytes(struct.pack("<I", 4096) + b"\0" * cut)
    with pytest.raises(RuntimeError, match="^pelnor: bad special-tokens file"):
        Tokenizer("cl100k_base", str(tmp_path))


GC_WALKER = """
import gc, sys, threading
sys.path.insert(0, {tests!r})
import pelnor
tok = pelnor.Tokenizer("cl100k_base")
batch = [tok.encode_ordinary("decoded while another thread walks every object " * 20)] * 2000
stop = False

def walk():
    while not stop:
        for obj in gc.get_objects():
            if type(obj) is list:
                for item in obj:  # a list with empty slots would crash here
                    pass

walker = threading.Thread(target=walk)
walker.start()
for _ in range(30):
    tok.decode_batch(batch)
stop = True
walker.join()
print("ok")
"""


def test_decode_batch_shows_no_half_built_list_to_other_threads():
    import subprocess
    import sys

    from datafiles import REPO

    script = GC_WALKER.format(tests=str(REPO / "tests" / "python"))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and result.stdout.split() == ["ok"], result.stderr[-2000:]


def test_encode_batch_checks_exactly_the_texts_it_encodes():
    # The argument conversion after the check runs the caller's code, which swaps in a special
    # string: what is encoded must be what was checked.
    import pelnor

    enc = pelnor.get_encoding("cl100k_base")
    texts = ["harmless"]

    class Swapping:
        def __le__(self, other):  # compared with 0, as tiktoken's thread pool does
            return False

        def __int__(self):
            texts[0] = "<|endoftext|>"
            return 1

    assert enc.encode_batch(texts, num_threads=Swapping()) == [enc.encode("harmless")]


def test_special_ids_far_above_the_vocabulary_cost_no_memory():
    import pelnor

    base = pelnor.get_encoding("cl100k_base")
    for big in (2**27, 2**32 - 1):
        enc = pelnor.Encoding(
            "far", pat_str=base._pat_str, mergeable_ranks=base._mergeable_ranks,
            special_tokens={"<|far|>": big},
        )
        before = _resident_bytes()
        assert enc.encode("a<|far|>", allowed_special="all") == [64, big]
        assert _resident_bytes() - before < 64 << 20


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_data_files_are_read_within_their_format_and_detached(tmp_path):
    import subprocess
    import sys

    from datafiles import DATA, REPO
    from pelnor import Tokenizer

    for name in ("uniclass.bin", "cl100k.special"):
        (tmp_path / name).write_bytes((DATA / name).read_bytes())
    (tmp_path / "cl100k.vocab").symlink_to("/dev/zero")
    with pytest.raises(RuntimeError, match="^pelnor: cannot read .*cl100k.vocab: File too large$"):
        Tokenizer("cl100k_base", str(tmp_path))
    # A vocab file that is a pipe, fed by another Python thread: construction must let it run.
    (tmp_path / "cl100k.vocab").unlink()
    script = FIFO_FEEDER.format(tests=str(REPO / "tests" / "python"), directory=str(tmp_path))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout.strip() == "[15339, 1917]", result.stderr[-2000:]


FIFO_FEEDER = """
import os, signal, sys, threading
sys.path.insert(0, {tests!r})
from datafiles import DATA
import pelnor
signal.alarm(60)  # a construction that holds the interpreter never finishes
vocab = os.path.join({directory!r}, "cl100k.vocab")
os.mkfifo(vocab)

def feed():
    with open(vocab, "wb") as pipe:
        pipe.write((DATA / "cl100k.vocab").read_bytes())

threading.Thread(target=feed).start()
print(pelnor.Tokenizer("cl100k_base", {directory!r}).encode_ordinary("hello world"))
"""


SCARCE_ADDRESS_SPACE = """
import resource, sys
sys.path.insert(0, {tests!r})
import pelnor
first, second = pelnor.Tokenizer("cl100k_base"), pelnor.Tokenizer("o200k_base")
third = pelnor.Tokenizer("o200k_base")  # no cache table yet
texts = ["scarce address space, " * 50 + str(i) for i in range(64)]
expected = first.count_batch(texts, threads=1)
expected_second = second.encode_ordinary(texts[0] + "!")
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
# Room for small allocations, none for a cache table or a thread's stack.
resource.setrlimit(resource.RLIMIT_AS, (mapped + (6 << 20), resource.RLIM_INFINITY))
ok = first.count_batch(texts, threads=2) == expected
ok = ok and third.encode_ordinary(texts[0] + "!") == expected_second
print(ok)
"""


@pytest.mark.skipif(bool(os.environ.get("PELNOR_SANITIZED")),
                    reason="the sanitizers reserve address space of their own")
def test_without_address_space_for_threads_or_cache_tables_calls_still_succeed():
    import subprocess
    import sys

    from datafiles import REPO

    script = SCARCE_ADDRESS_SPACE.format(tests=str(REPO / "tests" / "python"))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout.split() == ["True"], result.stderr[-2000:]
