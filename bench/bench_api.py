#!/usr/bin/env python3
"""pelnor against tiktoken through the Python API, on the same inputs in the same run.

    tools/devroot run python3 bench/bench_api.py [--quick] [--encoding NAME]

Prints one table per encoding: MB/s of pelnor's encode_to_numpy, encode, count and encode_batch
(all threads) and of tiktoken's encode_ordinary and encode_ordinary_batch, with the ratio of
pelnor's best single-thread and batch figures to tiktoken's. Then per-call times, the batch
runner's gain over one thread (interleaved pairs: best times and min/median/max of the pairs),
construction times and peak RSS. The previous run's figures are kept in bench/.last-run.json and
shown beside.
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))

import tiktoken_offline  # noqa: E402

import pelnor  # noqa: E402

LAST_RUN = REPO / "bench" / ".last-run.json"
CORPUS = REPO / "tests" / "corpus"
CORPORA = {
    "english": "english.txt",
    "code": "code.txt",
    "german": "german.txt",
    "russian": "russian.txt",
    "japanese": "japanese.txt",
    "chinese": "chinese.txt",
    "emoji": "emoji.txt",
}


def corpus_text(name, size):
    """A corpus file repeated to about `size` bytes."""
    if name == "long-runs":
        # Long single pieces, where byte-pair merging is quadratic in tiktoken.
        unit = "a" * 4000 + " " + "7" * 4000 + " " + "\n" * 2000 + "x" * 4000 + " "
    else:
        unit = (CORPUS / CORPORA[name]).read_text(encoding="utf-8")
    return unit * max(1, size // len(unit.encode()))


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def throughput(fn, nbytes, repeat):
    fn()  # warm: caches, imports
    return nbytes / best_time(fn, repeat) / 1e6


def table_for(name, size, repeat, batch_threads):
    tok = pelnor.Tokenizer(name)
    ref = tiktoken_offline.encoding(name)
    rows = {}
    for corpus in [*CORPORA, "long-runs"]:
        text = corpus_text(corpus, size if corpus != "long-runs" else size // 16)
        nbytes = len(text.encode())
        lines = text.splitlines(keepends=True)
        assert tok.encode_ordinary(text) == ref.encode_ordinary(text), (name, corpus)
        rows[corpus] = {
            "encode_to_numpy": throughput(lambda: tok.encode_to_numpy(text), nbytes, repeat),
            "encode": throughput(lambda: tok.encode(text), nbytes, repeat),
            "count": throughput(lambda: tok.count(text), nbytes, repeat),
            "encode_batch": throughput(lambda: tok.encode_batch(lines, batch_threads), nbytes, repeat),
            "tiktoken": throughput(lambda: ref.encode_ordinary(text), nbytes, repeat),
            "tiktoken_batch": throughput(
                lambda: ref.encode_ordinary_batch(lines, num_threads=batch_threads), nbytes, repeat
            ),
        }
    return rows


def per_call_times(name, repeat):
    tok = pelnor.Tokenizer(name)
    ref = tiktoken_offline.encoding(name)
    calls = 20000

    def many(fn):
        return lambda: [fn("hello world") for _ in range(calls)]

    return {
        "pelnor encode('hello world') us": best_time(many(tok.encode), repeat) / calls * 1e6,
        "tiktoken encode('hello world') us": best_time(many(ref.encode), repeat) / calls * 1e6,
    }


MEMORY_SCRIPT = """
import sys, time
sys.path.insert(0, {tools!r})
start = time.perf_counter()
if {use_tiktoken}:
    import tiktoken_offline
    tok = tiktoken_offline.encoding({name!r})
    tok.encode_ordinary("warm")
    encode = tok.encode_ordinary
else:
    import pelnor
    tok = pelnor.Tokenizer({name!r})
    encode = tok.encode_to_numpy
built = time.perf_counter() - start
def peak_rss_kib():
    # VmHWM, not ru_maxrss: the latter keeps the forking parent's size across exec.
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])

