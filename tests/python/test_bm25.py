"""The Python surface of BM25: construction, overloads, conversions, errors, and the weights."""

import collections
import copy
import functools
import math
import pathlib
import pickle
import random
import tempfile
import threading
import time

import numpy as np
import pytest
from bm25_oracle import OracleBM25
from conftest import SANITIZED, not_sanitized, run_isolated

from duzudavida import BM25


@pytest.mark.parametrize(
    ("args", "kwargs", "b", "k1"),
    [
        ((), {}, 0.75, 1.2),
        ((0.5,), {}, 0.5, 1.2),
        ((), {"k1": 2.0}, 0.75, 2.0),
        ((1, 2), {}, 1.0, 2.0),
        ((), {"b": 0.1, "k1": 0.2}, 0.1, 0.2),
    ],
    ids=["defaults", "b-only", "k1-keyword", "ints-convert", "both-keywords"],
)
def test_constructor(args, kwargs, b, k1):
    model = BM25(*args, **kwargs)
    assert (model.b(), model.k1()) == (b, k1)
    assert type(model.b()) is float


@pytest.mark.parametrize(
    "call",
    [
        lambda: BM25("x"),
        lambda: BM25(0.1, 0.2, 0.3),
        lambda: BM25().b(value=0.3),
        lambda: BM25().train("ab"),
        lambda: BM25().train(b"ab"),
        lambda: BM25().train(bytearray(b"ab")),
        lambda: BM25().train_batch([bytearray(b"ab")]),
        lambda: BM25().train([1.5]),
        lambda: BM25().train([2**63]),
        lambda: BM25().train(["a", 1]),
        lambda: BM25().train({"a"}),
        lambda: BM25().train({"a": 1}),
        lambda: BM25().train(t for t in ["a"]),
        lambda: BM25().train(tokens_vec=["a"]),
        lambda: BM25().encode_query(["a", 2]),
        lambda: BM25().load(text="{}"),
    ],
    ids=[
        "ctor-str",
        "ctor-three",
        "setter-keyword",
        "str-not-sequence",
        "bytes-not-sequence",
        "bytearray-not-sequence",
        "bytearray-not-a-document",
        "float-item",
        "id-too-large",
        "mixed-items",
        "set",
        "dict",
        "generator",
        "train-keyword",
        "mixed-query",
        "load-keyword",
    ],
)
def test_unmatched_overloads_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_parameters_are_methods_not_attributes():
    model = BM25()
    assert model.b(0.3) is None
    assert model.b() == 0.3
    model.k1(1)  # an int takes the setter in the conversion pass
    assert model.k1() == 1.0
    model.k1(-1.0)
    model.b(2.0)
    assert (model.b(), model.k1()) == (2.0, -1.0)
    with pytest.raises(AttributeError):
        model.extra = 1


def test_signatures_show_pybind_list_types():
    doc = BM25.encode_document.__doc__
    assert "encode_document(self: duzudavida.BM25, arg0: List[str]) -> Dict[str, float]" in doc
    assert "encode_document(self: duzudavida.BM25, arg0: List[int]) -> Dict[int, float]" in doc
    assert "__init__(self: duzudavida.BM25, b: float = 0.75, k1: float = 1.2)" in BM25.__init__.__doc__


@pytest.mark.parametrize(
    ("first", "second"),
    [
        (["a", "b"], ("a", "b")),
        ([b"a", bytearray(b"b")], ["a", "b"]),
        ([True, 2], [1, 2]),
        (range(3), [0, 1, 2]),
        ([42], ["42"]),
        ([-(2**63)], ["-9223372036854775808"]),
    ],
    ids=["tuple", "bytes-items", "bools-are-ids", "range", "id-as-text", "min-id"],
)
def test_equivalent_token_lists_train_the_same(first, second):
    one, two = BM25(), BM25()
    one.train(first)
    two.train(second)
    probe = ["a", "b", "0", "1", "2", "97", "98", "42", "-9223372036854775808", "z"]
    assert one.encode_query(probe) == two.encode_query(probe)


