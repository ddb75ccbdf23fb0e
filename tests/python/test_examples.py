"""The examples run as documented."""

import importlib.util

import pytest

from conftest import needs
from datafiles import REPO

needs("dask.distributed")


def load_example(name):
    found = importlib.util.spec_from_file_location(name, REPO / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_dask_cluster_tokenizes_a_corpus(tmp_path):
    numpy = needs("numpy")

    import pelnor

    example = load_example("dask_tokenize")
    corpus = REPO / "tests" / "corpus"
    base = pelnor.get_encoding("cl100k_base")
    # A custom encoding travels to the worker processes with its rank table.
    custom = pelnor.Encoding("cl100k_im", pat_str=base._pat_str,
                             mergeable_ranks=base._mergeable_ranks,
                             special_tokens={**base._special_tokens, "<|im_start|>": 100264})
    for encoding in ("cl100k_base", custom):
        counts = example.tokenize_directory(corpus, tmp_path, encoding, workers=2)
        for path in corpus.glob("*.txt"):
            text = path.read_text(encoding="utf-8")
            assert counts[path.name] == base.count(text)
            assert numpy.load(tmp_path / f"{path.stem}.npy").tolist() == base.encode_ordinary(text)
