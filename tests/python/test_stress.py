"""32 Python threads hammering all three encodings with every method at once.

The workload runs in a fresh interpreter, so that the memory it measures is its own and not what
earlier tests left in the allocator.
"""

import contextlib
import json
import os
import random
import subprocess
import sys
import threading
import time
from pathlib import Path

import pelnor
from datafiles import REPO

SECONDS = float(os.environ.get("PELNOR_STRESS_SECONDS", "30"))
THREADS = 32
ROUNDS = 4


def numpy_installed():
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def stress():
    tokenizers = {name: pelnor.Tokenizer(name) for name in pelnor.BUILTIN_ENCODINGS}
    corpus = [p.read_text(encoding="utf-8") for p in sorted((REPO / "tests" / "corpus").glob("*.txt"))]
    texts = corpus + ["", "<|endoftext|> x <|endofprompt|>", "ʬʬ 😀", "a" * 3000]
    baseline = {}
    for name, tok in tokenizers.items():
        baseline[name] = {
            "ordinary": [tok.encode_ordinary(t) for t in texts],
            "special": [tok.encode_with_special(t) for t in texts],
            "truncated": [tok.truncate(t, 7) for t in texts],
        }
    calls = [0] * THREADS
    failures = []
    # The last call, encode_to_numpy, only where numpy is installed.
    kinds = 8 if numpy_installed() else 7

    def worker(index):
        rng = random.Random(index)
        try:
            while time.monotonic() < deadline:
                name = rng.choice(list(tokenizers))
                tok, want = tokenizers[name], baseline[name]
                i = rng.randrange(len(texts))
                text = texts[i]
                match rng.randrange(kinds):
                    case 0:
                        assert tok.encode_ordinary(text) == want["ordinary"][i]
                    case 1:
                        assert tok.encode(text, allowed_special="all") == want["special"][i]
                    case 2:
                        assert tok.count(text) == len(want["ordinary"][i])
                    case 3:
                        assert tok.decode(want["ordinary"][i]) == text
                    case 4:
                        assert tok.truncate(text, 7) == want["truncated"][i]
                    case 5:
                        picks = rng.sample(range(len(texts)), 4)
                        got = tok.count_batch([texts[j] for j in picks], threads=rng.choice([0, 1, 2, 9]))
                        assert got == [len(want["ordinary"][j]) for j in picks]
                    case 6:
                        picks = rng.sample(range(len(texts)), 3)
                        got = tok.truncate_batch([texts[j] for j in picks], 7, threads=rng.choice([0, 3]))
                        assert got == [want["truncated"][j] for j in picks]
                    case 7:
                        ids = tok.encode_to_numpy(text, disallowed_special=())
                        assert ids.tolist() == want["ordinary"][i]
                calls[index] += 1
        except Exception as error:  # noqa: BLE001
            failures.append(repr(error))

    # Rounds on fresh sets of threads: the first warms the piece caches and the allocators'
    # per-thread pages, which the free-threaded build's allocator keeps after a thread ends and
    # hands on unevenly; what accumulates grows in every round after it.
    resident = []
    for _ in range(ROUNDS):
        resident.append(resident_bytes())
        deadline = time.monotonic() + SECONDS / ROUNDS
        workers = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    return {"calls": sum(calls), "failures": failures, "resident": resident + [resident_bytes()]}


def test_many_threads_every_method():
    here = Path(__file__).resolve().parent
    out = subprocess.run(
        [sys.executable, "-c", f"import sys, json; sys.path.insert(0, {str(here)!r}); "
         "import test_stress; print(json.dumps(test_stress.stress()))"],
        capture_output=True, text=True, check=True,
    )
    result = json.loads(out.stdout.splitlines()[-1])
    resident = result["resident"]
    print(f"\nstress: {result['calls']} calls in {SECONDS:.0f} s on {THREADS} threads, "
          f"{len(result['failures'])} mismatches, resident memory by round (MiB): "
          f"{' -> '.join(str(r >> 20) for r in resident)}")
    assert result["failures"] == []
    assert result["calls"] > THREADS
    # Warm, the piece caches hold at most their 32 MiB budget, which new threads take anew as
    # the old ones' go; nothing else may accumulate, so some round after the first grows less
    # than that. Under AddressSanitizer freed memory sits in quarantine, so the bound means
    # nothing there.
    if not os.environ.get("PELNOR_SANITIZED"):
        growth = [after - before for before, after in zip(resident[1:], resident[2:])]
        assert min(growth) < 32 << 20, growth


