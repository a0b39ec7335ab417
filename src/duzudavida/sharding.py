"""Exact top-k search over BM25Index shards held by the workers of a Dask cluster.

Each shard is a BM25Index in a Dask future on a worker. A query batch runs in two phases: every
shard reports its corpus statistics for the batch, the client sums them, every shard retrieves its
best k with the sums (so that it scores as one index of the whole corpus would), and the client
merges by score, then by global id. The results equal those of one BM25Index given the same
documents in global id order, ids and scores to the bit.

Global ids: shard s owns the range s * 2**32 to s * 2**32 + 2**32 - 2; a document's global id is
s * 2**32 plus its id inside the shard. Ids never change, and a shard's ids ascend with its local
ids, which is what makes the merge exact for ties.

Scheduling, transport and fault handling are Dask's: each shard is the result of a chain of tasks
(built or loaded, then every add and delete in turn), so a shard lost with its worker is rebuilt by
Dask from that chain, or from its file for a loaded shard; a query either completes on every shard
or raises. Needs `pip install 'duzudavida[dask]'`.
"""

from __future__ import annotations

import hashlib
import json
import operator
import os
import re
import struct
import threading
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from dask.distributed import Client, Future, wait
from dask.sizeof import sizeof

from duzudavida import BM25Index

__all__ = ["SHARD_BITS", "ShardedIndex", "global_id", "split_id"]

# A shard's ids take the low 32 bits of a global id: an index names at most 2**32 - 2 documents.
SHARD_BITS = 32
_LOCAL_MASK = (1 << SHARD_BITS) - 1
_MANIFEST = "shards.json"
_FORMAT = "duzudavida-shards"
_VERSION = 1

_Tokens = Sequence[str | bytes | bytearray] | Sequence[int]
_Int64Array = npt.NDArray[np.int64]
_Float64Array = npt.NDArray[np.float64]
_Statistics = tuple[int, int, _Int64Array]


def global_id(shard: int, local: int) -> int:
    """The global id of document `local` of shard `shard`."""
    return (shard << SHARD_BITS) | local


def split_id(identifier: int) -> tuple[int, int]:
    """(shard, local id) of a global id."""
    return identifier >> SHARD_BITS, identifier & _LOCAL_MASK


class _Shard:
    """A shard as its worker holds it: the index, its number and what the last add returned.

    Tasks change it in place and return it, each under a key of its own: Dask then holds the chain
    of tasks that made it, and replays that chain when a worker is lost.
    """

    def __init__(self, number: int, index: BM25Index, size_hint: int) -> None:
        self.number = number
        self.index = index
        self.size_hint = size_hint
        self.last_first = -1

    def __sizeof__(self) -> int:
        # Dask weighs moving data by its size: a shard is never worth moving for a task.
        return self.size_hint


def _sizeof_shard(shard: _Shard) -> int:
    return shard.size_hint


sizeof.register(_Shard)(_sizeof_shard)


# A rough size (bytes per document) for Dask's placement decisions.
_BYTES_PER_DOCUMENT = 200


def _new_shard(number: int, b: float, k1: float) -> _Shard:
    return _Shard(number, BM25Index(b, k1), 1 << 20)


def _adopt_shard(number: int, index: BM25Index) -> _Shard:
    if not isinstance(index, BM25Index):
        raise TypeError(f"shard {number}: expected a BM25Index, got {type(index).__name__}")
    return _Shard(number, index, max(1 << 20, len(index) * _BYTES_PER_DOCUMENT))


def _file_digest(path: str) -> str:
    with open(path, "rb") as source:
        return hashlib.file_digest(source, "blake2b").hexdigest()


def _load_shard(number: int, path: str, mmap: bool, expected: dict[str, Any] | None) -> _Shard:
    """The shard saved at `path`, checked against what the manifest says was saved there."""
    if expected is not None:
        size = os.stat(path).st_size
        if size != expected["bytes"] or _file_digest(path) != expected["blake2b"]:
            raise ValueError(f"shard {number}: {path} is not the file that was saved there (replaced since?)")
    index = BM25Index.load(path, mmap=mmap)
    return _Shard(number, index, max(1 << 20, os.stat(path).st_size))


