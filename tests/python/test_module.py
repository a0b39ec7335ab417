"""The package: what it exports, pickles that name it, and the interpreter-version check of its
extension's entry."""

import copy
import glob
import importlib.metadata
import os
import pickle
import shutil
import subprocess
import sys

import pytest

import duzudavida


def test_exports_the_classes_and_the_package_helpers():
    public = [name for name in vars(duzudavida) if not name.startswith("_")]
    assert sorted(public) == sorted(name for name in duzudavida.__all__ if not name.startswith("_"))
    assert sorted(duzudavida.__all__) == ["BM25", "BM25Index", "Jieba", "__version__", "default_paths"]
    native = duzudavida._native
    assert [getattr(duzudavida, name) for name in duzudavida.__all__] == [
        getattr(native, name) for name in duzudavida.__all__
    ]
    assert duzudavida.__version__ == importlib.metadata.version("duzudavida")


# What the single-module release 0.1.0 wrote for pickle.dumps(BM25(0.75, 1.2), protocol=4): the
# class by the name duzudavida.BM25, then the model's state.
RELEASED_BM25_PICKLE = (
    b"\x80\x04\x95N\x00\x00\x00\x00\x00\x00\x00\x8c\nduzudavida\x94\x8c\x04BM25\x94\x93\x94)\x81\x94C0DZB1"
    + b"\x00" * 6 + b"\xe8?333333\xf3?" + b"\x00" * 28 + b"\x94b."
)


@pytest.mark.parametrize("name", ["BM25", "BM25Index", "Jieba", "default_paths"])
def test_native_names_belong_to_the_package(name):
    """Pickles, reprs and messages name duzudavida.X, never the private extension module."""
    value = getattr(duzudavida, name)
    assert value.__module__ == "duzudavida"
    if isinstance(value, type):
        assert repr(value) == f"<class 'duzudavida.{name}'>"


def test_pickles_name_the_package_both_ways(dict_paths):
    for value in (duzudavida.BM25(), duzudavida.BM25Index(), duzudavida.Jieba(**dict_paths)):
        data = pickle.dumps(value, protocol=4)
        assert b"duzudavida\x94" in data and b"_native" not in data
        assert type(pickle.loads(data)) is type(value)
    released = pickle.loads(RELEASED_BM25_PICKLE)
    assert type(released) is duzudavida.BM25 and (released.b(), released.k1()) == (0.75, 1.2)
    assert pickle.dumps(released, protocol=4) == RELEASED_BM25_PICKLE


def subclasses(base):
    """Module-level subclasses (pickle finds classes by name): slots, more slots, slots and a dict."""
    made = []
    for name, parent, body in [
        ("Slotted", getattr(duzudavida, base), {"__slots__": ("kept", "unset")}),
        ("Both", None, {"__slots__": ("more",)}),
        ("WithDict", None, {}),
    ]:
        cls = type(name + base, (parent or made[0],), {**body, "__module__": __name__})
        globals()[cls.__name__] = cls
        made.append(cls)
    return made


SUBCLASSES = {base: subclasses(base) for base in ("BM25", "BM25Index", "Jieba")}
MAKERS = {
    "BM25": lambda cls: cls(0.5, 1.5),
    "BM25Index": lambda cls: cls(),
    "Jieba": lambda cls: cls(**duzudavida.default_paths()),  # mapped: quick to load again
}


@pytest.mark.parametrize("base", MAKERS)
def test_subclass_slots_and_attributes_survive_pickle_and_copy(base):
    """Slot values were lost; copyreg's protocol keeps them for Python classes."""
    slotted, both, with_dict = SUBCLASSES[base]
    cases = [(slotted, {"kept": [1]}), (both, {"kept": 2, "more": "m"}), (with_dict, {"kept": 3, "note": "n"})]
    for cls, values in cases:
        value = MAKERS[base](cls)
        for name, item in values.items():
            setattr(value, name, item)
        twins = [pickle.loads(pickle.dumps(value, protocol)) for protocol in (2, 5)]
        for twin in [*twins, copy.copy(value), copy.deepcopy(value)]:
            assert type(twin) is cls and pickle.dumps(twin) == pickle.dumps(value)
            assert {name: getattr(twin, name) for name in values} == values
            assert not hasattr(twin, "unset")


@pytest.mark.parametrize("base", MAKERS)
def test_a_state_whose_slot_names_are_not_str_changes_nothing(base):
    cls = SUBCLASSES[base][0]
    state = MAKERS[base](cls).__getstate__()
    if base == "Jieba":  # a Jieba takes a state only while it is new
        with pytest.raises(ValueError, match="^not a Jieba state$"):
            cls.__new__(cls).__setstate__((*state, None, {1: 2}))
        return
    target = cls()
    before = pickle.dumps(target)
    with pytest.raises(TypeError, match="a dict of slot values$"):
        target.__setstate__((state, None, {1: 2}))
    assert pickle.dumps(target) == before