def test_empty_train_raises_and_changes_nothing(example_model):
    before = example_model.encode_query(["a", "b", "c"])
    for empty in ([], ()):
        with pytest.raises(RuntimeError, match="^trainning tokens_vec should not be empty$"):
            example_model.train(empty)
    assert example_model.encode_query(["a", "b", "c"]) == before


@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
def test_untrained_model(method):
    model = BM25()
    assert getattr(model, method)([]) == {}
    for tokens in (["a"], [1]):
        with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
            getattr(model, method)(tokens)


def test_worked_example_weights(example_model):
    doc = example_model.encode_document(["a", "b", "a"])
    assert list(doc) == ["a", "b"]
    assert doc["a"] == pytest.approx(0.591716, abs=1e-6)
    assert doc["b"] == pytest.approx(0.420168, abs=1e-6)
    assert example_model.encode_document(["x"])["x"] == pytest.approx(0.602410, abs=1e-6)
    query = example_model.encode_query(["a", "c", "d", "c"])
    assert query == pytest.approx({"a": 0.116231, "c": 0.441885, "d": 0.441885}, abs=1e-6)


def test_keys_iterate_in_ascending_order(example_model):
    assert list(example_model.encode_document(["b", "a", "B", "é", "ab"])) == ["B", "a", "ab", "b", "é"]
    assert list(example_model.encode_document([3, -1, 2])) == [-1, 2, 3]
    assert list(example_model.encode_query([3, 1])) == [1, 3]


def test_single_query_token_weighs_one():
    model = BM25()
    model.train(["a", "a", "b"])
    assert model.encode_query(["a"]) == {"a": 1.0}
    assert model.encode_query([5, 5]) == {5: 1.0}
    weights = model.encode_query(["a", "b", "c"])
    assert weights["a"] == pytest.approx(-0.633534, abs=1e-6)


def test_invalid_utf8_token_trains_but_fails_on_output():
    model = BM25()
    model.train([b"\xff", "a"])
    assert model.encode_query(["a"]) == {"a": 1.0}
    with pytest.raises(UnicodeDecodeError):
        model.encode_document([b"\xff"])


def test_parameters_change_documents_not_queries(example_model):
    query = example_model.encode_query(["a", "b"])
    document = example_model.encode_document(["a", "b"])
    example_model.k1(2.0)
    assert example_model.encode_query(["a", "b"]) == query
    assert example_model.encode_document(["a", "b"]) != document


def random_corpus(rng: random.Random, as_ids: bool):
    vocabulary = list(range(-50, 200)) if as_ids else [f"w{i}" for i in range(250)] + ["", "é", "中文"]
    return [[rng.choice(vocabulary) for _ in range(rng.randint(1, 30))] for _ in range(60)]


@pytest.mark.parametrize("as_ids", [False, True], ids=["strings", "ids"])
@pytest.mark.parametrize("seed", range(4))
def test_weights_agree_with_plain_python(seed, as_ids):
    rng = random.Random(seed)
    b, k1 = rng.uniform(0, 1), rng.uniform(0.5, 2)
    model, oracle = BM25(b, k1), OracleBM25(b, k1)
    for document in random_corpus(rng, as_ids):
        model.train(document)
        oracle.train(document)
    for document in random_corpus(rng, as_ids)[:20]:
        got, expected = model.encode_document(document), oracle.encode_document(document)
        assert list(got) == list(expected)
        assert got == pytest.approx(expected, rel=1e-12)
        got, expected = model.encode_query(document), oracle.encode_query(document)
        assert list(got) == list(expected)
        assert all(math.isclose(got[t], expected[t], rel_tol=1e-9, abs_tol=1e-12) for t in got)


