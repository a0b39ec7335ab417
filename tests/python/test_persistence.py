"""dump and load from Python: the document's bytes, the failure table, and round trips; and the
paths of every call that names a file."""

import math
import os

import pytest
from conftest import not_sanitized, run_isolated
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from duzudavida import BM25, BM25Index, Jieba

TRAINED_DOCUMENT = (
    "{\n"
    '  "_b" : 0.750000,\n'
    '  "_doc_count" : 2,\n'
    '  "_doc_length_average" : 2.500000,\n'
    '  "_doc_token_frequency" : {\n'
    '    "a" : 2,\n'
    '    "b" : 2,\n'
    '    "c" : 1\n'
    "  },\n"
    '  "_k1" : 1.200000\n'
    "}"
)
UNTRAINED_DOCUMENT = (
    "{\n"
    '  "_b" : 0.750000,\n'
    '  "_doc_count" : 0,\n'
    '  "_doc_length_average" : 0.000000,\n'
    '  "_doc_token_frequency" : {\n'
    "\n"
    "  },\n"
    '  "_k1" : 1.200000\n'
    "}"
)
PROBE = ["a", "b", "c", "old", "x"]


def dumped(model: BM25, tmp_path) -> bytes:
    path = tmp_path / "model.json"
    model.dump(str(path))
    return path.read_bytes()


def test_documents_byte_for_byte(example_model, tmp_path):
    assert dumped(example_model, tmp_path) == TRAINED_DOCUMENT.encode()
    assert dumped(BM25(), tmp_path) == UNTRAINED_DOCUMENT.encode()


def test_id_tokens_sort_as_text(tmp_path):
    model = BM25()
    model.train([9, 10, 100, -5])
    text = dumped(model, tmp_path).decode()
    assert [line.split('"')[1] for line in text.splitlines()[5:9]] == ["-5", "10", "100", "9"]


@pytest.mark.parametrize("path", ["", "/nonexistent-dir/model.json", "a\0b"], ids=["empty", "missing-dir", "nul"])
def test_dump_unopenable_path(path):
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        BM25().dump(path)


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("wrap", [str, lambda p: str(p).encode(), lambda p: p, lambda p: FsPath(str(p))], ids=["str", "bytes", "pathlib", "fspath"])
def test_dump_takes_any_path_like(example_model, tmp_path, wrap):
    example_model.dump(wrap(tmp_path / "model.json"))
    assert (tmp_path / "model.json").read_bytes() == TRAINED_DOCUMENT.encode()


def test_dump_reports_full_disk():
    with pytest.raises(RuntimeError, match="^Failed to dump: "):
        BM25().dump("/dev/full")


def test_dump_replaces_existing_file(example_model, tmp_path):
    path = tmp_path / "model.json"
    path.write_text("x" * 10000)
    example_model.dump(str(path))
    assert path.read_text() == TRAINED_DOCUMENT


def test_round_trip_restores_encodings_and_accepts_bytes(example_model, tmp_path):
    text = dumped(example_model, tmp_path)
    restored = BM25(0.1, 0.1)
    assert restored.load(text) is None
    assert restored.encode_query(PROBE) == example_model.encode_query(PROBE)
    assert restored.encode_document(PROBE) == example_model.encode_document(PROBE)
    restored.load(text.decode())
    assert restored.encode_query(PROBE) == example_model.encode_query(PROBE)


def model_with_old_token() -> BM25:
    model = BM25(0.9, 0.8)
    model.train(["old", "old"])
    return model


GOOD_TAIL = '"_doc_count": 3, "_doc_length_average": 2.5, "_b": 0.5, "_k1": 1.5'


@pytest.mark.parametrize(
    ("text", "error", "message", "after"),
    [
        ("", RuntimeError, "json data should not be empty", "unchanged"),
        ('{"_doc_token_frequency": {"a": 1, "b": 2.0}, ' + GOOD_TAIL + "}", RuntimeError,
         "load doc_token_frequency failed", "table-partial"),
        ('{"_doc_token_frequency": {"a": 1}, "_doc_count": 2.0}', RuntimeError, "load doc_count failed", "count-zero"),
        ("   ", RuntimeError, "load doc_count failed", "count-zero-only"),
        ("[1, 2]", RuntimeError, "load doc_count failed", "count-zero-only"),
        ('{"_doc_count": 3, "_b": 0.5, "_k1": 1.5}', RuntimeError, "load doc_length_average failed", "average-zero"),
        ('{"_doc_count": 3, "_doc_length_average": 2.5, "_b": 1, "_k1": 1.5}', RuntimeError, "load b failed",
         "b-zero"),
        ('{"_doc_count": 3, "_doc_length_average": 2.5, "_b": 0.5}', RuntimeError, "load k1 failed", "k1-zero"),
        ('{"_doc_token_frequency": {"a": 2147483648}, ' + GOOD_TAIL + "}", IndexError,
         "stol argument out of range", "unchanged"),
        ('{"_doc_count": 1e}', ValueError, "invalid stol argument", "unchanged"),
    ],
    ids=["empty", "token-floating", "count-floating", "whitespace", "array", "no-average", "b-integral",
         "no-k1", "count-range", "bad-exponent"],
)
def test_failed_load_leaves_documented_state(tmp_path, capfd, text, error, message, after):
    model = model_with_old_token()
    before = dumped(model, tmp_path).decode()
    with pytest.raises(error, match=f"^{message}$"):
        model.load(text)
    state = dumped(model, tmp_path).decode()
    expected = {
        "unchanged": before,
        "table-partial": before.replace('"old" : 2', '"a" : 1,\n    "b" : 0,\n    "old" : 2'),
        "count-zero": before.replace('"old" : 2', '"a" : 1,\n    "old" : 2').replace('"_doc_count" : 1', '"_doc_count" : 0'),
        "count-zero-only": before.replace('"_doc_count" : 1', '"_doc_count" : 0'),
        "average-zero": before.replace('"_doc_count" : 1', '"_doc_count" : 3')
        .replace("2.000000", "0.000000"),
        "b-zero": before.replace('"_doc_count" : 1', '"_doc_count" : 3').replace("2.000000", "2.500000")
        .replace('"_b" : 0.900000', '"_b" : 0.000000'),
        "k1-zero": before.replace('"_doc_count" : 1', '"_doc_count" : 3').replace("2.000000", "2.500000")
        .replace('"_b" : 0.900000', '"_b" : 0.500000').replace('"_k1" : 0.800000', '"_k1" : 0.000000'),
    }[after]
    assert state == expected
    capfd.readouterr()


