"""The Python surface of Jieba: construction, segmentation facts, threads, and bad files."""

import copy
import itertools
import json
import os
import pathlib
import pickle
import subprocess
import sys
import threading
import time

import pytest
from conftest import ROOT, TEST_DATA, not_sanitized, run_isolated

from duzudavida import Jieba

NAMES = ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]


def golden_cases():
    for line in (TEST_DATA / "jieba_golden.tsv").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            sentence, cut, search = line.split("\t")
            yield pytest.param(sentence, cut.split("/"), search.split("/"), id=sentence[:8])


@pytest.mark.parametrize(("sentence", "cut", "search"), golden_cases())
def test_golden_sentences(jieba, sentence, cut, search):
    assert jieba.cut(sentence) == cut
    assert jieba.cut_for_search(sentence) == search


def test_construction_by_position_and_keyword_in_any_order(dict_paths):
    positional = Jieba(*(dict_paths[name] for name in NAMES))
    expected = positional.cut("我来到北京清华大学")
    for order in itertools.islice(itertools.permutations(NAMES), 0, 120, 37):
        assert Jieba(**{name: dict_paths[name] for name in order}).cut("我来到北京清华大学") == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda j, p: Jieba(*(p[n] for n in NAMES[:4])),
        lambda j, p: Jieba(**{**p, "dict_path": 3}),
        lambda j, p: Jieba(*(p[n] for n in NAMES), "extra"),
        lambda j, p: j.cut(text="中国"),
        lambda j, p: j.cut(["中国"]),
        lambda j, p: j.cut_for_search(None),
    ],
    ids=["four-args", "path-not-text", "six-args", "wrong-keyword", "list", "none"],
)
def test_wrong_arguments_raise_type_error(jieba, dict_paths, call):
    with pytest.raises(TypeError):
        call(jieba, dict_paths)


@pytest.mark.parametrize("method", ["cut", "cut_for_search"])
def test_sentence_forms(jieba, method):
    segment = getattr(jieba, method)
    assert segment("") == []
    assert segment(sentence="中国科学院") == segment("中国科学院")
    text = "小明硕士毕业于中国科学院计算所"
    assert segment(text.encode()) == segment(text)
    assert segment(bytearray(text.encode())) == segment(text)


def test_undecodable_bytes_give_no_words_and_a_log_line(jieba, capfd):
    assert jieba.cut(b"\xff") == []
    assert "decode failed. " in capfd.readouterr().err


def test_leniently_decoded_bytes_raise_unicode_error(jieba):
    with pytest.raises(UnicodeDecodeError):
        jieba.cut(b"\xc3\x41")


def test_cut_joins_back_to_the_sentence(jieba, novel_lines):
    for line in novel_lines[::25]:
        assert "".join(jieba.cut(line)) == line


def test_search_adds_contained_words_before_each_long_word(jieba, novel_lines):
    for line in novel_lines[::25] + ["小明硕士毕业于中国科学院计算所，后在日本京都大学深造"]:
        words = jieba.cut(line)
        search = iter(jieba.cut_for_search(line))
        for word in words:
            # Every added piece is a shorter word inside the long word that follows it.
            for piece in search:
                if piece == word:
                    break
                assert piece in word and len(piece) < len(word), (line, word, piece)
            else:
                pytest.fail(f"{word!r} of cut() missing from cut_for_search({line!r})")


def test_empty_user_dictionary_path_uses_main_dictionary_alone(dict_paths):
    alone = Jieba(**{**dict_paths, "user_dict_path": ""})
    assert alone.cut("韩玉鉴赏") != ["韩玉鉴赏"]
    assert Jieba(**dict_paths).cut("韩玉鉴赏") == ["韩玉鉴赏"]
    both = Jieba(**{**dict_paths, "user_dict_path": f"{dict_paths['user_dict_path']}|{TEST_DATA / 'user_extra.utf8'}"})
    assert both.cut("我在咕噜咕噜巴") == ["我", "在", "咕噜咕噜巴"]