class FreshItems:
    """A sequence that builds a new object on every access, as some wrappers do."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        if index >= len(self.items):
            raise IndexError(index)
        item = self.items[index]
        return "".join(item) if isinstance(item, str) else item


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Broken(FreshItems):
    def __getitem__(self, index):
        raise KeyError("broken sequence")


def test_other_sequences_convert_like_lists(example_model):
    tokens = ["a", "b", "é" * 3, "a"]
    assert example_model.encode_document(FreshItems(tokens)) == example_model.encode_document(tokens)
    assert example_model.encode_query(tuple(tokens)) == example_model.encode_query(tokens)
    ids = [1, 2, 2]
    assert example_model.encode_query(FreshItems(ids)) == example_model.encode_query(ids)
    assert example_model.encode_query([Index(1), Index(2), 2]) == example_model.encode_query(ids)
    assert example_model.encode_query([2**62, -(2**62)]) == example_model.encode_query((2**62, -(2**62)))
    with pytest.raises(KeyError, match="broken sequence"):
        example_model.train(Broken(["a"]))


@pytest.mark.parametrize(
    "tokens",
    [["a", "\ud800"], [1, 2**64], [2**63, 1], [1, 1.0]],
    ids=["lone-surrogate", "id-overflow-late", "id-overflow-first", "float-late"],
)
def test_unconvertible_items_anywhere_raise_type_error(example_model, tokens):
    for method in (example_model.train, example_model.encode_document, example_model.encode_query):
        with pytest.raises(TypeError):
            method(tokens)


def test_result_keys_are_plain_str_and_int(example_model):
    class Token(str):
        pass

    class Id(int):
        pass

    for result in (example_model.encode_document([Token("a"), "b"]), example_model.encode_query([b"a", Token("b")])):
        assert [type(key) for key in result] == [str, str]
        assert list(result) == ["a", "b"]
    assert [type(key) for key in example_model.encode_query([Id(3), 2**40, True])] == [int, int, int]


@not_sanitized
def test_training_gives_back_the_working_memory_of_a_huge_document():
    """One document of three million distinct ids once pinned about 300 MB to the thread."""
    script = (
        "import gc, duzudavida\n"
        "def resident():\n"
        "    return int(open('/proc/self/statm').read().split()[1]) * 4096\n"
        "ids = list(range(10**9, 10**9 + 3_000_000))\n"
        "before = resident()\n"
        "model = duzudavida.BM25()\n"
        "model.train(ids)\n"
        "del model\n"
        "gc.collect()\n"
        "print((resident() - before) // 2**20)\n"
    )
    result = run_isolated(script)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 150, f"{result.stdout.strip()} MB kept after the model is gone"


# Two distinct tokens in one column (found by search over "w0", "w1", ...).
COLLIDING = ("w30181", "w38066")


def batch_corpus(kind: str) -> list:
    rng = random.Random(3)
    words = [f"w{i}" for i in range(40)] + list(COLLIDING) + ["中文", "a\"b"]
    docs = [rng.choices(words, k=rng.randint(1, 12)) for _ in range(60)] + [list(COLLIDING) * 2]
    if kind == "bytes":
        return [[w.encode() for w in doc] for doc in docs]
    if kind == "ids":
        return [[rng.randint(0, 2**32 - 2) if rng.random() < 0.1 else rng.randint(0, 50) for _ in doc] for doc in docs]
    return docs


def column(token) -> int:
    return token if isinstance(token, int) else BM25.token_index(token)


@pytest.mark.parametrize("kind", ["str", "bytes", "ids"])
def test_batch_calls_equal_single_calls(kind):
    docs = batch_corpus(kind)
    serial, batched = BM25(), BM25()
    for doc in docs:
        serial.train(doc)
    batched.train_batch(docs)
    assert batched.__getstate__() == serial.__getstate__()
    queries = docs[:20] + [[]]
    assert batched.encode_documents(queries) == [serial.encode_document(d) for d in queries]
    assert batched.encode_queries(tuple(queries)) == [serial.encode_query(d) for d in queries]
    for encode, single in (("encode_documents_csr", "encode_document"), ("encode_queries_csr", "encode_query")):
        matrix = getattr(batched, encode)(queries)
        assert matrix.shape == (len(queries), 2**32 - 1) and matrix.dtype == np.float32
        assert matrix.has_canonical_format
        for row, doc in enumerate(queries):
            expected: dict[int, float] = {}
            for token, weight in getattr(serial, single)(doc).items():  # ascending token order
                expected[column(token)] = expected.get(column(token), 0.0) + weight
            got = matrix[[row], :]
            assert dict(zip(got.indices.tolist(), got.data.tolist())) == {
                c: float(np.float32(w)) for c, w in expected.items()}


def test_token_index_is_murmurhash3_modulo_the_column_count():
    mmh3 = pytest.importorskip("mmh3")
    rng = random.Random(9)
    tokens = ["", "foo", "中文", "😀"] + ["".join(chr(rng.randint(32, 0x2FFF)) for _ in range(rng.randint(1, 20)))
                                       for _ in range(300)]
    for token in tokens:
        assert BM25.token_index(token) == mmh3.hash(token, 0, signed=False) % (2**32 - 1)
        assert BM25.token_index(token.encode()) == BM25.token_index(token)
    assert BM25.token_index(COLLIDING[0]) == BM25.token_index(COLLIDING[1])


@pytest.mark.parametrize(
    ("docs", "error", "pattern"),
    [
        ([["a"], [], ["b"]], RuntimeError, r"^document 1: trainning tokens_vec should not be empty$"),
        ([["a"], [1, "x"]], TypeError, r"^docs\[1\] is not a list of str, bytes or int tokens$"),
        ((d for d in [["a"]]), TypeError, r"^docs must be a list or tuple of token lists, not generator$"),
    ],
    ids=["empty-document", "mixed-tokens", "generator"],
)
def test_train_batch_is_all_or_nothing(example_model, docs, error, pattern):
    before = example_model.__getstate__()
    with pytest.raises(error, match=pattern):
        example_model.train_batch(docs)
    assert example_model.__getstate__() == before


def test_train_batch_overflow_names_the_document():
    model = BM25()
    model.load('{"_doc_count": 3, "_doc_length_average": 1.0, "_b": 0.75, "_k1": 1.2, '
               '"_doc_token_frequency": {"a": 2147483645}}')
    before = model.__getstate__()
    with pytest.raises(RuntimeError, match=r"^document 2: train would overflow the occurrence count of a token$"):
        model.train_batch([["a"], ["b"], ["a", "a"]])
    assert model.__getstate__() == before


@pytest.mark.parametrize("value", [-1, 2**32 - 1])
def test_csr_ids_outside_the_columns_raise_value_error(example_model, value):
    with pytest.raises(ValueError, match=rf"^id {value} is not a column: columns are 0 to 4294967294$"):
        example_model.encode_documents_csr([[1], [value]])


def test_csr_without_scipy_names_it(example_model):
    script = (
        "import sys\n"
        "sys.modules['scipy'] = None\n"
        "import duzudavida\n"
        "model = duzudavida.BM25()\n"
        "model.train(['a'])\n"
        "try:\n"
        "    model.encode_queries_csr([['a']])\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    result = run_isolated(script)
    assert result.stdout.strip() == "sparse rows need scipy: pip install 'duzudavida[sparse]'", result.stderr


def test_pickled_and_copied_models_keep_the_exact_state():
    model = BM25(b=0.123456789012, k1=1.987654321098)
    model.train(["a", "b\x00", "中"])
    model.train([7, 7, 8, 9])
    for restored in (pickle.loads(pickle.dumps(model, protocol=5)), copy.copy(model), copy.deepcopy(model)):
        assert (restored.b(), restored.k1()) == (model.b(), model.k1())
        assert restored.__getstate__() == model.__getstate__()
        assert restored.encode_query(["a", "z"]) == model.encode_query(["a", "z"])
        restored.train(["a", "new"])
        assert restored.__getstate__() != model.__getstate__()
    for bad in (b"", b"DZB1" + b"\0" * 10, model.__getstate__()[:-1], model.__getstate__() + b"x"):
        with pytest.raises(ValueError, match="^not a BM25 state$"):
            BM25.__new__(BM25).__setstate__(bad)


@pytest.mark.parametrize("kind", ["str", "ids"])
def test_shards_trained_apart_and_merged_equal_serial_training(kind):
    docs = batch_corpus(kind)
    serial = BM25()
    serial.train_batch(docs)
    merged, shards = BM25(), [docs[:20], docs[20:45], docs[45:]]
    for shard in shards:
        part = BM25()
        part.train_batch(shard)
        merged.merge(part)
    assert merged.__getstate__() == serial.__getstate__()
    with tempfile.TemporaryDirectory() as folder:
        paths = [pathlib.Path(folder) / name for name in ("merged.json", "serial.json")]
        merged.dump(str(paths[0]))
        serial.dump(str(paths[1]))
        assert paths[0].read_bytes() == paths[1].read_bytes()
    doubled = copy.deepcopy(serial)
    doubled.merge(doubled)
    twice = BM25()
    twice.train_batch(docs + docs)
    assert doubled.__getstate__() == twice.__getstate__()


def test_merge_overflow_leaves_the_model_unchanged(example_model):
    big = BM25()
    big.load('{"_doc_count": 5, "_doc_length_average": 1.0, "_b": 0.75, "_k1": 1.2, '
             '"_doc_token_frequency": {"a": 2147483647}}')
    before = example_model.__getstate__()
    with pytest.raises(RuntimeError, match="^merge would overflow the occurrence count of a token$"):
        example_model.merge(big)
    assert example_model.__getstate__() == before


def test_csr_releases_the_lock_and_changes_wait_for_it():
    docs = [[f"t{i % 5000}" for i in range(j, j + 100)] for j in range(30000)]
    model = BM25()
    model.train_batch(docs)
    expected = model.encode_documents_csr(docs[:10])
    refused, ticks = 0, 0
    worker = threading.Thread(target=model.encode_documents_csr, args=(docs,))
    worker.start()
    while worker.is_alive():
        ticks += 1
        try:
            model.b(0.5)
            model.b(0.75)
        except RuntimeError as error:
            assert str(error) == "BM25 cannot change while another thread encodes with it"
            refused += 1
    worker.join()
    assert ticks > 10 and refused > 0
    assert (model.encode_documents_csr(docs[:10]) != expected).nnz == 0


HOSTILE_CONVERSION = """
import collections.abc, resource, sys
import duzudavida
resource.setrlimit(resource.RLIMIT_AS, (2 * 2**30, 2 * 2**30))


