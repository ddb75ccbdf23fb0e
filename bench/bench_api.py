#!/usr/bin/env python3
"""pelnor against tiktoken through the Python API, on the same real text in the same run.

    tools/devroot run python3 bench/bench_api.py [--quick] [--rows-only] [--encoding NAME]...

The texts are megabytes of real, distinct text per kind (bench/corpus.py assembles them from the
dev root's packages), never a short text repeated. Per encoding and kind, three figures of
`encode_ordinary`, each against tiktoken's `encode_ordinary` on the same text:
  cold  a fresh process constructs the encoding and encodes the text once (median of fresh
        processes, pelnor's and tiktoken's interleaved);
  new   a fresh encoding first encodes the kind's warm-up text, then the text, which it has not
        seen;
  warm  the same text again (best of three).
Then what the tiktoken-compatible face (pelnor.get_encoding) costs, the batch runner's gain
(threads=0 against threads=1, back-to-back pairs, on texts seen before and on new ones), Python
threads sharing one tokenizer, per-call times, construction and peak memory. The previous run's
figures are kept in bench/.last-run.json and shown beside. --rows-only keeps to the per-kind
figures, for comparing encodings side by side.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
sys.path.insert(0, str(REPO / "bench"))
sys.path.insert(0, str(REPO / "tests" / "python"))

import corpus  # noqa: E402
import tiktoken_offline  # noqa: E402

import pelnor  # noqa: E402
from published_patterns import PUBLISHED  # noqa: E402

LAST_RUN = REPO / "bench" / ".last-run.json"


def read_kind(kind, part=""):
    return (corpus.DEFAULT_OUT / f"{kind}{part}.txt").read_text(encoding="utf-8")


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


COLD_SCRIPT = """
import sys, time
sys.path.insert(0, {tools!r})
import numpy
if {use_tiktoken}:
    import tiktoken_offline
    tok = tiktoken_offline.encoding({name!r})
else:
    import pelnor
    tok = pelnor.Tokenizer({name!r})
