"""ShardedIndex on a LocalCluster of two single-threaded worker processes against one BM25Index
searched with threads=1 in this process: a batch of 1,000 queries over 1,000,000 synthetic
documents (Zipf tokens), rounds interleaved. Also the share of the sharded batch spent outside
the shards' own retrieve (statistics phase, scheduler, transport, merge)."""

import time

import numpy as np

import duzudavida

LENGTH = 30
VOCABULARY = 100_000
CHUNK = 50_000


def documents(seed: int, count: int):
    """`count` documents of LENGTH Zipf-distributed int tokens, in chunks of lists."""
    rng = np.random.default_rng(seed)
    cumulative = np.cumsum(1.0 / np.arange(1, VOCABULARY + 1))
    for start in range(0, count, CHUNK):
        size = min(CHUNK, count - start)
        tokens = np.searchsorted(cumulative, rng.random((size, LENGTH)) * cumulative[-1])
        yield tokens.tolist()


def build_shard(seed: int, count: int) -> duzudavida.BM25Index:
    index = duzudavida.BM25Index()
    for chunk in documents(seed, count):
        index.add(chunk)
    return index


def run(quick: bool, bench) -> None:
    from dask.distributed import Client, LocalCluster

    from duzudavida.sharding import ShardedIndex, global_id

    total = 20_000 if quick else 1_000_000
    per_shard = total // 2
    repeats = 1 if quick else 5
    queries = [chunk[:3] for chunk in next(documents(99, 1000))]
    # The workers build their shards from the same seeds as the single index here.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        client.upload_file(__file__)
        workers = sorted(client.scheduler_info()["workers"])
        built = [client.submit(build_shard, seed, per_shard, workers=[worker], pure=False)
                 for seed, worker in zip((1, 2), workers)]
        sharded = ShardedIndex.from_indexes(client, built, threads=1)
        one = duzudavida.BM25Index()
        for seed in (1, 2):
            for chunk in documents(seed, per_shard):
                one.add(chunk)

        ids, scores = sharded.retrieve(queries, k=10)
        single_ids, single_scores = one.retrieve(queries, k=10, threads=1)
        mapped = np.where(single_ids < per_shard, single_ids, global_id(1, 0) + single_ids - per_shard)
        identical = np.array_equal(ids, mapped) and np.array_equal(scores, single_scores)
        bench.ROWS.append(bench.Row("Sharding", "results against one index over the same documents",
                                    1.0 if identical else 0.0, "identical", target="identical",
                                    met=identical, notes=f"{total:,} documents, 1,000 queries, k=10"))

        shares = []

        def sharded_batch():
            started = time.perf_counter()
            sharded.retrieve(queries, k=10)
            wall = time.perf_counter() - started
            shares.append((wall - sum(sharded._last_search_seconds)) / wall)

        mine, theirs = bench.interleaved(sharded_batch, lambda: one.retrieve(queries, k=10, threads=1), repeats)
        bench.ratio_row("Sharding", f"1,000 queries over {total:,} documents, 2 shards on 2 workers vs threads=1",
                        mine, theirs, unit_scale=lambda s: s * 1000, unit="ms", reference="one BM25Index, threads=1",
                        target=None if quick else 1.3)
        share = sorted(shares)[len(shares) // 2]
        bench.ROWS.append(bench.Row("Sharding", "coordination share of the batch (all but the shards' retrieve)",
                                    share * 100, "%", target="<= 20", met=None if quick else share <= 0.20,
                                    notes="median over the rounds"))
