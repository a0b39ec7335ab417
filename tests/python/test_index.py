"""BM25Index against a float64 oracle: a fresh BM25 trained on the live documents, its
encode_query and encode_document dicts multiplied out. Also the index's conversions, errors, lock
and round trips."""

import copy
import math
import os
import pickle
import random
import shutil
import subprocess
import sys
import threading
import time
from collections.abc import Sequence

import numpy as np
import pytest

import duzudavida
from bm25_oracle import key_text
from conftest import SANITIZED, not_sanitized, run_isolated


def as_kind(tokens, kind):
    if kind == "int":
        return list(tokens)
    if kind == "bytes":
        return [str(t).encode() for t in tokens]
    return [str(t) for t in tokens]


class Mirror:
    """The live documents by id, as a plain dict: what the index must agree with."""

    def __init__(self):
        self.docs: dict[int, list] = {}
        self.next_id = 0

    def add(self, docs):
        first = self.next_id
        for doc in docs:
            self.docs[self.next_id] = doc
            self.next_id += 1
        return first

    def model(self):
        model = duzudavida.BM25()
        ordered = [self.docs[i] for i in sorted(self.docs)]
        if ordered:
            model.train_batch(ordered)
        return model

    def scores(self, query, allow=None):
        model = self.model()
        weights = {key_text(t): w for t, w in model.encode_query(query).items()} if query else {}
        ids = sorted(self.docs if allow is None else set(allow) & set(self.docs))
        result = {}
        for i in ids:
            doc = {key_text(t): w for t, w in model.encode_document(self.docs[i]).items()}
            terms = [weights[t] * doc[t] for t in weights if t in doc]
            result[i] = (math.fsum(terms), math.fsum(abs(x) for x in terms))
        return result


def check_against(index, mirror, queries, k, allow=None, threads=1):
    ids, scores = index.retrieve(queries, k=k, threads=threads, allow=allow)
    assert ids.dtype == np.int64 and scores.dtype == np.float64
    for row, query in enumerate(queries):
        expected = mirror.scores(query, allow)
        assert ids.shape == scores.shape == (len(queries), min(k, len(expected)))
        got = list(ids[row])
        assert len(set(got)) == len(got) and set(got) <= set(expected), (
            "a result outside the live allowed ids"
        )
        for i, score in zip(got, scores[row]):
            exact, scale = expected[i]
            assert score == pytest.approx(exact, rel=1e-9, abs=1e-12 * scale + 1e-300)
        pairs = list(zip(scores[row], got))
        for (s1, i1), (s2, i2) in zip(pairs, pairs[1:]):
            assert s1 > s2 or (s1 == s2 and i1 < i2), "not best first, ties to the lower id"
        missing = [expected[i] for i in expected if i not in set(got)]
        if got and missing:
            best_missing = max(e for e, _ in missing)
            slack = 1e-9 * max(s for _, s in expected.values())
            assert scores[row][-1] >= best_missing - slack, "a better document is missing"
    return ids, scores


def random_docs(rng, count, kind):
    # A small vocabulary with a very common token, so that some query weights are negative, and
    # now and then a token repeated past the one-byte term frequency.
    docs = []
    for _ in range(count):
        length = rng.randint(1, 12)
        doc = [rng.choice(range(14)) for _ in range(length)] + [0] * rng.randint(0, 4)
        if rng.random() < 0.05:
            doc += [rng.randint(1, 13)] * rng.choice([254, 255, 300])
        docs.append(as_kind(doc, kind))
    return docs


def random_queries(rng, kind):
    queries = [
        as_kind([rng.choice(range(16)) for _ in range(rng.randint(1, 5))], kind) for _ in range(6)
    ]
    return queries + [[], as_kind([0, 0], kind), as_kind([99], kind)]


