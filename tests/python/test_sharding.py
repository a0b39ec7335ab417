"""ShardedIndex on a LocalCluster against one BM25Index given the same live documents in global id
order: random adds, deletes, saves, loads and searches; then the hostile cases (shards that
disagree, files replaced, a manifest that repeats a shard, a worker lost mid-query)."""

import json
import os
import random
import shutil
import signal
import threading

import numpy as np
import pytest

import duzudavida

distributed = pytest.importorskip("dask.distributed")
import dask  # noqa: E402
from duzudavida.sharding import ShardedIndex, _search, _Shard  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0")
    with cluster, distributed.Client(cluster) as connected:
        yield connected


def random_doc(rng, kind):
    # A common token (negative query weights), a Zipf-like tail, now and then a frequency past a byte.
    tokens = [min(int(rng.paretovariate(1.2)), 60) for _ in range(rng.randint(1, 9))] + [0] * rng.randint(0, 2)
    if rng.random() < 0.03:
        tokens += [rng.randint(1, 9)] * 300
    return [f"w{t}" for t in tokens] if kind == "str" else tokens


class Oracle:
    """The live documents by global id; one BM25Index of them, ids in global order, answers for them."""

    def __init__(self):
        self.docs = {}

    def retrieve(self, queries, k, allow=None):
        order = sorted(self.docs)
        index = duzudavida.BM25Index()
        if order:
            index.add([self.docs[g] for g in order])
        local = None if allow is None else [order.index(g) for g in allow if g in self.docs]
        ids, scores = index.retrieve(queries, k=k, allow=local)
        return np.array(order, dtype=np.int64)[ids] if ids.size else ids.astype(np.int64), scores


@pytest.mark.parametrize(("seed", "shards", "kind"), [(0, None, "str"), (1, 3, "int"), (2, 1, "str")],
                         ids=["one-per-worker", "three-on-two-workers", "one-shard"])