def test_threads_reproduce_serial_results(jieba, novel_lines):
    chunks = ["".join(novel_lines[i : i + 200]) for i in range(0, 1600, 200)]
    expected = [(jieba.cut(c), jieba.cut_for_search(c)) for c in chunks]
    results = [None] * len(chunks)

    def work(index):
        results[index] = (jieba.cut(chunks[index]), jieba.cut_for_search(chunks[index]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(chunks))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected


@pytest.mark.parametrize("call", ["cut", "cut_batch"])
def test_other_threads_run_during_a_long_cut(jieba, novel_lines, call):
    text = "".join(novel_lines) * 2
    window = {}

    def work():
        window["start"] = time.perf_counter()
        jieba.cut(text) if call == "cut" else jieba.cut_batch(novel_lines * 2, threads=1)
        window["end"] = time.perf_counter()

    ticks = []
    worker = threading.Thread(target=work)
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    inside = [t for t in ticks if window["start"] < t < window["end"]]
    assert len(inside) > 100, f"main thread ran {len(inside)} times during the cut"


def write(path: pathlib.Path, content: str) -> str:
    path.write_text(content, encoding="utf-8")
    return str(path)


@pytest.mark.parametrize(
    ("name", "content", "pattern"),
    [
        ("dict_path", "中国 3 n\n中 2\n", r":2: expected \"word weight tag\""),
        ("dict_path", "", r":1: dictionary is empty"),
        ("dict_path", "中国 0 n\n", r":1: weight must be a number above zero"),
        ("hmm_path", "0.1 0.2 0.3 0.4\n1 2 3\n", r":2: expected 4 probabilities"),
        ("hmm_path", "0.1 0.2 0.3 0.4\n", r":2: HMM model ends after 1 of its 9 lines"),
        ("idf_path", "", r":1: IDF file is empty"),
    ],
    ids=["dict-fields", "dict-empty", "dict-weight", "hmm-fields", "hmm-short", "idf-empty"],
)
def test_malformed_files_raise_value_error(dict_paths, tmp_path, name, content, pattern):
    bad = write(tmp_path / "bad.utf8", content)
    with pytest.raises(ValueError, match=rf"^{bad}{pattern}"):
        Jieba(**{**dict_paths, name: bad})


@pytest.mark.parametrize("name", NAMES)
def test_missing_files_raise_file_not_found(dict_paths, tmp_path, name):
    missing = str(tmp_path / "missing.utf8")
    with pytest.raises(FileNotFoundError) as raised:
        Jieba(**{**dict_paths, name: missing})
    assert raised.value.filename == missing


@pytest.mark.parametrize(
    ("user_dict_path", "error", "filename"),
    [
        ("{dir}", IsADirectoryError, "{dir}"),
        ("{user}|{dir}/missing", FileNotFoundError, "{dir}/missing"),
        ("{user}||{user}", FileNotFoundError, ""),
    ],
    ids=["directory", "second-missing", "empty-between-separators"],
)
def test_user_dictionary_list_is_checked_per_file(dict_paths, tmp_path, user_dict_path, error, filename):
    values = {"dir": str(tmp_path), "user": dict_paths["user_dict_path"]}
    with pytest.raises(error) as raised:
        Jieba(**{**dict_paths, "user_dict_path": user_dict_path.format(**values)})
    assert raised.value.filename == filename.format(**values)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file_raises_permission_error(dict_paths, tmp_path):
    locked = tmp_path / "locked.utf8"
    locked.write_text("x 1 n\n", encoding="utf-8")
    locked.chmod(0)
    with pytest.raises(PermissionError):
        Jieba(**{**dict_paths, "dict_path": str(locked)})


def test_interpreter_survives_bad_files(dict_paths, tmp_path):
    bad = write(tmp_path / "bad.utf8", "only two\n")
    script = (
        "import sys, duzudavida\n"
        "paths = sys.argv[1:]\n"
        "for index in range(5):\n"
        "    try:\n"
        "        duzudavida.Jieba(*[sys.argv[1] if i == index else p for i, p in enumerate(paths[1:])])\n"
        "    except (ValueError, OSError) as error:\n"
        "        print(type(error).__name__)\n"
        "print('alive')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script, bad, *(dict_paths[n] for n in NAMES)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    # The user dictionary, the IDF table and the stop words accept any content; the other two refuse it.
    assert result.stdout.split() == ["ValueError", "ValueError", "alive"]


def test_uninitialised_objects_raise_type_error():
    script = (
        "import duzudavida\n"
        "calls = [(duzudavida.Jieba, lambda o: o.cut('abc')), (duzudavida.Jieba, lambda o: o.cut_for_search('abc')),\n"
        "         (duzudavida.BM25, lambda o: o.b()), (duzudavida.BM25, lambda o: o.train(['a'])),\n"
        "         (duzudavida.BM25, lambda o: o.encode_query([1])), (duzudavida.BM25, lambda o: o.load('{}'))]\n"
        "for cls, call in calls:\n"
        "    try:\n"
        "        call(cls.__new__(cls))\n"
        "    except TypeError as error:\n"
        "        print(error)\n"
    )
    result = run_isolated(script)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"duzudavida.{name} object is not initialized: its __init__ was never called"
        for name in ["Jieba"] * 2 + ["BM25"] * 4
    ]


def test_fifos_are_refused_by_name_without_waiting_for_a_writer(dict_paths, tmp_path):
    """Any of the five paths, in the constructor or a state, with or without a writer: a FIFO's bytes
    depend on a writer's timing, and opening one without a writer used to block for ever."""
    fifo = tmp_path / "once.fifo"
    os.mkfifo(fifo)
    script = (
        "import pickle, sys, threading, duzudavida\n"
        "names = ['dict_path', 'hmm_path', 'user_dict_path', 'idf_path', 'stop_word_path']\n"
        "fifo, paths = sys.argv[1], dict(zip(names, sys.argv[2:]))\n"
        "def serve():\n"
        "    with open(fifo, 'wb') as writer:\n"
        "        writer.write(open(paths['dict_path'], 'rb').read())\n"
        "calls = [lambda given: duzudavida.Jieba(**given),\n"
        "         lambda given: duzudavida.Jieba.__new__(duzudavida.Jieba).__setstate__((*given.values(), []))]\n"
        "for name in names:\n"
        "    for call in calls:\n"
        "        try:\n"
        "            call({**paths, name: fifo})\n"
        "        except ValueError as error:\n"
        "            print(error)\n"
        "threading.Thread(target=serve, daemon=True).start()\n"
        "try:\n"
        "    duzudavida.Jieba(**{**paths, 'dict_path': fifo})\n"
        "except ValueError as error:\n"
        "    print(error)\n"
    )
    result = run_isolated(script, str(fifo), *(dict_paths[n] for n in NAMES), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"{fifo}: a FIFO, not a regular file"] * 11


def test_endless_file_is_refused_by_name(dict_paths):
    with pytest.raises(ValueError, match=r"^/dev/zero: file is larger than 256 MiB$"):
        Jieba(**{**dict_paths, "idf_path": "/dev/zero"})


@pytest.mark.parametrize(
    ("name", "content"),
    [("stop_word_path", ""), ("idf_path", "a 0\nb -2\nno value\n")],
    ids=["no-stop-words", "idf-average-below-zero"],
)
def test_files_the_library_loads_without_harm_are_accepted(dict_paths, tmp_path, name, content):
    jieba = Jieba(**{**dict_paths, name: write(tmp_path / "file.utf8", content)})
    assert jieba.cut("我来到北京清华大学") == ["我", "来到", "北京", "清华大学"]


@not_sanitized
@pytest.mark.parametrize("headroom_mb", [60, 400])
def test_exhausted_memory_in_the_library_raises_memory_error(dict_paths, headroom_mb):
    script = (
        "import resource, sys, duzudavida\n"
        "jieba = duzudavida.Jieba(*sys.argv[2:])\n"
        "size = next(int(l.split()[1]) * 1024 for l in open('/proc/self/status') if l.startswith('VmSize:'))\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (int(sys.argv[1]) << 20), resource.RLIM_INFINITY))\n"
        "try:\n"
        "    jieba.cut(b'a' * 20_000_000)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
        "print(jieba.cut('我来到北京清华大学'))\n"
    )
    result = run_isolated(script, str(headroom_mb), *(dict_paths[n] for n in NAMES))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "['我', '来到', '北京', '清华大学']"]