after_build = peak_rss_kib()
text = open({english!r}, encoding="utf-8").read()
text = text * (10_000_000 // len(text.encode()))
encode(text)
after_encode = peak_rss_kib()
print(built, after_build, after_encode)
"""


def construction_and_memory(name, use_tiktoken):
    """Construction time (s) and peak RSS (MiB) after it and after a 10 MB encode, measured in
    a fresh process."""
    script = MEMORY_SCRIPT.format(
        tools=str(REPO / "tools"), name=name, english=str(CORPUS / "english.txt"),
        use_tiktoken=use_tiktoken,
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    built, after_build, after_encode = map(float, out.stdout.split())
    return built, after_build / 1024, after_encode / 1024


def memory_and_construction(name):
    ours = min(construction_and_memory(name, False) for _ in range(3))
    theirs = min(construction_and_memory(name, True) for _ in range(3))
    return {
        "construction ms": ours[0] * 1e3,
        "tiktoken construction ms": theirs[0] * 1e3,
        "peak RSS after construction MiB": ours[1],
        "tiktoken peak RSS after construction MiB": theirs[1],
        "peak RSS after 10 MB encode MiB": ours[2],
        "tiktoken peak RSS after 10 MB encode MiB": theirs[2],
    }


def policy_and_batch_figures(name, size, repeat, threads):
    """encode's default special-token check against encode_ordinary, and encode_batch against a
    loop of single calls, on English prose."""
    tok = pelnor.Tokenizer(name)
    text = corpus_text("english", size)
    paragraphs = [p + "\n\n" for p in text.split("\n\n")]
    nbytes = len(text.encode())
    tok.encode_to_numpy(text, disallowed_special=())  # warm
    ordinary = best_time(lambda: tok.encode_to_numpy(text, disallowed_special=()), repeat)
    checked = best_time(lambda: tok.encode_to_numpy(text), repeat)
    singles = best_time(lambda: [tok.encode_ordinary(p) for p in paragraphs], repeat)
    batch = best_time(lambda: tok.encode_batch(paragraphs, threads), repeat)
    return {
        "encode (default policy) / encode_ordinary time": checked / ordinary,
        "loop of single calls MB/s": nbytes / singles / 1e6,
        "encode_batch MB/s": nbytes / batch / 1e6,
        "encode_batch speed-up over the loop": singles / batch,
    }


def batch_scaling(name, size, threads, pairs=15):
    """encode_batch on all threads against threads=1, on English lines and paragraphs. The two
    calls of a pair run back to back so that both meet the same machine state: on a shared host
    that state changes from one moment to the next."""
    tok = pelnor.Tokenizer(name)
    text = corpus_text("english", size)
    shapes = {
        "lines": text.splitlines(keepends=True),
        "paragraphs": [p + "\n\n" for p in text.split("\n\n")],
    }
    figures = {}
    for shape, texts in shapes.items():
        tok.encode_batch(texts, threads)  # warm: every thread's table
        singles, batches = [], []
        for _ in range(pairs):
            singles.append(best_time(lambda: tok.encode_batch(texts, 1), 1))
            batches.append(best_time(lambda: tok.encode_batch(texts, threads), 1))
        ratios = sorted(one / many for one, many in zip(singles, batches))
        prefix = f"encode_batch {threads} threads / 1 thread ({shape})"
        figures[f"{prefix}, best times"] = min(singles) / min(batches)
        figures[f"{prefix}, pairs min"] = ratios[0]
        figures[f"{prefix}, pairs median"] = statistics.median(ratios)
        figures[f"{prefix}, pairs max"] = ratios[-1]
    return figures


def show(name, rows, extras, previous):
    old = previous.get(name, {})
    print(f"\n== {name} (MB/s; ratio = pelnor / tiktoken, same input, same run)")
    header = ["corpus", "to_numpy", "encode", "count", "batch", "tiktoken", "tk_batch", "x single", "x batch"]
    print("".join(f"{h:>11}" for h in header))
    for corpus, r in rows.items():
        single = max(r["encode_to_numpy"], r["count"]) / r["tiktoken"]
        batch = r["encode_batch"] / r["tiktoken_batch"]
        values = [r[k] for k in ("encode_to_numpy", "encode", "count", "encode_batch", "tiktoken", "tiktoken_batch")]
        line = f"{corpus:>11}" + "".join(f"{v:>11.1f}" for v in values) + f"{single:>10.1f}x{batch:>10.1f}x"
        before = old.get("rows", {}).get(corpus)
        if before:
            line += f"   (last run: to_numpy {before['encode_to_numpy']:.1f})"
        print(line)
    for key, value in extras.items():
        before = old.get("extras", {}).get(key)
        suffix = f"   (last run: {before:.2f})" if before is not None else ""
        print(f"  {key}: {value:.2f}{suffix}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="256 KB per corpus, one repeat")
    parser.add_argument("--encoding", action="append", choices=pelnor.BUILTIN_ENCODINGS)
    args = parser.parse_args()
    size, repeat = (256_000, 1) if args.quick else (1_000_000, 3)
    threads = os.cpu_count() or 1
    print(f"pelnor {pelnor.__version__}; {threads} logical processors; {size // 1000} KB per corpus")
    previous = json.loads(LAST_RUN.read_text()) if LAST_RUN.exists() else {}
    results = {}
    for name in args.encoding or pelnor.BUILTIN_ENCODINGS:
        rows = table_for(name, size, repeat, threads)
        extras = {
            **per_call_times(name, repeat),
            **policy_and_batch_figures(name, size, repeat, threads),
            **batch_scaling(name, size, threads),
            **memory_and_construction(name),
        }
        show(name, rows, extras, previous)
        results[name] = {"rows": rows, "extras": extras}
    LAST_RUN.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