def test_random_operations_equal_one_index(client, seed, shards, kind, tmp_path):
    rng = random.Random(seed)
    index = ShardedIndex(client, shards)
    oracle = Oracle()
    for step in range(14):
        action = rng.choice(["add", "add", "delete", "retrieve", "retrieve", "save-load"])
        if action == "add":
            docs = [random_doc(rng, kind) for _ in range(rng.randint(1, 40))]
            ids = index.add(docs)
            assert len(set(ids.tolist()) | set(oracle.docs)) == len(oracle.docs) + len(docs)  # fresh, distinct
            oracle.docs.update(zip(ids.tolist(), docs))
        elif action == "delete" and oracle.docs:
            doomed = rng.sample(sorted(oracle.docs), rng.randint(1, max(1, len(oracle.docs) // 4)))
            if rng.random() < 0.3:  # one id not live: nothing is deleted
                with pytest.raises(KeyError):
                    index.delete([*doomed, max(oracle.docs) + 1])
            index.delete(doomed)
            for g in doomed:
                del oracle.docs[g]
        elif action == "save-load":
            index.save(tmp_path / f"step{step}")
            index = ShardedIndex.load(client, tmp_path / f"step{step}", mmap=rng.random() < 0.5)
        queries = [random_doc(rng, kind)[:4] for _ in range(12)] + [[], random_doc(rng, kind)[:1] * 2]
        allow = rng.sample(sorted(oracle.docs), len(oracle.docs) // 2) + [-1, 2**40] if rng.random() < 0.4 else None
        k = rng.choice([1, 5, 50])
        got = index.retrieve(queries, k=k, allow=allow, batch_size=rng.choice([5, 1000]))
        expected = oracle.retrieve(queries, k, allow)
        assert len(index) == len(oracle.docs)
        assert np.array_equal(got[0], expected[0]), f"step {step}"
        assert np.array_equal(got[1], expected[1]), f"step {step}"


def test_refusals_name_what_is_wrong(client, tmp_path):
    one, other = duzudavida.BM25Index(0.75, 1.2), duzudavida.BM25Index(0.5, 1.2)
    one.add([["a"]])
    other.add([["b"]])
    with pytest.raises(ValueError, match=r"shard 1 has b=0.5, k1=1.2 but shard 0 has b=0.75"):
        ShardedIndex.from_indexes(client, [one, other])
    index = ShardedIndex.from_indexes(client, [one, duzudavida.BM25Index()])
    assert index.add([["c"], ["d"], ["e"]]).tolist() == [1, 1 << 32, (1 << 32) + 1]  # evened out
    with pytest.raises(TypeError, match=r"docs\[0\] must be a list of tokens, not str"):
        index.add(["abc"])
    with pytest.raises(RuntimeError, match=r"^document 1: "):
        index.add([["x"], []])  # the piece that reached a shard was taken back out
    assert len(index) == 4
    index.save(tmp_path / "set")
    manifest = json.loads((tmp_path / "set" / "shards.json").read_text())

    # A manifest that repeats a shard (its global ids would repeat), or one file for two shards.
    bad = tmp_path / "bad"
    shutil.copytree(tmp_path / "set", bad)
    for change, message in [
        (lambda m: m["shards"][1].update(shard=0), "shard 0 is listed twice"),
        (lambda m: m["shards"][1].update(file=m["shards"][0]["file"]), "is another shard's too"),
        (lambda m: m["shards"][1].update(file="../set/shard-00001.idx"), "must be a name in the folder"),
    ]:
        changed = json.loads(json.dumps(manifest))
        change(changed)
        (bad / "shards.json").write_text(json.dumps(changed))
        with pytest.raises(ValueError, match=message):
            ShardedIndex.load(client, bad)
    # A shard file replaced by another shard's (same format, other documents).
    (bad / "shards.json").write_text(json.dumps(manifest))
    shutil.copy(bad / "shard-00000.idx", bad / "shard-00001.idx")
    with pytest.raises(ValueError, match=r"shard 1: .* is not the file that was saved there"):
        ShardedIndex.load(client, bad)

    # A shard that is not what it was when it reported its statistics: no result.
    shard = _Shard(0, duzudavida.BM25Index(), 1)
    shard.index.add([["a", "b"]])
    own = shard.index.corpus_statistics([["a"]])
    shard.index.add([["a"]])
    summed = shard.index.corpus_statistics([["a"]])
    with pytest.raises(RuntimeError, match="shard 0 changed between the two phases"):
        _search(shard, [["a"]], 5, 1, None, summed, own)


def test_worker_lost_mid_query_gives_the_same_answers_or_raises(tmp_path):
    # Real processes: the worker holding shard 0 is killed mid-query and its nanny starts a new one.
    # Dask may rebuild the shard from its file in time, or not: the query answers in full or raises,
    # and the shards loaded again from their files answer the same.
    rng = random.Random(9)
    docs = [random_doc(rng, "str") for _ in range(4000)]
    queries = [random_doc(rng, "str")[:3] for _ in range(3000)]
    # A dead worker's port refuses at once; Dask's default retries it for 30 s before the data on
    # it counts as lost.
    with dask.config.set({"distributed.comm.timeouts.connect": "3s"}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with cluster, distributed.Client(cluster) as client:
        built = ShardedIndex(client)
        built.add(docs)
        built.save(tmp_path / "set")
        index = ShardedIndex.load(client, tmp_path / "set")
        expected = index.retrieve(queries, k=10)
        outcome = {}

        def search():
            try:
                outcome["result"] = index.retrieve(queries, k=10, timeout=15)
            except Exception as error:  # noqa: BLE001 - any failure must arrive as an exception
                outcome["error"] = error

        thread = threading.Thread(target=search)
        thread.start()
        holder = next(iter(client.who_has(index._shards[0])[index._shards[0].key]))
        os.kill(client.run(os.getpid, workers=[holder])[holder], signal.SIGKILL)
        thread.join(timeout=45)
        assert not thread.is_alive()
        if "result" in outcome:  # never a partial answer
            assert np.array_equal(outcome["result"][0], expected[0])
            assert np.array_equal(outcome["result"][1], expected[1])
        else:
            assert isinstance(outcome["error"], Exception)
        client.wait_for_workers(2, timeout=30)
        again = ShardedIndex.load(client, tmp_path / "set").retrieve(queries, k=10, timeout=30)
        assert np.array_equal(again[0], expected[0]) and np.array_equal(again[1], expected[1])