def test_reader_diagnostics_reach_stderr_and_load_goes_on(example_model, tmp_path, capfd):
    text = dumped(example_model, tmp_path).decode()
    patched = text[:-1] + "x\n}"
    restored = BM25()
    restored.load(patched)
    assert capfd.readouterr().err == "ERROR: Object: Expected comma, found 'x'\n"
    assert restored.encode_query(PROBE) == example_model.encode_query(PROBE)


def test_every_prefix_loads_or_raises_documented_errors(example_model, tmp_path, capfd):
    text = dumped(example_model, tmp_path).decode()
    messages = {"json data should not be empty", "load doc_count failed", "load doc_length_average failed",
                "load b failed", "load k1 failed", "load doc_token_frequency failed",
                "invalid stol argument", "invalid stod argument"}
    loaded = 0
    for end in range(len(text) + 1):
        model = BM25()
        try:
            model.load(text[:end])
            loaded += 1
        except (RuntimeError, ValueError, IndexError) as raised:
            assert str(raised) in messages, (end, raised)
    assert loaded >= 1
    assert "ERROR" in capfd.readouterr().err


tokens = st.one_of(st.text(max_size=6), st.binary(max_size=6))
finite = st.floats(min_value=-100, max_value=100, allow_nan=False)
unit = st.floats(min_value=0, max_value=1)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(documents=st.lists(st.lists(tokens, min_size=1, max_size=8), min_size=1, max_size=6),
       b=st.one_of(unit, finite), k1=finite)
def test_round_trip_property(tmp_path, documents, b, k1):
    model = BM25(b, k1)
    for document in documents:
        model.train(document)
    restored = BM25()
    restored.load(dumped(model, tmp_path))
    vocabulary = [t for document in documents for t in document]
    decodable = [t for t in vocabulary if isinstance(t, str)]
    assert restored.encode_query(decodable) == model.encode_query(decodable)
    # b, k1 and the average come back with six decimals.
    assert (restored.b(), restored.k1()) == (float(f"{b:.6f}"), float(f"{k1:.6f}"))
    if 0.0 <= b <= 1.0 and k1 >= 0.1:
        # Where the weights are well conditioned, six decimals of input keep them close.
        got, expected = restored.encode_document(decodable), model.encode_document(decodable)
        assert got.keys() == expected.keys()
        assert all(math.isclose(got[t], expected[t], rel_tol=1e-4, abs_tol=1e-5) for t in got)
    assert dumped(restored, tmp_path) == dumped(model, tmp_path)


@pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan], ids=["inf", "-inf", "nan"])
def test_non_finite_parameters_survive(tmp_path, value):
    model = BM25(value, 1.0)
    model.k1(value)
    model.train(["a"])
    restored = BM25()
    restored.load(dumped(model, tmp_path))
    for restored_value in (restored.b(), restored.k1()):
        assert restored_value == value or (math.isnan(value) and math.isnan(restored_value))


LOCALE_SCRIPT = """
import locale, sys
import duzudavida
locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
assert locale.localeconv()["decimal_point"] == ","
model = duzudavida.BM25(0.25, 1.5)
model.train(["a", "b", "a"])
model.dump(sys.argv[1])
text = open(sys.argv[1], encoding="utf-8").read()
restored = duzudavida.BM25()
restored.load(text)
print(text.splitlines()[1], restored.b(), restored.k1(), restored.encode_query(["a", "b"]) == model.encode_query(["a", "b"]))
"""


