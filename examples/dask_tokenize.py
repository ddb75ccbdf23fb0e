#!/usr/bin/env python3
"""Tokenizes a directory of text files on a local dask cluster of worker processes.

    python3 examples/dask_tokenize.py CORPUS_DIR OUT_DIR [--encoding NAME] [--workers N]

Each file becomes OUT_DIR/<name>.npy (its ids as uint32) and the per-file counts are printed as
JSON. The encoding is shipped to the workers with each task: a built-in one pickles by name, and
every worker process builds it once (pelnor.get_encoding caches it per process); a custom
pelnor.Encoding pickles with its rank table. The same code works on a real cluster by passing the
scheduler's address to Client instead of a LocalCluster.
"""

import argparse
import json
from pathlib import Path


def tokenize_file(path, out_dir, encoding):
    """Encodes one file, writes its ids as .npy and returns (file name, token count)."""
    import numpy

    ids = encoding.encode_to_numpy(Path(path).read_text(encoding="utf-8"), disallowed_special=())
    numpy.save(Path(out_dir) / (Path(path).stem + ".npy"), ids)
    return Path(path).name, len(ids)


def tokenize_directory(corpus_dir, out_dir, encoding="o200k_base", workers=2):
    """Returns {file name: token count} for every *.txt file of corpus_dir; encoding is a
    pelnor.Encoding or the name of a built-in one."""
    from dask.distributed import Client, LocalCluster

    import pelnor

    if isinstance(encoding, str):
        encoding = pelnor.get_encoding(encoding)
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    paths = sorted(str(p) for p in Path(corpus_dir).glob("*.txt"))
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        futures = client.map(tokenize_file, paths, out_dir=str(out_dir), encoding=encoding)
        return dict(client.gather(futures))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus_dir")
    parser.add_argument("out_dir")
    parser.add_argument("--encoding", default="o200k_base")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    counts = tokenize_directory(args.corpus_dir, args.out_dir, args.encoding, args.workers)
    print(json.dumps({"files": counts, "total": sum(counts.values())}, indent=1))


if __name__ == "__main__":
    main()
