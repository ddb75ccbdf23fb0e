"""The examples run as documented."""

import importlib.util

import pytest

from datafiles import REPO

pytest.importorskip("dask.distributed")


def load_example(name):
    found = importlib.util.spec_from_file_location(name, REPO / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_dask_cluster_tokenizes_a_corpus(tmp_path):
    import numpy

    import pelnor

    example = load_example("dask_tokenize")
    corpus = REPO / "tests" / "corpus"
    counts = example.tokenize_directory(corpus, tmp_path, "cl100k_base", workers=2)
    tok = pelnor.Tokenizer("cl100k_base")
    for path in corpus.glob("*.txt"):
        text = path.read_text(encoding="utf-8")
        assert counts[path.name] == tok.count(text)
        assert numpy.load(tmp_path / f"{path.stem}.npy").tolist() == tok.encode_ordinary(text)