def _describe(shard: _Shard) -> tuple[float, float, int]:
    model = shard.index.model()
    return model.b(), model.k1(), len(shard.index)


def _add(shard: _Shard, docs: list[Any], offset: int) -> _Shard:
    try:
        shard.last_first = shard.index.add(docs)
    except (ValueError, TypeError, RuntimeError) as error:
        # Name the document by its place in the caller's batch, not in this shard's piece.
        message = re.sub(r"^(docs\[|document )(\d+)", lambda found: f"{found[1]}{int(found[2]) + offset}", str(error))
        raise type(error)(message) from None
    shard.size_hint = max(shard.size_hint, len(shard.index) * _BYTES_PER_DOCUMENT)
    return shard


def _last_first(shard: _Shard) -> int:
    return shard.last_first


def _not_live(shard: _Shard, ids: list[int]) -> list[int]:
    """The ids of `ids` that are not live documents of the shard."""
    wanted = sorted(set(ids))
    if not wanted:
        return []
    # An empty query scores every allowed live document 0: all of them come back, by id.
    found, _ = shard.index.retrieve([[]], k=len(wanted), threads=1, allow=wanted)
    return sorted(set(wanted) - set(found[0].tolist()))


def _delete(shard: _Shard, ids: list[int]) -> _Shard:
    shard.index.delete(ids)
    return shard


def _save(shard: _Shard, path: str) -> dict[str, Any]:
    shard.index.save(path)
    return {"bytes": os.stat(path).st_size, "blake2b": _file_digest(path), "documents": len(shard.index)}


def _statistics(shard: _Shard, queries: list[Any]) -> _Statistics:
    return shard.index.corpus_statistics(queries)


def _search(
    shard: _Shard,
    queries: list[Any],
    k: int,
    threads: int,
    allow: list[int] | None,
    corpus: _Statistics,
    own: _Statistics,
) -> tuple[_Int64Array, _Float64Array, float]:
    """The shard's best k with the summed statistics, ids made global, and its search time."""
    now = shard.index.corpus_statistics(queries)
    if now[0] != own[0] or now[1] != own[1] or not np.array_equal(now[2], own[2]):
        # Rebuilt or reloaded between the phases into something else: the sums no longer hold it.
        raise RuntimeError(f"shard {shard.number} changed between the two phases of a query; no result is given")
    started = time.perf_counter()
    ids, scores = shard.index.retrieve(queries, k=k, threads=threads, allow=allow, corpus=corpus)
    seconds = time.perf_counter() - started
    return ids + np.int64(shard.number << SHARD_BITS), scores, seconds


def _token_lists(batch: Sequence[_Tokens], name: str) -> list[Any]:
    """The batch as lists, copied once on the client; a str where a token list belongs is refused
    (list() would split it into characters)."""
    if isinstance(batch, (str, bytes, bytearray)):
        raise TypeError(f"{name} must be a sequence of token lists, not {type(batch).__name__}")
    lists = []
    for position, tokens in enumerate(batch):
        if isinstance(tokens, (str, bytes, bytearray)) or not isinstance(tokens, Sequence):
            raise TypeError(f"{name}[{position}] must be a list of tokens, not {type(tokens).__name__}")
        lists.append(list(tokens))
    return lists


def _route(live: Sequence[int], count: int) -> list[tuple[int, int]]:
    """(shard, how many) per piece of a batch of `count`: the smallest shards filled to one level."""
    order = sorted(range(len(live)), key=lambda number: (live[number], number))
    taken = len(order)
    # The fewest shards, smallest first, whose level after taking everything is above them all.
    while True:
        level = (count + sum(live[number] for number in order[:taken])) // taken
        if taken == 1 or level >= live[order[taken - 1]]:
            break
        taken -= 1
    shares = [level - live[number] for number in order[:taken]]
    for position in range(count - sum(shares)):
        shares[position] += 1
    return sorted((number, share) for number, share in zip(order[:taken], shares) if share > 0)