def test_numbers_ignore_the_process_locale(tmp_path):
    """A host program with a decimal-comma locale still gets "." in documents, and reads them."""
    import shutil
    import subprocess
    import sys

    localedef = shutil.which("localedef")
    if localedef is None:
        pytest.skip("localedef is not installed")
    built = subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")],
                           capture_output=True)
    if not (tmp_path / "de_DE.UTF-8").is_dir():
        pytest.skip(f"could not build a de_DE locale: {built.stderr[-200:]!r}")
    result = subprocess.run([sys.executable, "-c", LOCALE_SCRIPT, str(tmp_path / "m.json")], capture_output=True,
                            text=True, env={"LOCPATH": str(tmp_path), "PATH": "/usr/bin:/bin"}, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ['"_b"', ":", "0.250000,", "0.25", "1.5", "True"]


@not_sanitized
@pytest.mark.parametrize("item", ["[]", "{}", '""', '{"k": [[], {}]}'], ids=["arrays", "objects", "strings", "nested"])
def test_hostile_document_costs_at_most_sixteen_times_its_size(item):
    """A member nobody reads once cost a container per item: 240 times the document for []."""
    script = (
        "import sys, duzudavida\n"
        "def status(key):\n"
        "    return next(int(l.split()[1]) * 1024 for l in open('/proc/self/status') if l.startswith(key))\n"
        "text = '{\"unknown\": [' + ','.join([sys.argv[1]] * 1_000_000) + '], ' + sys.argv[2] + '}'\n"
        "model = duzudavida.BM25()\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "base = status('VmRSS:')\n"
        "model.load(text)\n"
        "print((status('VmHWM:') - base) / len(text))\n"
    )
    result = run_isolated(script, item, GOOD_TAIL)
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) <= 16


def test_dump_to_a_fifo_nobody_reads_raises(example_model, tmp_path):
    """open() on a FIFO with no reader once blocked forever."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    script = (
        "import sys, duzudavida\n"
        "try:\n"
        "    duzudavida.BM25().dump(sys.argv[1])\n"
        "except RuntimeError as error:\n"
        "    print(error)\n"
    )
    result = run_isolated(script, str(fifo), timeout=30)
    assert result.stdout.strip() == "Failed to dump: Unable to open file", result.stderr


class StrSubclass(str):
    pass


# Every call that names a file, with `path` in that place.
PATH_CALLS = {
    "BM25.dump": lambda path, jieba, paths: BM25().dump(path),
    "BM25Index.save": lambda path, jieba, paths: BM25Index().save(path),
    "BM25Index.load": lambda path, jieba, paths: BM25Index.load(path, mmap=True),
    "Jieba": lambda path, jieba, paths: Jieba(**{**paths, "idf_path": path}),
    "Jieba.save_compiled": lambda path, jieba, paths: jieba.save_compiled(path),
    "Jieba.load_compiled": lambda path, jieba, paths: Jieba.load_compiled(path, **paths),
    "Jieba.load_compiled dict_path": lambda path, jieba, paths: Jieba.load_compiled(
        "absent", **{**paths, "dict_path": path}
    ),
}
SURROGATE = ("surrogates not allowed", UnicodeEncodeError)
UNENCODABLE_PATHS = {
    "lone surrogate": ("\ud800", *SURROGATE),
    "str subclass": (StrSubclass("a\udfff"), *SURROGATE),
    "fspath to a lone surrogate": (FsPath("\ud800"), *SURROGATE),
    "fspath to an int": (FsPath(3), r"__fspath__\(\) to return str or bytes, not int", TypeError),
}


@pytest.mark.parametrize("bad", UNENCODABLE_PATHS)
@pytest.mark.parametrize("call", PATH_CALLS)
def test_paths_the_file_system_cannot_take_raise_the_interpreters_error(call, bad, jieba, dict_paths):
    """Never pybind11's bare "Unable to cast" RuntimeError, nor a mismatch of overloads."""
    path, message, error = UNENCODABLE_PATHS[bad]
    with pytest.raises(error, match=message):
        PATH_CALLS[call](path, jieba, dict_paths)


NUL_ERRORS = {
    "BM25.dump": (RuntimeError, "^Failed to dump: Unable to open file$"),
    "BM25Index.save": (ValueError, "^embedded null byte$"),
    "BM25Index.load": (ValueError, "^embedded null byte$"),
    "Jieba": (ValueError, "^segmenter file path contains a NUL byte$"),
    "Jieba.save_compiled": (ValueError, "^compiled dictionary path contains a NUL byte$"),
    "Jieba.load_compiled": (ValueError, "^compiled dictionary path contains a NUL byte$"),
    "Jieba.load_compiled dict_path": (ValueError, "^segmenter file path contains a NUL byte$"),
}


@pytest.mark.parametrize("wrap", [str, os.fsencode], ids=["str", "bytes"])
@pytest.mark.parametrize("call", PATH_CALLS)
def test_paths_with_a_nul_byte_are_refused_before_anything_is_written(call, wrap, jieba, dict_paths, tmp_path):
    """The system calls would take the path cut at the NUL byte."""
    error, message = NUL_ERRORS[call]
    with pytest.raises(error, match=message):
        PATH_CALLS[call](wrap(str(tmp_path / "cut") + "\0.json"), jieba, dict_paths)
    assert list(tmp_path.iterdir()) == []
