#!/usr/bin/env python3
"""pelnor.hf against HF tokenizers on the same tokenizer.json, same text, same run.

    tools/devroot run python3 bench/bench_hf.py [--kind KIND]... [--config NAME]... [--quick]

The files are built with HF tokenizers itself, in the configurations of published byte-level
models, on published vocabularies (GPT-2's, and cl100k_base's for the configurations of models
whose vocabularies extend it); they are kept in build/bench-hf/. The texts are megabytes of real,
distinct text per kind (bench/corpus.py). Per configuration and kind, wall-clock seconds of:
  encode  one call on the whole text, its ids read: new (after the kind's warm-up text, text
          neither side has seen) and warm (the same text again, best of a few);
  batch   encode_batch of the text cut into 40-line chunks, every Encoding's ids read (warm);
  numpy   the same chunks as one padded array of ids and one of the attention mask: pelnor's
          encode_batch_to_numpy against HF's padded encode_batch turned into arrays (warm).
The ratio is HF's time over pelnor's.
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "bench"))
sys.path.insert(0, str(REPO / "tests" / "python"))

import corpus  # noqa: E402
import hf_models  # noqa: E402
import numpy  # noqa: E402
from tokenizers import Regex, Tokenizer, decoders, models, normalizers, processors  # noqa: E402
from tokenizers import pre_tokenizers as pt  # noqa: E402

import pelnor  # noqa: E402
import pelnor.hf  # noqa: E402

FILES = REPO / "build" / "bench-hf"
LLAMA_SPECIALS = ["<|begin_of_text|>", "<|end_of_text|>", "<|eot_id|>"]


def byte_level_model(ranks, pre_tokenizer, normalizer=None, post=None, ignore_merges=False,
                     specials=(), bos=None):
    vocab = {hf_models.spelled(token): rank for token, rank in ranks.items()}
    merges = [(hf_models.spelled(a), hf_models.spelled(b))
              for a, b in hf_models.merges_of_ranks(ranks)]
    tokenizer = Tokenizer(models.BPE(vocab, merges, ignore_merges=ignore_merges))
    tokenizer.pre_tokenizer = pre_tokenizer
    if normalizer is not None:
        tokenizer.normalizer = normalizer
    tokenizer.decoder = decoders.ByteLevel()
    tokenizer.add_special_tokens(list(specials))
    steps = [] if post is None else [post]
    if bos is not None:
        steps.append(processors.TemplateProcessing(
            single=f"{bos} $A", special_tokens=[(bos, tokenizer.token_to_id(bos))]))
    if steps:
        tokenizer.post_processor = steps[0] if len(steps) == 1 else processors.Sequence(steps)
    return tokenizer.to_str()


def split_then_bytes(pattern):
    return pt.Sequence([pt.Split(Regex(pattern), "isolated"),
                        pt.ByteLevel(add_prefix_space=False, use_regex=False)])


CONFIGS = {
    "gpt2": lambda gpt2, cl100k: byte_level_model(
        gpt2, pt.ByteLevel(add_prefix_space=False), post=processors.ByteLevel(trim_offsets=True),
        specials=["<|endoftext|>"]),
    "llama3": lambda gpt2, cl100k: byte_level_model(
        cl100k, split_then_bytes(hf_models.LLAMA3_PATTERN),
        post=processors.ByteLevel(trim_offsets=False), ignore_merges=True,
        specials=LLAMA_SPECIALS, bos="<|begin_of_text|>"),
    "qwen2": lambda gpt2, cl100k: byte_level_model(
        cl100k, split_then_bytes(hf_models.QWEN2_PATTERN), normalizer=normalizers.NFC(),
        post=processors.ByteLevel(trim_offsets=False), specials=["<|endoftext|>"]),
    "starcoder": lambda gpt2, cl100k: byte_level_model(
        gpt2, pt.Sequence([pt.Digits(individual_digits=True), pt.ByteLevel(add_prefix_space=False)]),
        post=processors.ByteLevel(trim_offsets=True), specials=["<|endoftext|>"]),
}


def config_file(name):
    """The configuration's tokenizer.json, built once with HF's own API."""
    path = FILES / f"{name}.json"
    if not path.exists():
        FILES.mkdir(parents=True, exist_ok=True)
        gpt2 = pelnor.get_encoding("gpt2")._mergeable_ranks
        cl100k = pelnor.get_encoding("cl100k_base")._mergeable_ranks
        path.write_text(CONFIGS[name](gpt2, cl100k), encoding="utf-8")
    return path


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def chunks_of_lines(text, lines=40):
    split = text.split("\n")
    return ["\n".join(split[i : i + lines]) for i in range(0, len(split), lines)]


def hf_padded(tokenizer, texts):
    tokenizer.enable_padding(pad_id=0, pad_token="<pad>")
    try:
        encodings = tokenizer.encode_batch(texts)
        return (numpy.array([e.ids for e in encodings], dtype=numpy.int64),
                numpy.array([e.attention_mask for e in encodings], dtype=numpy.int64))
    finally:
        tokenizer.no_padding()


def kind_figures(path, kind, repeat):
    text = (corpus.DEFAULT_OUT / f"{kind}.txt").read_text(encoding="utf-8")
    warm_up = (corpus.DEFAULT_OUT / f"{kind}.warm.txt").read_text(encoding="utf-8")
    chunks = chunks_of_lines(text)
    theirs = Tokenizer.from_file(str(path))
    ours = pelnor.hf.Tokenizer.from_file(path)
    theirs.encode(warm_up).ids
    ours.encode(warm_up).ids
    figures = {"MB": len(text.encode()) / 1e6}
    figures["encode new"] = (best(lambda: theirs.encode(text).ids, 1),
                             best(lambda: ours.encode(text).ids, 1))
    assert ours.encode(text).ids == theirs.encode(text).ids, (path, kind)
    figures["encode warm"] = (best(lambda: theirs.encode(text).ids, repeat),
                              best(lambda: ours.encode(text).ids, repeat + 1))
    assert [e.ids for e in ours.encode_batch(chunks)] == [e.ids for e in
                                                          theirs.encode_batch(chunks)]
    figures["batch"] = (best(lambda: [e.ids for e in theirs.encode_batch(chunks)], repeat),
                        best(lambda: [e.ids for e in ours.encode_batch(chunks)], repeat + 1))
    ids, mask = ours.encode_batch_to_numpy(chunks)
    expected = hf_padded(theirs, chunks)
    assert numpy.array_equal(ids, expected[0]) and numpy.array_equal(mask, expected[1])
    figures["numpy"] = (best(lambda: hf_padded(theirs, chunks), repeat),
                        best(lambda: ours.encode_batch_to_numpy(chunks), repeat + 1))
    return figures


COLUMNS = ["encode new", "encode warm", "batch", "numpy"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", action="append", choices=corpus.KINDS)
    parser.add_argument("--config", action="append", choices=list(CONFIGS))
    parser.add_argument("--quick", action="store_true", help="one timing of each")
    args = parser.parse_args()
    corpus.build()
    repeat = 1 if args.quick else 2
    print(f"load average {os.getloadavg()[0]:.1f}, {os.cpu_count()} processors; ratio = HF's "
          "time / pelnor's (pelnor's MB/s)")
    results = {}
    for name in args.config or CONFIGS:
        path = config_file(name)
        print(f"\n{name}")
        print("| kind | " + " | ".join(COLUMNS) + " |")
        print("|---" * (len(COLUMNS) + 1) + "|")
        for kind in args.kind or corpus.KINDS:
            figures = kind_figures(path, kind, repeat)
            results[f"{name} {kind}"] = figures
            cells = [f"{theirs / ours:.1f}× ({figures['MB'] / ours:.0f})"
                     for theirs, ours in (figures[column] for column in COLUMNS)]
            print(f"| {kind} | " + " | ".join(cells) + " |", flush=True)
    (REPO / "bench" / ".last-run-hf.json").write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