BATCH_SENTENCES = ["我来到北京清华大学", b"\xe5\x8d\x97\xe4\xba\xac\xe5\xb8\x82", bytearray("长江大桥".encode()), "",
                   b"\xff", "a😀b 中文", "南京市长江大桥" * 50]


@pytest.mark.parametrize("threads", [0, 1, 2, 7])
@pytest.mark.parametrize("mode", ["cut", "cut_for_search"])
def test_batches_equal_single_calls(jieba, novel_lines, mode, threads):
    sentences = BATCH_SENTENCES + novel_lines[:300]
    batch = getattr(jieba, f"{mode}_batch")
    assert batch(sentences, threads=threads) == [getattr(jieba, mode)(s) for s in sentences]
    assert batch(tuple(sentences[:3]), threads) == batch(sentences[:3])
    assert batch([]) == []


@pytest.mark.parametrize(
    ("sentences", "threads", "error", "pattern"),
    [
        (["a", 3], 0, TypeError, r"^sentences\[1\] is int, not str, bytes or bytearray$"),
        (iter(["a"]), 0, TypeError, r"incompatible function arguments"),
        (["a"], -1, ValueError, r"^threads must be 0 \(every usable processor\) or more, not -1$"),
        (["ok", b"\xc3\x41"], 2, UnicodeDecodeError, r"can't decode byte 0xc3"),
    ],
    ids=["bad-item", "not-a-list", "negative-threads", "undecodable-word"],
)
def test_batch_errors(jieba, sentences, threads, error, pattern):
    with pytest.raises(error, match=pattern):
        jieba.cut_batch(sentences, threads=threads)