@pytest.mark.parametrize("kind", ["str", "bytes", "int"])
@pytest.mark.parametrize("seed", range(4))
def test_random_operations_equal_the_oracle(kind, seed, tmp_path):
    rng = random.Random(seed * 7 + len(kind))
    index, mirror = duzudavida.BM25Index(), Mirror()
    for step in range(14):
        action = rng.choice(
            ["add", "add", "delete", "merge", "save", "load_mapped", "pickle", "copy"]
        )
        if action == "add" or not mirror.docs:
            docs = random_docs(rng, rng.randint(1, 25), kind)
            assert index.add(docs) == mirror.add(docs)
        elif action == "delete":
            # One document (the path that searches each list), or many (the whole pass).
            most = 1 if rng.random() < 0.5 else max(1, len(mirror.docs) // 3)
            doomed = rng.sample(sorted(mirror.docs), rng.randint(1, most))
            index.delete(doomed)
            for i in doomed:
                del mirror.docs[i]
        elif action == "merge":
            other, docs = duzudavida.BM25Index(), random_docs(rng, rng.randint(1, 10), kind)
            other.add(docs)
            other.delete([0])
            index.merge(other)
            shifted = mirror.add(docs)
            del mirror.docs[shifted]
            assert len(other) == len(docs) - 1
        elif action in ("save", "load_mapped"):
            path = tmp_path / f"step{step}.idx"
            index.save(path)
            index = duzudavida.BM25Index.load(path, mmap=action == "load_mapped")
        elif action == "pickle":
            index = pickle.loads(pickle.dumps(index, protocol=5))
        else:
            index = copy.deepcopy(index) if rng.random() < 0.5 else copy.copy(index)
        assert len(index) == len(mirror.docs)
        assert index.model().__getstate__() == mirror.model().__getstate__()
        queries = random_queries(rng, kind)
        k = rng.choice([1, 3, 10, 1000])
        ids, scores = check_against(index, mirror, queries, k)
        threaded = index.retrieve(queries, k=k, threads=3)
        assert np.array_equal(threaded[0], ids) and np.array_equal(threaded[1], scores)
        allow = rng.sample(range(-3, mirror.next_id + 3), rng.randint(0, 8)) * 2
        check_against(index, mirror, queries, rng.choice([1, 4, 2**62]), allow=allow)


def test_model_after_deleting_everything_is_a_new_model():
    index = duzudavida.BM25Index(b=0.5, k1=2.0)
    index.add([["a", "b"], ["b"]])
    index.delete([1, 0, 1])
    assert index.model().__getstate__() == duzudavida.BM25(0.5, 2.0).__getstate__()
    ids, scores = index.retrieve([["a"], []], k=3)
    assert ids.shape == scores.shape == (2, 0)
    assert index.add([["c"]]) == 2


@pytest.mark.parametrize("deleted", [[], [1, 5, 17]], ids=["all-live", "deletions"])
def test_shards_merged_in_order_equal_one_index(deleted, tmp_path):
    rng = random.Random(11)
    docs = random_docs(rng, 40, "str")
    whole = duzudavida.BM25Index()
    whole.add(docs)
    shards = []
    for start in range(0, 40, 13):
        shard = duzudavida.BM25Index()
        shard.add(docs[start : start + 13])
        shard.delete([i - start for i in deleted if start <= i < start + 13])
        shards.append(shard)
    whole.delete(deleted)
    merged = shards[0]
    for shard in shards[1:]:
        merged.merge(shard)
    whole.save(tmp_path / "whole.idx")
    merged.save(tmp_path / "merged.idx")
    assert (tmp_path / "whole.idx").read_bytes() == (tmp_path / "merged.idx").read_bytes()
    queries = random_queries(rng, "str")
    for left, right in zip(whole.retrieve(queries, k=50), merged.retrieve(queries, k=50)):
        assert np.array_equal(left, right)
    merged.merge(merged)  # itself: every document twice
    assert len(merged) == 2 * len(whole)


def test_errors_match_train_batch_and_change_nothing():
    index = duzudavida.BM25Index()
    index.add([["a"], ["b"]])
    state = pickle.dumps(index)
    for docs in ([["x"], []], [["x"], [1.5]], "ab", [["x"], "ab"]):
        with pytest.raises(Exception) as raised:
            duzudavida.BM25().train_batch(docs)
        with pytest.raises(
            type(raised.value), match="^" + __import__("re").escape(str(raised.value)) + "$"
        ):
            index.add(docs)
    with pytest.raises(KeyError, match="^7$"):
        index.delete([0, 7])
    with pytest.raises(KeyError, match="^-1$"):
        index.delete([-1])
    assert pickle.dumps(index) == state
    for k in (0, -5):
        with pytest.raises(ValueError, match="k must be at least 1"):
            index.retrieve([["a"]], k=k)
    with pytest.raises(TypeError, match=r"queries\[0\] is not a list"):
        index.retrieve([[None]])


def test_conversion_owns_its_bytes_before_python_code_runs():
    held = bytearray(b"alpha")

    class Mutating(Sequence):
        def __len__(self):
            return 2

        def __getitem__(self, at):
            if at >= 2:
                raise IndexError
            held[:] = b"z" * 4096  # resizes the buffer the earlier document held
            return "beta"

    index = duzudavida.BM25Index()
    index.add([[held, "x"], Mutating()])
    expected = duzudavida.BM25Index()
    expected.add([[b"alpha", "x"], ["beta", "beta"]])
    assert pickle.dumps(index) == pickle.dumps(expected)

    class Deleting(Sequence):
        def __len__(self):
            return 1

        def __getitem__(self, at):
            if at >= 1:
                raise IndexError
            if len(index):
                index.delete([0, 1])  # before the lock is released: the query sees what is left
            return "alpha"

    ids, _ = index.retrieve([Deleting()], k=5)
    assert ids.shape == (1, 0)


class _LengthUnknown(list):
    """A list whose __len__ raises, as a lazy list's may once its source is gone."""

    def __len__(self):
        raise OSError("source gone")


@pytest.mark.parametrize(
    "call",
    [
        lambda index, jieba: index.add(_LengthUnknown([["a"]])),
        lambda index, jieba: index.retrieve(_LengthUnknown([["a"]])),
        lambda index, jieba: index.corpus_statistics(_LengthUnknown([["a"]])),
        lambda index, jieba: index.search(_LengthUnknown(["方鸿渐"]), jieba),
    ],
    ids=["add", "retrieve", "corpus_statistics", "search"],
)
def test_a_batch_whose_length_raises_raises_that_error(jieba, call):
    index = duzudavida.BM25Index()
    index.add([["a"], ["b"]])
    state = pickle.dumps(index)
    with pytest.raises(OSError, match="^source gone$"):
        call(index, jieba)
    assert pickle.dumps(index) == state


def test_mutation_while_retrieving_raises_and_fork_child_can_use_the_index():
    rng = random.Random(5)
    index = duzudavida.BM25Index()
    index.add(random_docs(rng, 3000, "str"))
    queries = random_queries(rng, "str") * 300
    refused = threading.Event()
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            try:
                index.retrieve(queries, k=5, threads=1)
            except RuntimeError as error:  # the add came first: the other side of the same race
                assert "cannot be read while another thread changes it" in str(error)

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        # Each try waits a moment, so that the reader runs between them even on a loaded host.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                index.add([["new"]])
            except RuntimeError as error:
                assert "cannot change while another thread uses it" in str(error)
                refused.set()
                break
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            try:
                first = index.add([["child"]])
                os._exit(0 if index.retrieve([["child"]], k=1)[0][0][0] == first else 1)
            except BaseException:
                os._exit(2)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        stop.set()
        thread.join()
    assert refused.is_set()
    before = len(index)
    index.add([["after"]])
    assert len(index) == before + 1


# pthread_mutex_trylock refused (EBUSY) to the module alone: every lock a query only tries is then
# held for good, as in a child forked while another thread held it.
REFUSING_TRYLOCK = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <string.h>
static int refused;
int refused_count(void) { return __atomic_load_n(&refused, __ATOMIC_RELAXED); }
int pthread_mutex_trylock(pthread_mutex_t* mutex) {
  static int (*next)(pthread_mutex_t*);
  if (!next) next = (int (*)(pthread_mutex_t*))dlsym(RTLD_NEXT, "pthread_mutex_trylock");
  Dl_info info;
  if (dladdr(__builtin_return_address(0), &info) && info.dli_fname &&
      strstr(info.dli_fname, "_native.cpython")) {
    __atomic_add_fetch(&refused, 1, __ATOMIC_RELAXED);
    return EBUSY;
  }
  return next(mutex);
}
"""

LOCKS_HELD_FOR_GOOD = """
import ctypes, random, sys
sys.path.insert(0, sys.argv[1])
import duzudavida
from test_index import Mirror, check_against
rng = random.Random(3)
vocab = [f"w{i}" for i in range(30)]
# w1 in most documents: a list long enough that its ranking would be kept.
docs = [[rng.choice(vocab) for _ in range(rng.randint(1, 8))] + ["w1"] * (rng.random() < 0.8)
        for _ in range(6000)]
index, mirror = duzudavida.BM25Index(), Mirror()
index.add(docs)
mirror.add(docs)
queries = [["w1"], ["w2"], ["w1", "w3"]] + [[rng.choice(vocab) for _ in range(3)] for _ in range(5)]
for threads in (1, 2):
    check_against(index, mirror, queries, k=7, threads=threads)
index.add([["w1"]])
mirror.add([["w1"]])
check_against(index, mirror, queries, k=7, threads=2)
# Replaced (its scratch and rankings let go, their locks taken for good), then queried again.
index.__setstate__(index.__getstate__())
check_against(index, mirror, queries, k=7, threads=2)
del index
print(ctypes.CDLL(None).refused_count() > 0)
"""


def test_queries_stay_exact_with_every_tried_lock_held_for_good(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the refusing pthread_mutex_trylock")
    (tmp_path / "refuse.c").write_text(REFUSING_TRYLOCK)
    library = tmp_path / "refuse.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", library, tmp_path / "refuse.c", "-ldl"],
                   check=True)
    env = dict(os.environ, LD_PRELOAD=f"{os.environ.get('LD_PRELOAD', '')} {library}".strip())
    result = subprocess.run([sys.executable, "-c", LOCKS_HELD_FOR_GOOD, os.path.dirname(__file__)],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n", result.stderr


def test_load_refuses_what_is_not_a_regular_index_file(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for path in (fifo, "/dev/zero", tmp_path):
        with pytest.raises((ValueError, IsADirectoryError), match="regular file|Is a directory"):
            duzudavida.BM25Index.load(path, mmap=True)
    with pytest.raises(FileNotFoundError):
        duzudavida.BM25Index.load(tmp_path / "absent")
    with pytest.raises(ValueError, match="embedded null byte"):
        duzudavida.BM25Index.load(str(tmp_path / "absent") + "\0")
    with pytest.raises(TypeError, match="not initialized"):
        duzudavida.BM25Index.__new__(duzudavida.BM25Index).retrieve([["a"]])
    index = duzudavida.BM25Index()
    index.add([["a", "b"], ["c"]])
    index.save(tmp_path / "good.idx")
    data = (tmp_path / "good.idx").read_bytes()
    for cut in range(0, len(data), 7):
        (tmp_path / "cut.idx").write_bytes(data[:cut])
        for mapped in (False, True):
            with pytest.raises(ValueError, match="^index file: "):
                duzudavida.BM25Index.load(tmp_path / "cut.idx", mmap=mapped)
    with pytest.raises(ValueError, match="^index file: "):
        pickle.loads(pickle.dumps(index).replace(b"DZDVIDX1", b"DZDVIDX2"))


class Tagged(duzudavida.BM25Index):
    pass


def test_state_calls_replace_a_live_index_and_conversions_name_their_argument(tmp_path):
    index = duzudavida.BM25Index()
    index.add([["a", "b"], ["c"]])
    other = duzudavida.BM25Index(b=0.3)
    other.add([["x"]])
    with pytest.raises(ValueError, match="^index file: "):
        index.__setstate__(b"garbage")
    assert len(index) == 2
    index.__setstate__(other.__getstate__())
    assert len(index) == 1 and index.model().b() == 0.3
    index.__init__(0.1, 0.2)
    assert len(index) == 0 and (index.model().b(), index.model().k1()) == (0.1, 0.2)
    tagged = Tagged()
    tagged.add([["t"]])
    tagged.note = "kept"
    for twin in (pickle.loads(pickle.dumps(tagged, 5)), copy.copy(tagged), copy.deepcopy(tagged)):
        assert type(twin) is Tagged and twin.note == "kept" and len(twin) == 1
    for allow, message in (
        (["1"], r"allow\[0\] is not an int, but str"),
        ([1.0], r"allow\[0\] is not an int, but float"),
        ({0}, "allow must be a sequence of int ids, not set"),
    ):
        with pytest.raises(TypeError, match=message):
            other.retrieve([["x"]], allow=allow)
    assert other.retrieve([["x"]], allow=[2**64, 0], threads=2**64)[0].tolist() == [[0]]
    for doomed in (2**63, 2**64):
        with pytest.raises(KeyError, match=f"^{doomed}$"):
            other.delete([0, doomed])
    assert len(other) == 1

    class Path:
        def __fspath__(self):
            other.add([["during"]])  # before save reads the index: the file holds it
            return str(tmp_path / "fspath.idx")

    other.save(Path())
    assert len(duzudavida.BM25Index.load(tmp_path / "fspath.idx")) == 2
    # Names the temporary file might take are left alone: a FIFO, a link to another file.
    target = tmp_path / "target.idx"
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    os.mkfifo(f"{target}.tmp{os.getpid()}.0")
    os.link(victim, f"{target}.tmp{os.getpid()}.1")
    other.save(target)
    assert victim.read_bytes() == b"precious" and len(duzudavida.BM25Index.load(target)) == 2


def test_files_are_checked_before_they_are_trusted(tmp_path):
    # A huge file that is not an index is refused from its header, allocating nothing of its size.
    huge = tmp_path / "huge.idx"
    with open(huge, "wb") as out:
        out.write(b"NOTINDEX")
        out.truncate(3 << 30)
    result = run_isolated(
        "import resource, sys, duzudavida\n"
        # AddressSanitizer reserves terabytes of address space: no address-space limit there.
        + ("" if SANITIZED else "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n") +
        "try:\n    duzudavida.BM25Index.load(sys.argv[1])\n"
        "except ValueError as error:\n    print(error)\n",
        str(huge),
    )
    assert result.stdout.strip() == "index file: not an index file (bad magic)", result.stderr
    # A mapped file changed in place after its load: what a change copies is checked, so the
    # damage is refused instead of entering an index that owns its postings.
    index = duzudavida.BM25Index()
    index.add([["a", "b"], ["b", "c"], ["c"]])
    path = tmp_path / "mapped.idx"
    index.save(path)
    mapped = duzudavida.BM25Index.load(path, mmap=True)
    data = bytearray(path.read_bytes())
    docs_at = len(data) - 8 - 24  # the first posting id: 5 u32 and 5 tf bytes, each padded to 8
    with open(path, "r+b") as out:
        out.seek(docs_at)
        out.write((0xFFFFFFF0).to_bytes(4, "little"))
    fresh = duzudavida.BM25Index()
    with pytest.raises(ValueError, match="^index file: "):
        fresh.merge(mapped)
    assert len(fresh) == 0 and fresh.model().__getstate__() == duzudavida.BM25().__getstate__()
    with pytest.raises(ValueError, match="^index file: "):
        mapped.add([["d"]])


def test_fork_during_an_add_gives_the_child_a_whole_index_or_says_why_not():
    index = duzudavida.BM25Index()
    index.add([["a"]])
    docs = [[f"t{i % 5000}", f"u{i % 77}"] for i in range(300_000)]
    outcomes = set()
    for delay in (0.0, 0.05, 0.15, 0.3):
        thread = threading.Thread(target=index.add, args=(docs,))
        thread.start()
        threading.Event().wait(delay)
        pid = os.fork()
        if pid == 0:
            try:
                code = 10 if len(index) in (1 + n * len(docs) for n in range(5)) else 11
            except RuntimeError as error:
                code = 12 if "forked while another thread changed" in str(error) else 13
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        thread.join()
        outcomes.add(os.waitstatus_to_exitcode(status))
    assert outcomes <= {10, 12}, outcomes


def test_hostile_queries_equal_the_oracle():
    # A query of 100,000 tokens, one of every token, one of only a token of negative weight, and
    # one matching nothing; k past the corpus and an allow list of every id (and more).
    rng = random.Random(23)
    index, mirror = duzudavida.BM25Index(), Mirror()
    docs = random_docs(rng, 400, "str")
    index.add(docs)
    mirror.add(docs)
    vocabulary = sorted({token for doc in docs for token in doc})
    queries = [
        [rng.choice(vocabulary + ["absent"]) for _ in range(100_000)],
        vocabulary,
        [as_kind([0], "str")[0]] * 3,
        ["absent"],
    ]
    for allow in (None, range(-5, 10**6)):
        check_against(index, mirror, queries, k=10**9, allow=allow)
        check_against(index, mirror, queries, k=7, allow=allow, threads=2)


@not_sanitized
def test_scratch_memory_goes_with_the_index():
    # A query scored over every document (each one holds the query's token, of negative weight)
    # needs 9 bytes per id of scratch; it must go when the index goes, not stay with the thread.
    script = (
        "import ctypes, gc, duzudavida, numpy\n"
        "def rss():\n"
        "    gc.collect(); ctypes.CDLL('libc.so.6').malloc_trim(0)\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmRSS:'): return int(line.split()[1]) * 1024\n"
        "docs = [['a', 'a']] * 2_000_000\n"
        "before = rss()\n"
        "index = duzudavida.BM25Index(); index.add(docs)\n"
        "index.retrieve([['a']], k=3, threads=1)\n"
        "del index\n"
        "print(rss() - before)\n"
    )
    done = run_isolated(script, timeout=300)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 6_000_000, "scratch of 18 MB outlived its index"
class _GrowingCounts(Sequence):
    """Counts whose reading adds a document to the index it feeds, making them too few."""

    def __init__(self, counts, index):
        self.counts, self.index = list(counts), index

    def __len__(self):
        return len(self.counts)

    def __getitem__(self, at):
        if at == len(self.counts) - 1:
            self.index.add([["a", "a", "a"]])
        return self.counts[at]


@pytest.mark.parametrize(
    ("corpus", "error", "message"),
    [
        ((3, 6), ValueError, r"must hold 3 items"),
        ("abc", TypeError, r"corpus must be a tuple"),
        ((-1, 6, [1, 2, 0, 2]), ValueError, r"doc_count must be 0 or more, not -1"),
        ((2**63, 6, [1, 2, 0, 2]), ValueError, r"doc_count is beyond 2\*\*63 - 1"),
        ((3, 6.0, [1, 2, 0, 2]), TypeError, r"doc_length_total must be an int, not float"),
        ((3, 6, [1, 2, -3, 2]), ValueError, r"token_counts\[2\] must be 0 or more, not -3"),
        ((3, 6, [1, 2, 2**70, 2]), ValueError, r"token_counts\[2\] is beyond 2\*\*63 - 1"),
        ((3, 6, np.array([1, 2, -1, 2])), ValueError, r"token_counts\[2\] must be 0 or more"),
        ((3, 6, np.zeros((2, 2), dtype=np.int64)), ValueError, r"one-dimensional"),
        ((3, 6, "abcd"), TypeError, r"sequence of ints"),
        ((3, 6, [1, 2, 0]), ValueError, r"hold 3 token counts, but these queries have 4"),
        ((3, 6, [1, 1, 0, 2]), ValueError, r"count a query token 1 times, fewer than this index's 2"),
        ((2, 6, [1, 2, 0, 2]), ValueError, r"fewer documents than this index \(2 < 3\)"),
        ((3, 5, [1, 2, 0, 2]), ValueError, r"shorter total length"),
    ],
    ids=["two-items", "str", "negative-docs", "huge-docs", "float-length", "negative-count", "huge-count",
         "negative-array", "2d-array", "str-counts", "too-few-counts", "count-below-own", "docs-below-own",
         "length-below-own"],
)
def test_corpus_statistics_are_checked_with_clear_messages(corpus, error, message):
    index = duzudavida.BM25Index()
    index.add([["a", "b"], ["b", "c", "c"], ["d"]])
    queries = [["c", "a", "zz"], ["b"]]
    own = index.corpus_statistics(queries)
    assert own[:2] == (3, 6) and own[2].tolist() == [1, 2, 0, 2]  # ascending token order
    with pytest.raises(error, match=message):
        index.retrieve(queries, k=2, corpus=corpus)
    # Counts read through Python code that adds to the index are checked against what it then holds.
    with pytest.raises(ValueError, match="fewer documents"):
        index.retrieve(queries, k=2, corpus=(3, 9, _GrowingCounts([1, 3, 0, 2], index)))


@pytest.mark.parametrize("kind", ["str", "int"])
def test_shards_given_summed_statistics_equal_one_index(kind):
    rng = random.Random(5)
    docs = random_docs(rng, 60, kind)
    whole = duzudavida.BM25Index()
    whole.add(docs)
    # Global id g in shard g % 3 as local id g // 3; the shards travel as pickles, as to workers.
    shards = []
    for shard in range(3):
        part = duzudavida.BM25Index()
        part.add(docs[shard::3])
        part.delete([g // 3 for g in range(shard, 60, 3) if g % 7 == 0])
        shards.append(pickle.loads(pickle.dumps(part)))
    whole.delete([g for g in range(60) if g % 7 == 0])
    queries = random_queries(rng, kind)
    figures = [shard.corpus_statistics(queries) for shard in shards]
    corpus = (sum(f[0] for f in figures), sum(f[1] for f in figures), np.sum([f[2] for f in figures], axis=0))
    for k in (1, 5, 100):
        ids, scores = whole.retrieve(queries, k=k)
        parts = [shard.retrieve(queries, k=k, corpus=corpus) for shard in shards]
        for row in range(len(queries)):
            merged = sorted(
                (-score, int(local) * 3 + shard)
                for shard, (local_ids, local_scores) in enumerate(parts)
                for local, score in zip(local_ids[row], local_scores[row])
            )[: ids.shape[1]]
            assert [g for _, g in merged] == ids[row].tolist()
            assert [-s for s, _ in merged] == scores[row].tolist()


def test_delete_reads_no_id_after_the_first_that_is_not_live():
    index = duzudavida.BM25Index()
    index.add([["a"], ["b"], ["a", "b"]])
    state = pickle.dumps(index)
    read = []

    class Ids(Sequence):
        def __len__(self):
            return 10

        def __getitem__(self, at):
            if at >= 10:
                raise IndexError
            read.append(at)
            return [0, 2, 0, 7][at] if at < 4 else 1

    with pytest.raises(KeyError, match="^7$"):
        index.delete(Ids())
    assert read == [0, 1, 2, 3] and pickle.dumps(index) == state
    index.delete([0, 2, 0] * 1000)  # an id named many times counts once
    assert len(index) == 1


# Ranges are cut to the index's ids before they are read: they must give what their ids give.
ALLOW_RANGES = [
    range(0), range(6), range(-3, 4), range(7, -9, -1), range(8, 0, -3), range(1, 9, 2),
    range(-(10**30), 10**30, 10**29), range(10**30, -(10**30), -(10**29 + 1)), range(-5, -1),
    range(6, 100), range(5, 6), range(0, 9, 10**40),
]


@pytest.mark.parametrize("allow", ALLOW_RANGES, ids=str)
def test_allow_range_gives_what_its_ids_give(allow):
    index = duzudavida.BM25Index()
    index.add([["a"], ["a", "b"], ["b"], ["a", "a"], ["c"], ["a", "c"], ["b", "a"]])
    index.delete([3])
    ids = [i for i in range(7) if i in allow]
    for k in (1, 3, 10):
        for got, expected in zip(index.retrieve([["a"], ["c", "b"]], k=k, allow=allow),
                                 index.retrieve([["a"], ["c", "b"]], k=k, allow=ids)):
            assert np.array_equal(got, expected)


def test_huge_id_ranges_cost_what_the_index_holds():
    """delete(range(2, 10**12)) on two documents read every id first (14 s, then MemoryError)."""
    script = (
        "import resource, duzudavida\n"
        + ("" if SANITIZED else "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n")
        + "index = duzudavida.BM25Index()\n"
        "index.add([['a'], ['a', 'b']])\n"
        "try:\n    index.delete(range(2, 10**12))\nexcept KeyError as error:\n    print(error)\n"
        "for allow in (range(10**12), range(10**12, -(10**12), -1), range(-(10**12), 10**12, 2)):\n"
        "    print(index.retrieve([['a']], k=5, allow=allow)[0].tolist())\n"
    )
    try:
        result = run_isolated(script, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("huge id ranges were read one id at a time")
    assert result.stdout.split("\n") == ["2", "[[0, 1]]", "[[0, 1]]", "[[0]]", ""], result.stderr


READERS_AND_WRITERS = """
import importlib.abc, os, pickle, random, sys, threading, time
import numpy as np
import duzudavida

class SlowImport(importlib.abc.MetaPathFinder):  # holds the readers' first calls together
    def find_spec(self, name, path, target=None):
        if name == "numpy.core.multiarray":
            time.sleep(0.2)
        return None

sys.meta_path.insert(0, SlowImport())
path = sys.argv[1]
rng = random.Random(1)
built = duzudavida.BM25Index()
built.add([[rng.choice("abcdefgh") for _ in range(rng.randint(1, 8))] for _ in range(300)])
built.save(path)
index = duzudavida.BM25Index.load(path, mmap=True)
other = duzudavida.BM25Index()
other.add([["a", "z"], ["q"]])
stop = time.monotonic() + 3
done, unexpected = [], []

def attempt(call):
    try:
        call()
        done.append(1)
    except RuntimeError as error:
        if "another thread" not in str(error):
            unexpected.append(repr(error))
    except KeyError:
        pass
    except Exception as error:
        unexpected.append(repr(error))

def reader(seed):
    r = random.Random(seed)
    while time.monotonic() < stop:
        allow = None if r.random() < 0.5 else range(0, 400, 3)
        attempt(lambda: index.retrieve([["a", "b"], ["c"]], k=5, threads=r.randint(0, 2), allow=allow))
        time.sleep(r.random() * 0.005)

def writer(seed):
    r = random.Random(seed)
    calls = [
        lambda: index.add([["a", "c"], ["d"]]),
        lambda: index.delete([r.randrange(len(index) + 50)]),
        lambda: index.save(path),
        lambda: index.merge(other),
        lambda: pickle.loads(pickle.dumps(index)),
        lambda: index.__setstate__(other.__getstate__()),
    ]
    while time.monotonic() < stop:
        attempt(r.choice(calls))
        time.sleep(r.random() * 0.001)

threads = [threading.Thread(target=reader, args=(i,)) for i in range(2)]
threads += [threading.Thread(target=writer, args=(10 + i,)) for i in range(2)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
index.save(path)
queries = [["a"], ["b", "c"], ["z", "q"]]
for twin in (pickle.loads(pickle.dumps(index)), duzudavida.BM25Index.load(path, mmap=True)):
    assert all(np.array_equal(x, y) for x, y in zip(index.retrieve(queries), twin.retrieve(queries)))
print(len(done) > 0, unexpected[:3])
"""


def test_readers_and_writers_on_one_mapped_index_finish(tmp_path):
    """Each call works or is refused with RuntimeError; none waits for ever."""
    try:
        result = run_isolated(READERS_AND_WRITERS, str(tmp_path / "shared.idx"), timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("readers and writers on one mapped index hung")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True []"