text = open({path!r}, encoding="utf-8").read()
start = time.perf_counter()
tok.encode_ordinary(text)
print(time.perf_counter() - start)
"""


def cold_seconds(name, kind, use_tiktoken):
    """The first encode_ordinary of a kind's text in a fresh process, after construction."""
    script = COLD_SCRIPT.format(
        tools=str(REPO / "tools"), name=name, use_tiktoken=use_tiktoken,
        path=str(corpus.DEFAULT_OUT / f"{kind}.txt"),
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return float(out.stdout)


def kind_figures(name, kind, processes):
    text, warm_up = read_kind(kind), read_kind(kind, ".warm")
    nbytes = len(text.encode())
    ours_cold, theirs_cold = [], []
    for _ in range(processes):
        ours_cold.append(cold_seconds(name, kind, False))
        theirs_cold.append(cold_seconds(name, kind, True))
    tok = pelnor.Tokenizer(name)
    ref = tiktoken_offline.encoding(name)
    tok.encode_ordinary(warm_up)
    ref.encode_ordinary(warm_up)
    ours_new = best_time(lambda: tok.encode_ordinary(text), 1)
    theirs_new = best_time(lambda: ref.encode_ordinary(text), 1)
    assert tok.encode_ordinary(text) == ref.encode_ordinary(text), (name, kind)
    ours_warm = best_time(lambda: tok.encode_ordinary(text), 3)
    theirs_warm = best_time(lambda: ref.encode_ordinary(text), 2)
    ours_cold, theirs_cold = statistics.median(ours_cold), statistics.median(theirs_cold)
    return {
        "MB": nbytes / 1e6,
        "cold MB/s": nbytes / ours_cold / 1e6,
        "tiktoken cold MB/s": nbytes / theirs_cold / 1e6,
        "cold x": theirs_cold / ours_cold,
        "new MB/s": nbytes / ours_new / 1e6,
        "tiktoken new MB/s": nbytes / theirs_new / 1e6,
        "new x": theirs_new / ours_new,
        "warm MB/s": nbytes / ours_warm / 1e6,
        "tiktoken warm MB/s": nbytes / theirs_warm / 1e6,
        "warm x": theirs_warm / ours_warm,
        "warm to_numpy MB/s": nbytes / best_time(lambda: tok.encode_to_numpy(text), 3) / 1e6,
        "warm count MB/s": nbytes / best_time(lambda: tok.count(text), 3) / 1e6,
    }


def best_thread_time(fn, repeat):
    """The least CPU time of the calling thread over repeat calls: on a shared machine, time taken
    by other processes is left out, for single-threaded calls on both sides."""
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time()
        fn()
        best = min(best, time.thread_time() - start)
    return best


def custom_pattern_figures(kinds, repeat):
    """Custom encodings on cl100k_base's ranks under the published patterns: warm
    encode_ordinary against tiktoken's, same text, CPU time of the calling thread. Each is split
    by PCRE2 unless it has hand-written rules (marked *)."""
    import tiktoken

    ranks = tiktoken_offline.encoding("cl100k_base")._mergeable_ranks
    rows = {}
    for name, pattern in PUBLISHED.items():
        arguments = dict(pat_str=pattern, mergeable_ranks=ranks, special_tokens={})
        ours, theirs = pelnor.Encoding(name, **arguments), tiktoken.Encoding(name, **arguments)
        if pelnor.patterns.rules_of_pattern(pattern) != "regex":
            name += "*"
        row = {}
        for kind in kinds:
            text = read_kind(kind)
            assert ours.encode_ordinary(text) == theirs.encode_ordinary(text), (name, kind)
            ours_warm = best_thread_time(lambda: ours.encode_ordinary(text), repeat + 1)
            theirs_warm = best_thread_time(lambda: theirs.encode_ordinary(text), repeat)
            nbytes = len(text.encode())
            row[kind] = [nbytes / ours_warm / 1e6, theirs_warm / ours_warm,
                         nbytes / theirs_warm / 1e6]
        rows[name] = row
    print("\n== published patterns, cl100k_base ranks: pelnor MB/s and x = tiktoken's time / "
          "pelnor's (* hand-written rules, else PCRE2)")
    print(f"{'pattern':>12}" + "".join(f"{kind:>16}" for kind in kinds))
    for name, row in rows.items():
        print(f"{name:>12}" + "".join(f"{mbs:>8.1f}{x:>7.1f}x" for mbs, x, _ in row.values()))
    speeds = ("; ".join(f"{name} " + " ".join(f"{t:.1f}" for _, _, t in row.values())
                        for name, row in rows.items()))
    print(f"{'tiktoken':>12} MB/s: {speeds}")
    return rows


def long_runs_figures(name):
    """Long single pieces, where byte-pair merging is quadratic in tiktoken: the one synthetic
    text of the bench, by its nature."""
    text = "a" * 4000 + " " + "7" * 4000 + " " + "\n" * 2000 + "x" * 4000 + " "
    text = text * 16
    tok = pelnor.Tokenizer(name)
    ref = tiktoken_offline.encoding(name)
    ours = best_time(lambda: tok.encode_ordinary(text), 3)
    theirs = best_time(lambda: ref.encode_ordinary(text), 1)
    return {"long runs MB/s": len(text) / ours / 1e6, "long runs x tiktoken": theirs / ours}


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
text = "".join(open(path, encoding="utf-8").read() for path in {paths!r})
encode(text[:10_000_000])
after_encode = peak_rss_kib()
print(built, after_build, after_encode)
"""


def construction_and_memory(name, use_tiktoken):
    """Construction time (s) and peak RSS (MiB) after it and after a 10 MB encode of real text,
    measured in a fresh process."""
    paths = [str(corpus.DEFAULT_OUT / f"{kind}{part}.txt")
             for kind in corpus.KINDS for part in ("", ".warm")]
    script = MEMORY_SCRIPT.format(
        tools=str(REPO / "tools"), name=name, paths=paths, use_tiktoken=use_tiktoken,
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


def decode_figures(name, repeat):
    """decode of the ids of 2 MB of English from a list and from encode_to_numpy's uint32 array,
    of 20 ids, and decode_batch of 500-id slices, each against tiktoken's decode of the list."""
    tok = pelnor.Tokenizer(name)
    ref = tiktoken_offline.encoding(name)
    text = read_kind("english")
    ids, array = tok.encode_ordinary(text), tok.encode_to_numpy(text)
    small = ids[:20]
    batch = [ids[i : i + 500] for i in range(0, len(ids), 500)]
    theirs = best_time(lambda: ref.decode(ids), repeat)
    theirs_small = best_time(lambda: [ref.decode(small) for _ in range(10000)], repeat)
    theirs_batch = best_time(lambda: ref.decode_batch(batch), repeat)
    return {
        "decode x tiktoken (list)": theirs / best_time(lambda: tok.decode(ids), repeat),
        "decode x tiktoken (uint32 array)": theirs / best_time(lambda: tok.decode(array), repeat),
        "decode x tiktoken (20 ids)": theirs_small
        / best_time(lambda: [tok.decode(small) for _ in range(10000)], repeat),
        "decode_batch x tiktoken": theirs_batch / best_time(lambda: tok.decode_batch(batch), repeat),
    }


def policy_figures(name, repeat):
    """encode's default special-token check against encode_ordinary, and encode_batch against a
    loop of single calls, on English prose."""
    tok = pelnor.Tokenizer(name)
    text = read_kind("english")
    paragraphs = [p + "\n\n" for p in text.split("\n\n")]
    tok.encode_to_numpy(text, disallowed_special=())  # warm
    ordinary = best_time(lambda: tok.encode_to_numpy(text, disallowed_special=()), repeat)
    checked = best_time(lambda: tok.encode_to_numpy(text), repeat)
    singles = best_time(lambda: [tok.encode_ordinary(p) for p in paragraphs], repeat)
    batch = best_time(lambda: tok.encode_batch(paragraphs), repeat)
    return {
        "encode (default policy) / encode_ordinary time": checked / ordinary,
        "encode_batch speed-up over a loop of single calls": singles / batch,
    }


def tiktoken_face_figures(name, repeat):
    """What the tiktoken-compatible face costs: pelnor.get_encoding's encode of a short text and
    encode_batch returning lists (on English paragraphs), against tiktoken and against a loop of
    the face's own encode; decode through the face (which checks ids as tiktoken does)."""
    enc = pelnor.get_encoding(name)
    ref = tiktoken_offline.encoding(name)
    text = read_kind("english")
    paragraphs = [p + "\n\n" for p in text.split("\n\n")]
    ids = enc.encode_ordinary(text)
    enc.encode_batch(paragraphs)  # warm
    calls = 20000

    def many(fn):
        return lambda: [fn("hello world") for _ in range(calls)]

    loop = best_time(lambda: [enc.encode(p) for p in paragraphs], repeat)
    batch = best_time(lambda: enc.encode_batch(paragraphs), repeat)
    return {
        "Encoding.encode('hello world') time / tiktoken's": best_time(many(enc.encode), repeat)
        / best_time(many(ref.encode), repeat),
        "Encoding.encode_batch speed-up over a loop of Encoding.encode": loop / batch,
        "Encoding.encode_batch x tiktoken": best_time(lambda: ref.encode_batch(paragraphs), 1)
        / batch,
        "Encoding.decode x tiktoken": best_time(lambda: ref.decode(ids), repeat)
        / best_time(lambda: enc.decode(ids), repeat),
    }


def chunks_of_lines(text, lines_per_chunk=40):
    lines = text.splitlines(keepends=True)
    return ["".join(lines[i : i + lines_per_chunk]) for i in range(0, len(lines), lines_per_chunk)]


def in_fresh_process(function, *args):
    """Runs one of this file's functions in a fresh interpreter and returns its result: a
    program with one tokenizer, whose piece-cache budget no tokenizer of an earlier measurement
    holds (a thread keeps the tables of the last two tokenizers it used, freed or not)."""
    script = (f"import json, sys; sys.path.insert(0, {str(REPO / 'bench')!r}); import bench_api; "
              f"print(json.dumps(bench_api.{function}(*{args!r})))")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def hashing_gain():
    """What two threads gain on this machine at this moment, on work that shares nothing:
    sha256 of 8 MB, which releases the interpreter, on one thread and on two at once."""
    import hashlib

    data = bytes(8 << 20)
    one = best_time(lambda: hashlib.sha256(data).digest(), 1)
    threads = [threading.Thread(target=lambda: hashlib.sha256(data).digest()) for _ in range(2)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return 2 * one / (time.perf_counter() - start)


def batch_pairs(name, call, texts, pairs):
    """`call` with threads=0 against threads=1 on 40-line chunks of real English, back-to-back
    pairs, each with the machine's two-thread hashing gain measured beside it. texts "seen": both
    calls of every pair run on the same batch, encoded before; "new": a tokenizer warmed on other
    text meets a batch of its own in every call."""
    chunks = chunks_of_lines(read_kind("english"))
    tok = pelnor.Tokenizer(name)
    run = getattr(tok, call)
    ratios, machine = [], []
    if texts == "seen":
        run(chunks)
        run(chunks, threads=1)
        for _ in range(pairs):
            one = best_time(lambda: run(chunks, threads=1), 1)
            many = best_time(lambda: run(chunks, threads=0), 1)
            ratios.append(one / many)
            machine.append(hashing_gain())
    else:
        run(chunks_of_lines(read_kind("english", ".warm")))
        batches = [chunks[i :: 2 * pairs] for i in range(2 * pairs)]
        for i in range(pairs):
            # The calls of a pair get neighbouring batches; which one goes first alternates.
            one_batch, many_batch = batches[2 * i + i % 2], batches[2 * i + 1 - i % 2]
            one = best_time(lambda: run(one_batch, threads=1), 1) / sum(map(len, one_batch))
            many = best_time(lambda: run(many_batch, threads=0), 1) / sum(map(len, many_batch))
            ratios.append(one / many)
            machine.append(hashing_gain())
    return sorted(ratios), sorted(machine)


def batch_scaling(name, pairs):
    figures = {}
    machine = []
    for call in ("encode_batch", "count_batch"):
        for texts in ("seen", "new"):
            ratios, reference = in_fresh_process("batch_pairs", name, call, texts, pairs)
            figures[f"{call} {texts}"] = ratios
            machine += reference
    figures["machine (two threads hashing)"] = sorted(machine)
    return figures


def python_threads(name):
    return in_fresh_process("python_threads_in_process", name)


def python_threads_in_process(name, thread_counts=(1, 2, 4, 8), rounds=5, passes=8):
    """Total throughput of n Python threads on one tokenizer, each encoding its own 250 KB of
    real English `passes` times a round (warm), against one thread: median of rounds."""
    text = read_kind("english")
    share = 250_000
    texts = [text[i * share : (i + 1) * share] for i in range(max(thread_counts))]
    tok = pelnor.Tokenizer(name)
    rates = {}
    for n in thread_counts:
        start_line = threading.Barrier(n + 1)
        done_line = threading.Barrier(n + 1)
        stop = False

        def work(own):
            while True:
                start_line.wait()
                if stop:
                    return
                for _ in range(passes):
                    tok.encode_to_numpy(own)
                done_line.wait()

        workers = [threading.Thread(target=work, args=(texts[i],)) for i in range(n)]
        for w in workers:
            w.start()
        samples = []
        nbytes = passes * sum(len(t.encode()) for t in texts[:n])
        for r in range(rounds + 1):
            start_line.wait()
            begin = time.perf_counter()
            done_line.wait()
            if r > 0:  # the first round warms every thread's table
                samples.append(nbytes / (time.perf_counter() - begin))
        stop = True
        start_line.wait()
        for w in workers:
            w.join()
        rates[n] = statistics.median(samples)
    return {f"{n} Python threads / 1": rates[n] / rates[1] for n in thread_counts if n > 1}


KIND_COLUMNS = ("MB", "cold MB/s", "tiktoken cold MB/s", "cold x", "new MB/s", "tiktoken new MB/s",
                "new x", "warm MB/s", "tiktoken warm MB/s", "warm x", "warm to_numpy MB/s")
SHORT = {"MB": "MB", "cold MB/s": "cold", "tiktoken cold MB/s": "tk cold", "cold x": "x cold",
         "new MB/s": "new", "tiktoken new MB/s": "tk new", "new x": "x new",
         "warm MB/s": "warm", "tiktoken warm MB/s": "tk warm", "warm x": "x warm",
         "warm to_numpy MB/s": "numpy"}


def show(name, rows, extras, previous):
    old = previous.get(name, {})
    print(f"\n== {name}: encode_ordinary, MB/s and x = pelnor / tiktoken (same text, same run)")
    print(f"{'kind':>9}" + "".join(f"{SHORT[c]:>9}" for c in KIND_COLUMNS))
    for kind, r in rows.items():
        line = f"{kind:>9}" + "".join(f"{r[c]:>9.1f}" for c in KIND_COLUMNS)
        before = old.get("rows", {}).get(kind)
        if before:
            line += "   (last run: x " + "/".join(f"{before[c]:.1f}" for c in ("cold x", "new x", "warm x")) + ")"
        print(line)
    for key, value in extras.items():
        if isinstance(value, list):
            print(f"  {key} 2 threads / 1 pairs: median {statistics.median(value):.2f}, "
                  f"min {value[0]:.2f}, max {value[-1]:.2f}")
            continue
        before = old.get("extras", {}).get(key)
        suffix = f"   (last run: {before:.2f})" if isinstance(before, float) else ""
        print(f"  {key}: {value:.2f}{suffix}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer kinds, processes and pairs")
    parser.add_argument("--encoding", action="append", choices=pelnor.BUILTIN_ENCODINGS)
    parser.add_argument("--kind", action="append", choices=corpus.KINDS)
    parser.add_argument("--patterns-only", action="store_true",
                        help="only the published splitting patterns")
    parser.add_argument("--rows-only", action="store_true",
                        help="only the per-kind cold / new / warm figures of each encoding")
    args = parser.parse_args()
    corpus.build()
    processes, pairs, repeat = (1, 3, 1) if args.quick else (3, 7, 3)
    kinds = args.kind or (("english", "cpp", "russian", "chinese") if args.quick else corpus.KINDS)
    print(f"pelnor {pelnor.__version__}; {os.cpu_count()} logical processors; "
          f"{time.strftime('%Y-%m-%d %H:%M')}; corpus from bench/corpus.py")
    previous = json.loads(LAST_RUN.read_text()) if LAST_RUN.exists() else {}
    results = {} if args.rows_only else {
        "published patterns": custom_pattern_figures(kinds, repeat)}
    for name in () if args.patterns_only else args.encoding or ("r50k_base", "cl100k_base", "o200k_base"):
        rows = {kind: kind_figures(name, kind, processes) for kind in kinds}
        extras = {} if args.rows_only else {
            **long_runs_figures(name),
            **per_call_times(name, repeat),
            **decode_figures(name, repeat),
            **policy_figures(name, repeat),
            **tiktoken_face_figures(name, repeat),
            **batch_scaling(name, pairs),
            **python_threads(name),
            **memory_and_construction(name),
        }
        show(name, rows, extras, previous)
        results[name] = {"rows": rows, "extras": extras}
    LAST_RUN.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