def test_pickled_segmenter_loads_its_paths_again(jieba, dict_paths):
    state = jieba.__getstate__()
    assert state == (*(dict_paths[name] for name in NAMES), [])
    for restored in (pickle.loads(pickle.dumps(jieba, protocol=5)), copy.deepcopy(jieba)):
        assert restored.cut_for_search("我来到北京清华大学") == jieba.cut_for_search("我来到北京清华大学")
    with pytest.raises(FileNotFoundError):
        Jieba.__new__(Jieba).__setstate__(("/missing/dict", *state[1:]))
    with pytest.raises(ValueError, match="^not a Jieba state$"):
        Jieba.__new__(Jieba).__setstate__(state[:5])


@pytest.fixture(scope="session")
def library_reference(dict_paths) -> list[dict]:
    """What cppjieba itself gives for every line of the novel (a benchmark-only C++ program)."""
    build = ROOT / "build" / "bench"
    import pybind11

    subprocess.run(["cmake", "-S", str(ROOT / "bench" / "native"), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}",
                    f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "jieba_reference"], check=True, capture_output=True)
    out = subprocess.run([str(build / "jieba_reference"), str(pathlib.Path(dict_paths["dict_path"]).parent),
                          str(ROOT / "third_party" / "weicheng.utf8")], check=True, capture_output=True, text=True)
    return [json.loads(line) for line in out.stdout.splitlines()]


