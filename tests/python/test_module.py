"""The package: what it exports, pickles that name it, and the interpreter-version check of its
extension's entry."""

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