def _merge(parts: list[tuple[_Int64Array, _Float64Array]], rows: int, k: int) -> tuple[_Int64Array, _Float64Array]:
    """Per row the best k of the shards' answers, by score, then by global id (as one index ranks)."""
    ids = np.concatenate([part[0] for part in parts], axis=1) if parts else np.zeros((rows, 0), np.int64)
    scores = np.concatenate([part[1] for part in parts], axis=1) if parts else np.zeros((rows, 0))
    order = np.lexsort((ids, -scores), axis=1)[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


class ShardedIndex:
    """BM25Index shards on the workers of a Dask cluster, searched exactly as one index.

    Calls from several threads are safe: they are serialised by a lock of its own.
    """

    def __init__(
        self,
        client: Client,
        shards: int | None = None,
        *,
        b: float = 0.75,
        k1: float = 1.2,
        threads: int = 1,
    ) -> None:
        """Empty shards, one per worker (or `shards` of them, spread over the workers in turn).

        `threads` is each shard's retrieve threads (0: every processor of its worker).
        """
        workers = self._workers(client)
        count = len(workers) if shards is None else shards
        if count < 1:
            raise ValueError(f"shards must be at least 1, not {count}")
        futures = [
            client.submit(_new_shard, number, b, k1, workers=[workers[number % len(workers)]],
                          allow_other_workers=True, pure=False)
            for number in range(count)
        ]
        self._attach(client, futures, threads, [0] * count)

    @classmethod
    def from_indexes(cls, client: Client, indexes: Sequence[Any], *, threads: int = 1) -> ShardedIndex:
        """Shards from BM25Index objects, or futures or delayed values of them built on the workers.

        Shard s is indexes[s]. Refuses shards whose b or k1 differ, naming the shard.
        """
        workers = cls._workers(client)
        futures = [
            client.submit(_adopt_shard, number, index, workers=[workers[number % len(workers)]],
                          allow_other_workers=True, pure=False)
            for number, index in enumerate(indexes)
        ]
        if not futures:
            raise ValueError("from_indexes needs at least one index")
        self = cls.__new__(cls)
        described = client.gather([client.submit(_describe, future, pure=False) for future in futures])
        self._check_parameters([(b, k1) for b, k1, _ in described])
        self._attach(client, futures, threads, [live for _, _, live in described])
        return self

    @staticmethod
    def _workers(client: Client) -> list[str]:
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise RuntimeError("the cluster has no workers")
        return workers

    @staticmethod
    def _check_parameters(parameters: Sequence[tuple[float, float]]) -> None:
        b, k1 = parameters[0]
        for number, (other_b, other_k1) in enumerate(parameters):
            # Compared as bits: scores agree with one index only if every shard has the same values.
            if struct.pack("<dd", other_b, other_k1) != struct.pack("<dd", b, k1):
                raise ValueError(
                    f"shard {number} has b={other_b!r}, k1={other_k1!r} but shard 0 has b={b!r}, k1={k1!r}: "
                    "the shards of one index share b and k1"
                )

    def _attach(self, client: Client, futures: list[Future[_Shard]], threads: int, live: list[int]) -> None:
        if not isinstance(threads, int) or threads < 0:
            raise ValueError(f"threads must be 0 (every processor of a worker) or more, not {threads!r}")
        self._client = client
        self._shards = futures
        self._threads = threads
        self._live = list(live)
        self._lock = threading.Lock()
        # Each shard's search time in the last retrieve, per batch (what the merge waited for).
        self._last_search_seconds: list[float] = []

    @property
    def shard_count(self) -> int:
        return len(self._shards)

    def __len__(self) -> int:
        """Live documents over all shards."""
        return sum(self._live)

    def add(self, docs: Sequence[_Tokens]) -> _Int64Array:
        """Index the documents; returns their global ids, in order (int64).

        The batch goes in contiguous pieces to the shards with the fewest live documents, evening
        them out. All or nothing: when a shard refuses its piece (with BM25Index.add's error), the
        pieces the others took are deleted again, and their ids are not given again.
        """
        batch = _token_lists(docs, "docs")
        with self._lock:
            pieces = []
            start = 0
            for number, count in _route(self._live, len(batch)):
                future = self._client.submit(_add, self._shards[number], batch[start : start + count], start, pure=False)
                pieces.append((number, start, count, future, self._client.submit(_last_first, future, pure=False)))
                start += count
            wait([piece[4] for piece in pieces])
            failure: BaseException | None = None
            for number, _, count, future, first in pieces:
                if first.status == "finished":
                    self._shards[number] = future
                    self._live[number] += count
                elif failure is None:
                    failure = first.exception()
            ids = np.empty(len(batch), dtype=np.int64)
            for number, begin, count, _, first in pieces:
                if first.status == "finished":
                    ids[begin : begin + count] = global_id(number, first.result()) + np.arange(count, dtype=np.int64)
            if failure is not None:
                taken = [ids[begin : begin + count] for _, begin, count, _, first in pieces if first.status == "finished"]
                if taken:
                    self._delete_locked(np.concatenate(taken).tolist())
                raise failure
            return ids

    def delete(self, ids: Sequence[int]) -> None:
        """Remove documents by global id. All or nothing: KeyError for the first id that is not live."""
        with self._lock:
            self._delete_locked(ids)

    def _delete_locked(self, ids: Sequence[int]) -> None:
        by_shard: dict[int, list[int]] = {}
        for identifier in ids:
            value = operator.index(identifier)
            shard, local = split_id(value)
            if value < 0 or shard >= len(self._shards):
                raise KeyError(value)
            by_shard.setdefault(shard, []).append(local)
        checks = {
            shard: self._client.submit(_not_live, self._shards[shard], local, pure=False)
            for shard, local in by_shard.items()
        }
        for shard, missing in zip(checks, self._client.gather(list(checks.values()))):
            if missing:
                raise KeyError(global_id(shard, missing[0]))
        for shard, doomed in by_shard.items():
            self._shards[shard] = self._client.submit(_delete, self._shards[shard], doomed, pure=False)
            self._live[shard] -= len(set(doomed))
        wait(self._shards)
        for future in self._shards:
            future.result()  # a failure raises here

    def retrieve(
        self,
        queries: Sequence[_Tokens],
        k: int = 10,
        *,
        allow: Sequence[int] | None = None,
        batch_size: int = 1000,
        timeout: float | None = None,
    ) -> tuple[_Int64Array, _Float64Array]:
        """(ids, scores) as BM25Index.retrieve gives them, over every shard: global int64 ids and
        float64 scores, best first, ties to the lower global id.

        Queries go in batches of `batch_size`, each in the two phases: the shards' statistics,
        summed, then each shard's best k with the sums, merged. Any failure raises; no partial
        answer is returned. With `timeout` (seconds), a phase whose shards have not all answered
        by then raises TimeoutError (Dask otherwise waits for a lost shard to be rebuilt).
        """
        if isinstance(k, bool) or not isinstance(k, int) or k < 1:
            raise ValueError(f"k must be an int of at least 1, not {k!r}")
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, not {batch_size!r}")
        batch = _token_lists(queries, "queries")
        local_allow: list[list[int] | None] = [None] * len(self._shards)
        if allow is not None:
            local_allow = [[] for _ in self._shards]
            for identifier in allow:
                value = operator.index(identifier)
                shard, local = split_id(value)
                if value >= 0 and shard < len(self._shards):
                    local_allow[shard].append(local)  # type: ignore[union-attr]
        with self._lock:
            client = self._client
            batches = [batch[start : start + batch_size] for start in range(0, len(batch), batch_size)] or [[]]
            phase_one = [
                [client.submit(_statistics, shard, part, pure=False) for shard in self._shards] for part in batches
            ]
            answers: list[list[Future[tuple[_Int64Array, _Float64Array, float]]]] = []
            for part, futures in zip(batches, phase_one):
                wait(futures, timeout=timeout)
                figures: list[_Statistics] = client.gather(futures)
                corpus = (
                    sum(f[0] for f in figures),
                    sum(f[1] for f in figures),
                    np.sum([f[2] for f in figures], axis=0, dtype=np.int64),
                )
                answers.append([
                    client.submit(_search, shard, part, k, self._threads, local_allow[number], corpus, figures[number],
                                  pure=False)
                    for number, shard in enumerate(self._shards)
                ])
            ids: list[_Int64Array] = []
            scores: list[_Float64Array] = []
            self._last_search_seconds = []
            for part, searches in zip(batches, answers):
                wait(searches, timeout=timeout)
                results = client.gather(searches)
                merged = _merge([(r[0], r[1]) for r in results], len(part), k)
                ids.append(merged[0])
                scores.append(merged[1])
                self._last_search_seconds.append(max(r[2] for r in results))
        # Every batch has the same columns (min(k, candidates)), so the rows stack.
        return np.concatenate(ids, axis=0), np.concatenate(scores, axis=0)

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Write each shard to a file of its own in `directory` (written by its worker: the folder
        must be one path on the client and every worker), then a manifest naming them."""
        folder = Path(directory)
        folder.mkdir(parents=True, exist_ok=True)
        with self._lock:
            names = [f"shard-{number:05d}.idx" for number in range(len(self._shards))]
            saved = self._client.gather([
                self._client.submit(_save, shard, str(folder / name), pure=False)
                for shard, name in zip(self._shards, names)
            ])
            model = self._client.submit(_describe, self._shards[0], pure=False).result()
            manifest = {
                "format": _FORMAT,
                "version": _VERSION,
                "b": model[0],
                "k1": model[1],
                "shards": [
                    {"shard": number, "file": name, **facts}
                    for number, (name, facts) in enumerate(zip(names, saved))
                ],
            }
            temporary = folder / (_MANIFEST + ".tmp")
            temporary.write_text(json.dumps(manifest, indent=1))
            os.replace(temporary, folder / _MANIFEST)

    @classmethod
    def load(
        cls, client: Client, directory: str | os.PathLike[str], *, mmap: bool = True, threads: int = 1
    ) -> ShardedIndex:
        """The shards saved in `directory`, one per worker in turn, mapped by default.

        Refuses a manifest that gives a shard number twice (its global ids would repeat), files
        that are not the ones saved (size and digest checked on the worker), and shards whose b or
        k1 differ, naming the shard.
        """
        folder = Path(directory)
        try:
            manifest = json.loads((folder / _MANIFEST).read_text())
        except (OSError, ValueError) as error:
            raise ValueError(f"{folder / _MANIFEST}: not a saved set of shards ({error})") from error
        if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT or manifest.get("version") != _VERSION:
            raise ValueError(f"{folder / _MANIFEST}: not a saved set of shards (format or version)")
        entries = manifest.get("shards")
        if not isinstance(entries, list) or not entries:
            raise ValueError(f"{folder / _MANIFEST}: lists no shards")
        seen_numbers: set[int] = set()
        seen_files: set[str] = set()
        for entry in entries:
            number = entry.get("shard") if isinstance(entry, dict) else None
            if not isinstance(number, int) or isinstance(number, bool) or not 0 <= number < len(entries):
                raise ValueError(f"{folder / _MANIFEST}: shard numbers must be 0 to {len(entries) - 1}, not {number!r}")
            if number in seen_numbers:
                raise ValueError(f"{folder / _MANIFEST}: shard {number} is listed twice: its global ids would repeat")
            name = entry.get("file")
            if not isinstance(name, str) or Path(name).name != name:
                raise ValueError(f"{folder / _MANIFEST}: shard {number}'s file must be a name in the folder, not {name!r}")
            real = os.path.realpath(folder / name)
            if real in seen_files:
                raise ValueError(f"{folder / _MANIFEST}: shard {number}'s file {name} is another shard's too")
            seen_numbers.add(number)
            seen_files.add(real)
        entries = sorted(entries, key=lambda entry: entry["shard"])
        workers = cls._workers(client)
        futures = [
            client.submit(_load_shard, entry["shard"], str(folder / entry["file"]), mmap, entry,
                          workers=[workers[entry["shard"] % len(workers)]], allow_other_workers=True, pure=False)
            for entry in entries
        ]
        described = client.gather([client.submit(_describe, future, pure=False) for future in futures])
        cls._check_parameters([(b, k1) for b, k1, _ in described])
        self = cls.__new__(cls)
        self._attach(client, futures, threads, [live for _, _, live in described])
        return self