def test_modes_agree_with_the_library_on_every_line(jieba, library_reference):
    lines = (ROOT / "third_party" / "weicheng.utf8").read_bytes().decode().split("\n")  # as getline splits
    for line, expected in zip(lines, library_reference):
        assert jieba.cut_all(line) == expected["all"]
        assert [w for w, _, _ in jieba.tokenize(line, hmm=False)] == expected["nohmm"]
        assert [w for w, _, _ in jieba.tokenize(line, mode="search", hmm=False)] == expected["search_nohmm"]
        assert jieba.tag(line) == [tuple(pair) for pair in expected["tag"]]
        assert jieba.extract_keywords(line, top_k=5) == [tuple(pair) for pair in expected["keywords"]]


@pytest.mark.parametrize("sentence", ["他来到了网易杭研大厦", "a😀b 中文𠀀字", "南京市长江大桥" * 3, ""])
@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_tokenize_offsets_slice_the_sentence(jieba, sentence, as_bytes):
    given = sentence.encode() if as_bytes else sentence
    for mode, cut in (("default", jieba.cut), ("search", jieba.cut_for_search)):
        tokens = jieba.tokenize(given, mode=mode)
        assert [word for word, _, _ in tokens] == cut(given)
        assert all(sentence[start:end] == word for word, start, end in tokens)
    assert "".join(word for word, _, _ in jieba.tokenize(given)) == sentence


@pytest.mark.parametrize(
    ("call", "error", "pattern"),
    [
        (lambda j: j.tokenize("a", mode="full"), ValueError, r'^mode must be "default" or "search", not "full"$'),
        (lambda j: j.extract_keywords("a", top_k=-1), ValueError, r"^top_k must be 0 or more, not -1$"),
        (lambda j: j.tag(b"\xc3\x41"), UnicodeDecodeError, r"can't decode byte 0xc3"),
        (lambda j: j.insert_user_word(3), TypeError, r"incompatible function arguments"),
    ],
    ids=["tokenize-mode", "negative-top-k", "undecodable-tag", "word-not-text"],
)
def test_segmentation_argument_errors(jieba, call, error, pattern):
    with pytest.raises(error, match=pattern):
        call(jieba)


def test_inserted_words_reach_every_method_and_pickles(dict_paths):
    jieba = Jieba(**dict_paths)
    sentence = "他来到了网易杭研大厦"
    assert jieba.insert_user_word("杭研大厦") is True
    assert jieba.insert_user_word("网易杭".encode(), freq=5, tag="nz") is True
    assert jieba.insert_user_word(b"\xff") is False  # the library cannot decode it
    assert "杭研大厦" in jieba.cut(sentence) and ("杭研大厦", "x") in jieba.tag(sentence)
    assert "网易杭" in jieba.cut_all(sentence)
    restored = pickle.loads(pickle.dumps(jieba))
    assert [restored.cut(s) for s in (sentence, "网易杭州")] == [jieba.cut(s) for s in (sentence, "网易杭州")]
    # A word of one character goes into the dictionary, but mixed mode's HMM may still join it with
    # its neighbours: the library keeps apart only the single characters of user dictionary files.
    jieba.insert_user_word("杭")
    assert jieba.cut("来到杭研") == ["来到", "杭研"]


def test_cuts_see_a_word_inserted_meanwhile_before_or_after(dict_paths, novel_lines):
    jieba, states = Jieba(**dict_paths), Jieba(**dict_paths)
    lines = novel_lines[:40]
    words = ["方鸿渐留学", "苏小姐爱情", "三闾大学教授", "孙柔嘉结婚"]
    # The segmentation of every line after each number of inserts, 0 to 4.
    expected = [[states.cut(line) for line in lines]]
    for word in words:
        states.insert_user_word(word)
        expected.append([states.cut(line) for line in lines])
    failures = []

    def cut_lines():
        for _ in range(3):
            for index, line in enumerate(lines):
                got = jieba.cut(line)
                if all(got != state[index] for state in expected):
                    failures.append(line)

    threads = [threading.Thread(target=cut_lines) for _ in range(3)]
    for thread in threads:
        thread.start()
    for word in words:
        jieba.insert_user_word(word)
    for thread in threads:
        thread.join()
    assert failures == []
    assert [jieba.cut(line) for line in lines] == expected[-1]
