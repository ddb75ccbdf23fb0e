#!/usr/bin/env python3
"""pelnor's calls on the interpreter it runs under, for comparing the regular build of CPython
with the free-threaded one (python3.14t) on the same real text, against tiktoken.

    tools/devroot run python3 bench/bench_threads.py [--threads N] [--compare PYTHON...]

One thread: `encode_ordinary` (a list of ints), `count`, `encode_to_buffer` (one buffer),
`decode`, `encode_batch_lists` and `count_batch` on all processors, each the best of several
runs of the CPU time of the calling thread (batches: wall time), on 2 MB of English of the bench
corpus with o200k_base, warm. Then Python threads sharing one tokenizer, each on a distinct text
of its own and warm on it, the threads started together: the bytes encoded per second of wall
time with 1 to N threads, and the gain over one. The main thread never encodes, so that the
threads' piece caches share the budget among themselves alone.

--compare runs this under each interpreter named (each sees the package its own build
directory holds, through PELNOR_PACKAGE_DIRS="python=dir ...") and prints them side by side,
with tiktoken's speed (under the first interpreter that has it) on the same text.
"""

import argparse
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "bench"))
sys.path.insert(0, str(REPO / "tools"))

import corpus  # noqa: E402

ENCODING = "o200k_base"
ROWS = ("encode_ordinary list", "count", "encode_to_buffer", "decode", "encode_batch_lists",
        "count_batch")


def best(fn, repeat, clock):
    fastest = float("inf")
    for _ in range(repeat):
        start = clock()
        result = fn()
        fastest = min(fastest, clock() - start)
        del result
    return fastest


def one_thread(tok, text, repeat):
    ids = tok.encode_ordinary(text)
    lines = text.splitlines(keepends=True)
    chunks = ["".join(lines[i : i + 40]) for i in range(0, len(lines), 40)]
    calls = {
        "encode_ordinary list": (lambda: tok.encode_ordinary(text), time.thread_time),
        "count": (lambda: tok.count(text), time.thread_time),
        "encode_to_buffer": (lambda: tok.encode_to_buffer(text), time.thread_time),
        "decode": (lambda: tok.decode(ids), time.thread_time),
        "encode_batch_lists": (lambda: tok.encode_batch_lists(chunks, 0), time.perf_counter),
        "count_batch": (lambda: tok.count_batch(chunks, 0), time.perf_counter),
    }
    nbytes = len(text.encode())
    return {label: nbytes / best(fn, repeat, clock) / 1e6 for label, (fn, clock) in calls.items()}


def threads_scaling(name, texts, counts, rounds):
    """MB/s of wall time with each thread count, each thread on its own text."""
    import pelnor

    results = {}
    for count in counts:
        tok = pelnor.Tokenizer(name)  # fresh tables: the previous threads' caches are parked
        start_line = threading.Barrier(count)
        mine = texts[:count]
        # Each round's span, from the first thread's start to the last one's end, as the threads
        # clock it: a thread that only waits may be scheduled long after the others began.
        spans = [[] for _ in mine]

        def work(text, span):
            tok.encode_ordinary(text)  # warm on its own text
            for _ in range(rounds):
                start_line.wait()
                start = time.perf_counter()
                tok.encode_ordinary(text)
                span.append((start, time.perf_counter()))

        workers = [threading.Thread(target=work, args=(t, span)) for t, span in zip(mine, spans)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        fastest = min(max(end for _, end in ends) - min(start for start, _ in ends)
                      for ends in zip(*spans))
        results[count] = sum(len(t.encode()) for t in mine) / fastest / 1e6
    return results


def tiktoken_speeds(text):
    try:
        import tiktoken_offline
    except ImportError:
        return None
    try:
        reference = tiktoken_offline.encoding(ENCODING)
    except ImportError:
        return None
    nbytes = len(text.encode())
    reference.encode_ordinary(text)
    return {"encode_ordinary list": nbytes / best(lambda: reference.encode_ordinary(text), 3,
                                                   time.thread_time) / 1e6}


def measure(max_threads, repeat):
    import pelnor

    corpus.build()
    kinds = [k for k in corpus.KINDS]
    texts = [(corpus.DEFAULT_OUT / f"{kind}.txt").read_text(encoding="utf-8") for kind in kinds]
    english = texts[0]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    version = f"{sys.version_info.major}.{sys.version_info.minor}{'' if gil else 't'}"
    holder = {}

    # Everything runs on other threads: the main thread's cache tables would hold budget.
    def run():
        tok = pelnor.Tokenizer(ENCODING)
        tok.encode_ordinary(english)
        holder["one"] = one_thread(tok, english, repeat)
        holder["threads"] = threads_scaling(ENCODING, texts, range(1, max_threads + 1), repeat)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return {"python": version, "gil": gil, "one": holder["one"],
            "threads": holder["threads"], "tiktoken": tiktoken_speeds(english)}


def compare(interpreters, max_threads, repeat):
    dirs = dict(item.split("=", 1) for item in os.environ.get("PELNOR_PACKAGE_DIRS", "").split())
    results = []
    for python in interpreters:
        env = dict(os.environ)
        if python in dirs:
            env["PYTHONPATH"] = dirs[python]
        out = subprocess.run([python, __file__, "--json", "--threads", str(max_threads),
                              "--repeat", str(repeat)], env=env, capture_output=True, text=True,
                             check=True)
        results.append(json.loads(out.stdout.splitlines()[-1]))
    tiktoken = next((r["tiktoken"] for r in results if r["tiktoken"]), None)
    print(f"{ENCODING}, 2 MB of English (MB/s; x = against the regular build's figure; "
          f"{os.cpu_count()} logical processors)")
    print(f"{'call':>24}" + "".join(f"{r['python']:>16}" for r in results))
    base = results[0]
    for row in ROWS:
        cells = [f"{r['one'][row]:9.1f}" + (f" {r['one'][row] / base['one'][row]:4.2f}x"
                                             if r is not base else "      ") for r in results]
        print(f"{row:>24}" + "".join(f"{c:>16}" for c in cells))
    for r in results:
        one = r["one"]
        versus = (f"; {one['encode_ordinary list'] / tiktoken['encode_ordinary list']:.1f}x "
                  "tiktoken's speed" if tiktoken else "")
        print(f"{r['python']}: the list takes {one['count'] / one['encode_ordinary list']:.2f}x "
              f"the count's time{versus}")
    print(f"{'Python threads':>24}" + "".join(f"{r['python']:>16}" for r in results))
    for count in range(1, max_threads + 1):
        cells = [f"{r['threads'][str(count)]:9.1f} "
                 f"{r['threads'][str(count)] / r['threads']['1']:4.2f}x" for r in results]
        print(f"{count:>22} T" + "".join(f"{c:>16}" for c in cells))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2, help="the most Python threads timed")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--compare", nargs="+", metavar="PYTHON")
    parser.add_argument("--json", action="store_true", help="this interpreter's figures as JSON")
    args = parser.parse_args()
    if args.compare:
        compare(args.compare, args.threads, args.repeat)
    else:
        result = measure(args.threads, args.repeat)
        print(json.dumps(result) if args.json else json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
