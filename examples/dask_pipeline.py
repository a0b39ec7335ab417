"""A corpus through a Dask cluster: segment, train, merge, broadcast, encode, rank one query, and
search it again in an index sharded over the workers.

    python examples/dask_pipeline.py CORPUS [--workers N] [--scheduler ADDRESS] [--repeat K] [--partitions P]

Without --scheduler it starts a LocalCluster of N worker processes (one thread each, no dashboard);
with it, the same code runs on the cluster at ADDRESS. CORPUS is any UTF-8 text, one document per
line (the novel Weicheng, say), repeated K times so the work is large enough to measure.
Needs `pip install 'duzudavida[dask]'`.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Any

import dask.bag as db
import numpy as np
import scipy.sparse
from dask.delayed import delayed
from dask.distributed import Client, Future, LocalCluster, wait

from duzudavida import BM25, BM25Index, Jieba, default_paths
from duzudavida.sharding import ShardedIndex

CORPUS_HELP = """\
The corpus is a UTF-8 text file. To fetch the novel Weicheng, which the examples were written
with, from a clone of the repository (needs npm and CMake):
    scripts/fetch_deps.sh            # or `make setup`; writes third_party/weicheng.utf8
    python examples/dask_pipeline.py third_party/weicheng.utf8"""
QUERY = "方鸿渐 留学 博士 文凭"

Pair = tuple[str, list[str]]


def segment_partition(lines: list[str], jieba: Jieba) -> list[Pair]:
    """Each non-blank line with its words, punctuation and white space left out."""
    kept = [line.strip() for line in lines if line.strip()]
    words = jieba.cut_for_search_batch(kept, threads=1)
    return [(line, [w for w in doc if w.isalnum()]) for line, doc in zip(kept, words) if any(w.isalnum() for w in doc)]


def train_partition(pairs: Any) -> BM25:
    model = BM25()
    docs = [words for _, words in pairs]
    if docs:
        model.train_batch(docs)
    return model


def merge_models(models: Any) -> BM25:
    """One model holding the corpora of all; the inputs stay as they were."""
    merged = BM25()
    for model in models:
        merged.merge(model)
    return merged


def encode_partition(pairs: list[Pair], model: BM25) -> list[scipy.sparse.csr_array]:
    return [model.encode_documents_csr([words for _, words in pairs])]


def dot_scores(matrix: scipy.sparse.csr_array, query: scipy.sparse.csr_array) -> np.ndarray:
    """Each row's dot product with a one-row query. The columns span 2**32 - 1, so the product is taken
    over the columns either side uses, renumbered, rather than over the full width."""
    columns, renumbered = np.unique(np.concatenate([matrix.indices, query.indices]), return_inverse=True)
    rows = scipy.sparse.csr_array((matrix.data, renumbered[: matrix.nnz], matrix.indptr),
                                  shape=(matrix.shape[0], len(columns)))
    dense = np.zeros(len(columns))
    dense[renumbered[matrix.nnz:]] = query.data
    scores: np.ndarray = rows @ dense
    return scores


def index_partition(pairs: Any) -> BM25Index:
    index = BM25Index()
    docs = [words for _, words in pairs]
    if docs:
        index.add(docs)
    return index


def merge_indexes(indexes: Any) -> BM25Index:
    """One index of every document, in partition order: ids as one index given them all."""
    merged = BM25Index()
    for index in indexes:
        merged.merge(index)
    return merged


def segmented_lines(client: Client, paths: list[str], partitions: int) -> db.Bag:
    """The lines of `paths` in about `partitions` parts, each cut on its worker by one segmenter
    broadcast to every worker."""
    if __name__ != "__main__":
        client.upload_file(__file__)
    megabytes = sum(Path(p).stat().st_size for p in paths) / 1e6
    # A key of its own (hash=False): one named by the segmenter's contents would be the key that
    # run_pipeline's scatter may still be releasing, and a task then finds its segmenter gone.
    jieba: Future[Jieba] = client.scatter(Jieba(**default_paths()), broadcast=True, hash=False)
    wait(jieba)
    lines = db.read_text(paths, blocksize=max(1 << 16, int(megabytes * 1e6 / partitions) + 1))
    pairs: db.Bag = lines.map_partitions(segment_partition, jieba)
    return pairs


def build_index(client: Client, paths: list[str], partitions: int, path: str) -> BM25Index:
    """Segment, index each partition on its worker, merge the indexes in a tree, save to `path`."""
    started = time.perf_counter()
    pairs = segmented_lines(client, paths, partitions)
    index: BM25Index = pairs.reduction(index_partition, merge_indexes, split_every=4).compute()
    index.save(path)
    print(f"{'index':<10} {time.perf_counter() - started:7.2f} s  {len(index):,} documents in {path}", flush=True)
    return index


def shard_index(client: Client, paths: list[str], shards: int) -> ShardedIndex:
    """One shard per worker, each built on the workers from its part of the lines, in line order:
    shard s holds the s-th part, so global ids ascend with the lines."""
    started = time.perf_counter()
    pairs = segmented_lines(client, paths, shards).repartition(npartitions=shards)
    built = client.compute([delayed(index_partition)(part) for part in pairs.to_delayed()])
    index = ShardedIndex.from_indexes(client, built)
    print(f"{'shards':<10} {time.perf_counter() - started:7.2f} s  {len(index):,} documents in "
          f"{index.shard_count} shards", flush=True)
    return index


def corpus_or_help(argument: str | None) -> Path:
    """The corpus the user named; else the program stops with a note on getting one."""
    if argument and Path(argument).is_file():
        return Path(argument)
    problem = f"no such file: {argument}" if argument else "no corpus given"
    sys.exit(f"{problem}\n{CORPUS_HELP}")


def run_pipeline(client: Client, paths: list[str], partitions: int) -> tuple[BM25, scipy.sparse.csr_array, list[str]]:
    """The merged model, the rows of every kept line, and those lines, with each stage's time printed."""
    if __name__ != "__main__":
        # Imported as a module, its functions travel by reference: the workers need the file too.
        client.upload_file(__file__)
    megabytes = sum(Path(p).stat().st_size for p in paths) / 1e6
    started = time.perf_counter()

    def stage(name: str, since: float, count: str = "") -> float:
        now = time.perf_counter()
        print(f"{name:<10} {now - since:7.2f} s  {count}", flush=True)
        return now

    # One segmenter per worker process: a Jieba pickles as its paths, and a broadcast future is
    # unpickled once on each worker and shared by all its tasks.
    jieba: Future[Jieba] = client.scatter(Jieba(**default_paths()), broadcast=True, hash=False)
    wait(jieba)
    mark = stage("load", started, "one segmenter per worker")
    # About `partitions` blocks in all (a file is never split finer than its share).
    lines = db.read_text(paths, blocksize=max(1 << 16, int(megabytes * 1e6 / partitions) + 1))
    pairs = lines.map_partitions(segment_partition, jieba).persist()
    wait(pairs)  # the words stay on the workers
    mark = stage("segment", mark, f"{megabytes / (time.perf_counter() - mark):.2f} MB/s")

    # train_batch per partition, merged in a tree.
    model: BM25 = pairs.reduction(train_partition, merge_models, split_every=4).compute()
    mark = stage("train", mark, f"{model.__getstate__().__len__() / 1e6:.1f} MB of model")

    shared: Future[BM25] = client.scatter(model, broadcast=True, hash=False)
    parts = pairs.map_partitions(encode_partition, shared).compute()
    matrix = scipy.sparse.vstack(parts, format="csr") if parts else scipy.sparse.csr_array((0, 2**32 - 1))
    mark = stage("encode", mark, f"{matrix.shape[0] / (time.perf_counter() - mark):,.0f} docs/s")

    kept = pairs.pluck(0).compute()
    stage("whole", started, f"{megabytes / (time.perf_counter() - started):.2f} MB/s, {matrix.shape[0]:,} documents")
    return model, scipy.sparse.csr_array(matrix), kept


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of a running scheduler, instead of a LocalCluster")
    parser.add_argument("--repeat", type=int, default=4, help="times the novel is repeated")
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("corpus", nargs="?", help="UTF-8 text, one document per line")
    args = parser.parse_args()
    corpus = corpus_or_help(args.corpus)

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None, processes=True)
        client = Client(cluster)
    with client:
        model, matrix, kept = run_pipeline(client, [str(corpus)] * args.repeat, args.partitions)
        jieba = Jieba(**default_paths())
        query = model.encode_queries_csr([[w for w in jieba.cut_for_search(QUERY) if w.isalnum()]])
        scores = dot_scores(matrix, query)
        print(f"\nquery: {QUERY}")
        for rank, row in enumerate(np.argsort(-scores, kind="stable")[:5], 1):
            print(f"  {rank}. {scores[row]:.3f}  {kept[row][:60]}")
        index = build_index(client, [str(corpus)] * args.repeat, args.partitions, "dask_pipeline.idx")
        ids, found = index.retrieve([[w for w in jieba.cut_for_search(QUERY) if w.isalnum()]], k=5)
        print(f"\nthe same query through the saved index: {list(zip(ids[0].tolist(), found[0].round(3)))}")
        sharded = shard_index(client, [str(corpus)] * args.repeat, len(client.scheduler_info()["workers"]))
        ids, found = sharded.retrieve([[w for w in jieba.cut_for_search(QUERY) if w.isalnum()]], k=5)
        print(f"the same query over {sharded.shard_count} shards on the cluster (global ids): "
              f"{list(zip(ids[0].tolist(), found[0].round(3)))}")


if __name__ == "__main__":
    main()