def mutating_stress():
    """Threads calling every method on shared tokenizers, while others mutate the very list,
    set and dict objects they pass: every result must be one that a single thread computes from
    some state the argument was in."""
    tok = pelnor.Tokenizer("o200k_base")
    face = pelnor.get_encoding("cl100k_base")
    eot, prompt = "<|endoftext|>", "<|endofprompt|>"
    a_text, b_text = "Plain text, one. " * 40, f"{eot} and more {prompt} text " * 30
    texts = [a_text, b_text] * 4  # each slot holds one of the two, as the mutators swap them
    ids = tok.encode_ordinary(a_text)
    shared = {"texts": list(texts), "allowed": {eot}, "keys": {eot: 1}, "ids": list(ids)}
    expect = {
        "ordinary": {a_text: ids, b_text: tok.encode_ordinary(b_text)},
        "special": {a_text: ids, b_text: tok.encode_with_special(b_text)},
        "allowed": [tok.encode(b_text, allowed_special=allowed, disallowed_special=())
                    for allowed in ({eot}, {eot, prompt})],
        "face_allowed": [face.encode(b_text, allowed_special=allowed, disallowed_special=())
                         for allowed in ({eot}, {eot, prompt})],
        "decoded": [tok.decode_bytes(ids), tok.decode_bytes(ids[::-1])],
        "count": {a_text: len(ids), b_text: len(tok.encode_ordinary(b_text))},
    }
    deadline = time.monotonic() + SECONDS / 2
    failures, calls = [], [0] * THREADS

    def mutate(rng):
        slot = rng.randrange(len(texts))
        shared["texts"][slot] = a_text if shared["texts"][slot] is b_text else b_text
        (shared["allowed"].add if rng.random() < 0.5 else shared["allowed"].discard)(prompt)
        if rng.random() < 0.5:
            shared["keys"][prompt] = 1
        else:
            shared["keys"].pop(prompt, None)
        shared["ids"].reverse()

    def one_of(got, choices, what):
        if got not in choices:
            failures.append(what)

    def call(rng):
        match rng.randrange(9):
            case 0:
                for got in tok.encode_batch_lists(shared["texts"], rng.choice([0, 2])):
                    one_of(got, expect["ordinary"].values(), "encode_batch_lists")
            case 1:
                for got in tok.count_batch(shared["texts"], 0):
                    one_of(got, expect["count"].values(), "count_batch")
            case 2:
                for got in tok.encode_batch_lists(shared["texts"], 2, True):
                    one_of(got, expect["special"].values(), "encode_batch_lists with specials")
            case 3:
                # A set or dict whose size changes while it is read may say so.
                with contextlib.suppress(RuntimeError):
                    got = tok.encode(b_text, allowed_special=shared["allowed"],
                                     disallowed_special=())
                    one_of(got, expect["allowed"], "encode with a set mutated")
            case 4:
                with contextlib.suppress(RuntimeError):
                    got = tok.encode(b_text, allowed_special=shared["keys"], disallowed_special=())
                    one_of(got, expect["allowed"], "encode with a dict mutated")
            case 5:
                one_of(tok.decode_bytes(shared["ids"]), expect["decoded"], "decode_bytes")
            case 6:
                with contextlib.suppress(RuntimeError):
                    got = face.encode(b_text, allowed_special=shared["allowed"],
                                      disallowed_special=())
                    one_of(got, expect["face_allowed"], "face encode")
            case 7:
                for got in face.encode_ordinary_batch(shared["texts"], num_threads=2):
                    one_of(got, [face.encode_ordinary(a_text), face.encode_ordinary(b_text)],
                           "face batch")
            case 8:
                stream, text = tok.stream(), rng.choice([a_text, b_text])
                got = [*array_of(stream.feed(text[:100])), *array_of(stream.feed(text[100:])),
                       *array_of(stream.finish())]
                one_of(got, [expect["ordinary"][text]], "stream")

    def worker(index):
        rng = random.Random(index)
        try:
            while time.monotonic() < deadline:
                mutate(rng) if index % 4 == 0 else call(rng)
                calls[index] += 1
        except Exception as error:  # noqa: BLE001
            failures.append(repr(error))

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return {"calls": sum(calls), "failures": failures[:20]}


def array_of(buffer):
    import array

    ids = array.array("I")
    ids.frombytes(buffer)
    return ids


def test_arguments_mutated_by_other_threads_give_results_of_some_state():
    result = mutating_stress()
    assert result["failures"] == [] and result["calls"] > THREADS


FORK_CHILD = """
import os, signal, sys, threading
sys.path.insert(0, {tests!r})
import pelnor
signal.alarm(60)  # a child that deadlocks fails the test instead of hanging it
tok = pelnor.Tokenizer("o200k_base")
text = "fork while others encode and batch, " * 50
expected = tok.encode_ordinary(text)
stop = False

def busy():
    while not stop:
        tok.encode_batch([text] * 8, threads=2)
        tok.encode_ordinary(text + " busy")

threads = [threading.Thread(target=busy) for _ in range(3)]
for t in threads:
    t.start()
failures = 0
for _ in range(25):
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)
        ok = tok.encode_ordinary(text) == expected
        ok = ok and tok.count_batch([text] * 4, threads=2) == [len(expected)] * 4
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    failures += not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0)
stop = True
for t in threads:
    t.join()
print(failures)
"""


def test_fork_while_other_threads_encode_and_batch():
    # Run apart: forking a process with threads is what is under test, not pytest's own threads.
    script = FORK_CHILD.format(tests=str(REPO / "tests" / "python"))
    result = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", script],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"]
