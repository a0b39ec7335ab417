"""Compiled dictionaries: save, map, refuse stale or damaged files, pickle."""

import os
import pickle
import shutil
from pathlib import Path

import pytest

from duzudavida import Jieba, default_paths

SENTENCES = ["我来到北京清华大学", "他来到了网易杭研大厦", "小明硕士毕业于中国科学院计算所，后在日本京都大学深造", "abc 123 😀"]


def outputs(jieba: Jieba) -> list:
    return [
        (jieba.cut(s), jieba.cut_for_search(s), jieba.cut_all(s), jieba.tag(s), jieba.extract_keywords(s, 5))
        for s in SENTENCES
    ]


@pytest.fixture(scope="module")
def copied_paths(tmp_path_factory, dict_paths) -> dict[str, str]:
    folder = tmp_path_factory.mktemp("dict")
    return {name: str(shutil.copy(path, folder / Path(path).name)) for name, path in dict_paths.items()}


def test_saved_and_loaded_compiled_dictionary_answers_as_the_files(copied_paths, tmp_path):
    built = Jieba(**copied_paths)
    built.insert_user_word("网易杭研", 10, "nt")  # inserted words are not compiled
    built.save_compiled(str(tmp_path / "d.compiled"))
    mapped = Jieba.load_compiled(str(tmp_path / "d.compiled"), **copied_paths)
    assert outputs(mapped) == outputs(Jieba(**copied_paths))
    mapped.insert_user_word("网易杭研", 10, "nt")
    assert outputs(mapped) == outputs(built)
    assert outputs(pickle.loads(pickle.dumps(mapped))) == outputs(built)


def test_compiled_dictionary_beside_the_main_one_is_used_only_for_its_own_bytes(copied_paths, tmp_path):
    paths = {name: str(shutil.copy(path, tmp_path / Path(path).name)) for name, path in copied_paths.items()}
    Jieba(**paths).save_compiled(paths["dict_path"] + ".compiled")
    assert Jieba(**paths).cut("我来到北京清华大学") == ["我", "来到", "北京", "清华大学"]
    with open(paths["user_dict_path"], "a", encoding="utf-8") as user:
        user.write("来到北京 99999 v\n")
    # Stale beside the dictionary: ignored; named explicitly: refused.
    assert Jieba(**paths).cut("我来到北京清华大学") == ["我", "来到北京", "清华大学"]
    with pytest.raises(ValueError, match="compiled from other dictionary files"):
        Jieba.load_compiled(paths["dict_path"] + ".compiled", **paths)


@pytest.mark.parametrize(
    ("content", "message"),
    [(b"", "shorter than its header"), (b"DZJIEBA\x1a" + b"\x00" * 400, "wrong byte order"),
     (b"x" * 1000, "wrong magic")],
    ids=["empty", "zero-header", "not-compiled"],
)
def test_damaged_compiled_files_raise_value_error(copied_paths, tmp_path, content, message):
    (tmp_path / "bad").write_bytes(content)
    with pytest.raises(ValueError, match=message):
        Jieba.load_compiled(str(tmp_path / "bad"), **copied_paths)


def test_compiled_file_paths_that_are_not_files(copied_paths, tmp_path):
    with pytest.raises(FileNotFoundError):
        Jieba.load_compiled(str(tmp_path / "missing"), **copied_paths)
    with pytest.raises(IsADirectoryError):
        Jieba.load_compiled(str(tmp_path), **copied_paths)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        Jieba.load_compiled(str(fifo), **copied_paths)
    # Saving never replaces what is not a regular file, nor writes through a link at its
    # temporary name.
    with pytest.raises(ValueError, match="not a regular file"):
        Jieba(**copied_paths).save_compiled(str(fifo))
    assert fifo.is_fifo()
    victim = tmp_path / "victim"
    victim.write_bytes(b"kept")
    os.symlink(victim, tmp_path / f"out.tmp{os.getpid()}.0")
    Jieba(**copied_paths).save_compiled(str(tmp_path / "out"))
    assert victim.read_bytes() == b"kept" and (tmp_path / "out").stat().st_size > 1000


def test_the_installed_default_dictionary_ships_compiled():
    paths = default_paths()
    compiled = Path(paths["dict_path"] + ".compiled")
    if not compiled.is_file():
        pytest.skip("module imported from a build folder, whose dictionary is not compiled")
    mapped = Jieba.load_compiled(str(compiled), **paths)
    assert mapped.cut("我来到北京清华大学") == ["我", "来到", "北京", "清华大学"]