class Spoiler(collections.abc.Sequence):
    # Gives a bytearray, then overwrites and grows it and empties the list of the document before.
    def __init__(self, earlier):
        self.earlier, self.held = earlier, bytearray(b"A" * 64)

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 0:
            return self.held
        if index == 1:
            self.held[:64] = b"Z" * 64
            self.held.extend(b"B" * 100000)
            self.earlier.clear()
            return "b"
        raise IndexError(index)


def given():
    earlier = ["".join(["e"] * 40) + str(i) for i in range(50)]
    return [earlier, Spoiler(earlier)]


expected = [["e" * 40 + str(i) for i in range(50)], [b"A" * 64, "b"]]
trained = duzudavida.BM25()
trained.train_batch(expected)
results = {}
for name, call in {
    "train": lambda m, docs: m.train(docs[1]),
    "encode_document": lambda m, docs: m.encode_document(docs[1]),
    "encode_documents": lambda m, docs: m.encode_documents(docs),
    "train_batch": lambda m, docs: m.train_batch(docs),
    "encode_documents_csr": lambda m, docs: repr(m.encode_documents_csr(docs).todok().items()),
    "encode_queries_csr": lambda m, docs: repr(m.encode_queries_csr(docs).todok().items()),
}.items():
    got, want = duzudavida.BM25(), duzudavida.BM25()
    if name.startswith("encode"):
        got.__setstate__(trained.__getstate__())
        want.__setstate__(trained.__getstate__())
    out, out_expected = call(got, given()), call(want, expected)
    print(name, out == out_expected and got.__getstate__() == want.__getstate__())