def test_default_paths_of_a_module_without_its_dictionary(tmp_path):
    """A broken install (the dictionary folder missing beside the module) names the first file."""
    package = tmp_path / "duzudavida"
    package.mkdir()
    for name in ("__init__.py", os.path.basename(duzudavida._native.__file__)):
        shutil.copy(os.path.join(os.path.dirname(duzudavida._native.__file__), name), package)
    script = (
        "import duzudavida\n"
        "try:\n"
        "    duzudavida.default_paths()\n"
        "except FileNotFoundError as error:\n"
        "    print(error.filename)\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
        cwd=tmp_path, env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(package / "duzudavida-dict" / "jieba.dict.utf8")


def test_reimport_returns_cached_module():
    import importlib

    assert importlib.import_module("duzudavida") is duzudavida


# 3.13 removed symbols the module links against, so it fails before the entry runs.
OTHER_PYTHONS = sorted(glob.glob("/root/.pyenv/versions/3.1[01].*/bin/python3.1[01]"))


@pytest.mark.skipif(not OTHER_PYTHONS, reason="no other CPython 3.x interpreter on this machine")
@pytest.mark.parametrize("python", OTHER_PYTHONS)
def test_other_interpreter_gets_version_mismatch(python):
    script = (
        "import importlib.machinery, importlib.util, sys\n"
        "loader = importlib.machinery.ExtensionFileLoader(\n"
        f"    'duzudavida._native', {duzudavida._native.__file__!r})\n"
        "found = importlib.util.spec_from_loader('duzudavida._native', loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    result = subprocess.run([python, "-c", script], capture_output=True, text=True, timeout=60)
    version = subprocess.run(
        [python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True, timeout=60
    ).stdout.strip()
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."
    )


# The first calls that return numpy arrays, made by several threads at once (as a web server's
# pool makes them): pybind11 2.11 sets up its numpy support in a static whose initialiser imports
# a module, and a thread that waited there holding the interpreter lock hung the process. A finder
# that makes that import slow holds the window open, so that a fast machine cannot close it.
FIRST_ARRAY_CALLS = {
    "retrieve": "index = duzudavida.BM25Index()\nindex.add([['a', 'b'], ['a']])\n"
    "call = lambda: index.retrieve([['a']], k=3, threads=1)",
    "corpus_statistics": "index = duzudavida.BM25Index()\nindex.add([['a', 'b'], ['a']])\n"
    "call = lambda: index.corpus_statistics([['a']])",
    "search": "jieba = duzudavida.Jieba(**duzudavida.default_paths())\nindex = duzudavida.BM25Index()\n"
    "index.add([['南京'], ['长江']])\ncall = lambda: index.search(['南京市长江大桥'], jieba, k=3, threads=1)",
    "add_texts": "jieba = duzudavida.Jieba(**duzudavida.default_paths())\n"
    "call = lambda: duzudavida.BM25Index().add_texts(['南京市长江大桥', ''], jieba, skip_empty=True)",
    "tokenize_batch": "jieba = duzudavida.Jieba(**duzudavida.default_paths())\n"
    "call = lambda: jieba.tokenize_batch(['南京市长江大桥'], threads=1)",
    "encode_documents_csr": "model = duzudavida.BM25()\nmodel.train(['a', 'b'])\n"
    "call = lambda: model.encode_documents_csr([['a'], ['b']])",
    "encode_queries_csr": "model = duzudavida.BM25()\nmodel.train(['a', 'b'])\n"
    "call = lambda: model.encode_queries_csr([['a']])",
}
FIRST_CALLS_TOGETHER = """
import importlib.abc, sys, threading, time
import numpy
import duzudavida

class SlowImport(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name == "numpy.core.multiarray":
            time.sleep(0.2)
        return None

sys.meta_path.insert(0, SlowImport())
{setup}
barrier = threading.Barrier(4)
done = []

def first_call():
    barrier.wait()
    call()
    done.append(True)

threads = [threading.Thread(target=first_call) for _ in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(len(done))
"""


@pytest.mark.parametrize("call", FIRST_ARRAY_CALLS)
def test_first_array_calls_on_several_threads_at_once_finish(call):
    script = FIRST_CALLS_TOGETHER.format(setup=FIRST_ARRAY_CALLS[call])
    for _ in range(3):  # each run in a fresh process, where the set-up is still to be done
        try:
            result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            pytest.fail(f"four first {call} calls at once hung the process")
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "4"