"""


def test_conversion_keeps_the_tokens_given_whatever_python_code_runs():
    """A bytearray overwritten or grown, or a list emptied, by a later __getitem__ once left views of freed bytes."""
    # AddressSanitizer reserves terabytes of address space: no address-space limit there.
    limit = "resource.setrlimit(resource.RLIMIT_AS, (2 * 2**30, 2 * 2**30))\n"
    result = run_isolated(HOSTILE_CONVERSION.replace(limit, "") if SANITIZED else HOSTILE_CONVERSION, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.split("\n")[:-1]
    assert len(lines) == 6 and all(line.endswith(" True") for line in lines), result.stdout


@functools.cache
def encoder_load() -> list[list[str]]:
    """Enough documents to keep an encoder busy for a good while after it has converted them."""
    words = [f"t{i}" for i in range(5000)]
    return [words[j % 4900 : j % 4900 + 100] for j in range(40000)]


def encoding_in_background(model: BM25, encode):
    """A thread that is inside an encoder (the interpreter lock released) once the call returns."""
    docs = encoder_load()
    model.train_batch(docs[:2000])
    started = threading.Event()

    def work():
        started.set()
        encode(model, docs)

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    return worker


MUTATORS = {
    "train": lambda m: m.train(["a"]),
    "train-ids": lambda m: m.train([1]),
    "train_batch": lambda m: m.train_batch([["a"]]),
    "train_batch-empty": lambda m: m.train_batch([]),
    "load": lambda m: m.load('{"_doc_count": 1, "_doc_length_average": 1.0, "_b": 0.5, "_k1": 1.0, '
                             '"_doc_token_frequency": {"a": 1}}'),
    "merge": lambda m: m.merge(m),
    "b": lambda m: m.b(0.5),
    "k1": lambda m: m.k1(2.0),
    "setstate": lambda m: m.__setstate__(BM25(0.5).__getstate__()),
    "init": lambda m: m.__init__(0.5),
}


@pytest.mark.parametrize("encode", ["encode_documents_csr", "encode_queries_csr"])
@pytest.mark.parametrize("mutate", MUTATORS.values(), ids=MUTATORS.keys())
def test_no_mutator_changes_a_model_that_another_thread_encodes(mutate, encode):
    model = BM25()
    worker = encoding_in_background(model, lambda m, docs: getattr(m, encode)(docs))
    time.sleep(0.05)
    before = model.__getstate__()
    try:
        with pytest.raises(RuntimeError, match="^BM25 cannot change while another thread encodes with it$"):
            while worker.is_alive():
                mutate(model)
                before = model.__getstate__()
    finally:
        worker.join()
    assert model.__getstate__() == before
    mutate(model)  # and once the encoder is done, the change goes through


def test_train_batch_checks_the_guard_after_converting():
    """A document whose conversion starts an encoder once let train_batch change the table under it."""
    model = BM25()
    holder = {}

    class StartsEncoder(collections.UserList):
        def __getitem__(self, index):
            if "worker" not in holder:
                holder["worker"] = encoding_in_background(model, lambda m, docs: m.encode_queries_csr(docs))
                time.sleep(0.05)
            return super().__getitem__(index)

    try:
        before = None
        with pytest.raises(RuntimeError, match="^BM25 cannot change while another thread encodes with it$"):
            model.train_batch([["x"], StartsEncoder(["a", "b"])])
        before = model.__getstate__()
    finally:
        holder["worker"].join()
    assert model.__getstate__() == before


FORK_DURING_ENCODE = """
import os, threading, time
import duzudavida
model = duzudavida.BM25()
words = [f"t{i}" for i in range(5000)]
docs = [words[j % 4900 : j % 4900 + 100] for j in range(40000)]
model.train_batch(docs[:2000])
worker = threading.Thread(target=model.encode_documents_csr, args=(docs,))
worker.start()
while True:  # until the worker is inside the encoder
    try:
        model.b(0.75)
    except RuntimeError:
        break
pid = os.fork()
if pid == 0:
    try:
        model.b(0.5)
        model.train(["a"])
        os._exit(0 if model.b() == 0.5 else 3)
    except BaseException as error:
        print("child:", error, flush=True)
        os._exit(2)
_, status = os.waitpid(pid, 0)
print("alive" if worker.is_alive() else "done", os.waitstatus_to_exitcode(status))
worker.join()
"""


def test_child_of_fork_during_an_encode_can_change_its_model():
    result = run_isolated(FORK_DURING_ENCODE, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["alive", "0"], result.stdout


class Annotated(BM25):
    def __init__(self, name):
        super().__init__(0.5, 1.5)
        self.name = name


def test_live_init_and_setstate_do_what_they_say(example_model):
    state = example_model.__getstate__()
    model = BM25(0.3)
    model.train(["z"])
    model.__setstate__(state)
    assert model.__getstate__() == state
    for bad in (b"garbage", (b"DZB1", {})):
        with pytest.raises((ValueError, TypeError)):
            model.__setstate__(bad)
        assert model.__getstate__() == state
    model.__init__(0.25, k1=2.0)
    assert model.__getstate__() == BM25(0.25, 2.0).__getstate__()
    with pytest.raises(TypeError):
        model.__init__("x")
    assert model.__getstate__() == BM25(0.25, 2.0).__getstate__()


def test_subclass_keeps_its_attributes_when_pickled_or_copied(example_model):
    model = Annotated("corpus")
    model.merge(example_model)
    for restored in (pickle.loads(pickle.dumps(model)), copy.copy(model), copy.deepcopy(model)):
        assert type(restored) is Annotated and restored.name == "corpus"
        assert restored.__getstate__() == model.__getstate__()
    plain = Annotated.__new__(Annotated)
    plain.__setstate__(example_model.__getstate__())
    assert plain.__getstate__() == example_model.__getstate__() and not plain.__dict__


@pytest.mark.parametrize(
    "make",
    [
        lambda: BM25(math.nan),
        lambda: BM25(0.75, -math.inf),
        lambda: loaded('"_doc_count": -3, "_doc_length_average": -1.0'),
        lambda: loaded('"_doc_count": 3, "_doc_length_average": 1.0, "_doc_token_frequency": {"a": -1}'),
    ],
    ids=["nan-b", "infinite-k1", "negative-doc-count-and-average", "negative-count"],
)
def test_any_model_the_calls_make_pickles_exactly(make):
    model = make()
    for call in (lambda m: pickle.loads(pickle.dumps(m)), copy.copy, copy.deepcopy):
        assert call(model).__getstate__() == model.__getstate__()


def loaded(fields: str) -> BM25:
    model = BM25()
    model.load("{" + fields + ', "_b": 0.75, "_k1": 1.2}')
    return model


@not_sanitized
def test_sparse_rows_do_not_copy_each_occurrence_of_a_token():
    """300 occurrences of one 10 MB token once cost 2.9 GB as copies; train_batch cost nothing extra."""
    script = (
        "import resource, duzudavida\n"
        "def status(key):\n"
        "    return next(int(l.split()[1]) * 1024 for l in open('/proc/self/status') if l.startswith(key))\n"
        "token = 'x' * 10_000_000\n"
        "docs = [[token]] * 300 + [[bytearray(b'y' * 10_000_000)]] * 300\n"
        "model = duzudavida.BM25()\n"
        "model.train_batch(docs[:1] + docs[-1:])\n"
        "limit = status('VmSize:') + 2**30\n"
        "resource.setrlimit(resource.RLIMIT_AS, (limit, limit))\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "base = status('VmRSS:')\n"
        "rows = model.encode_documents_csr(docs), model.encode_queries_csr(docs)\n"
        "print((status('VmHWM:') - base) // 2**20)\n"
    )
    result = run_isolated(script)
    assert result.returncode == 0, result.stderr[-2000:]
    assert int(result.stdout) < 200, f"{result.stdout.strip()} MB"
