"""Jieba against cppjieba itself, word for word: every mode, tag and keyword weight, and what the
library logs, on the novel, seeded random lines (bytes it cannot decode among them), lines of 1 MB,
hostile dictionaries and inserted words. The oracle is bench/native/jieba_reference.cpp, built
here through CMake; it reports each word's offsets, so any bytes pass through it exactly."""

import json
import operator
import pathlib
import random
import re
import string
import subprocess
import sys
from dataclasses import dataclass, field

import pytest

from conftest import SANITIZED
from duzudavida import Jieba

ROOT = pathlib.Path(__file__).resolve().parents[2]
NOVEL = (ROOT / "third_party" / "weicheng.utf8").read_text(encoding="utf-8")
TOP_K = 20
# A sanitized debug build cuts many times slower: there, a tenth of the random lines, and long
# lines of 100 KB.
SHARE = 10 if SANITIZED else 1
# The library's log line starts with the time and its source file, which differ between builds.
LOG_PREFIX = re.compile(rb"(?m)^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \S+:\d+ ")


@dataclass
class Case:
    lines: list[str | bytes]  # str where the module gets str, bytes where it gets bytes
    inserts: list[tuple[str | bytes, int | None, str | bytes | None]] = field(default_factory=list)
    files: dict[str, bytes] = field(default_factory=dict)  # replaces these of the default five
    calls: tuple[str, ...] = ()  # of CALLS, all when empty; the batches cut every line in any case


@pytest.fixture(scope="session")
def reference_program() -> pathlib.Path:
    build = ROOT / "build" / "bench"
    import pybind11

    subprocess.run(["cmake", "-S", str(ROOT / "bench" / "native"), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}",
                    f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "jieba_reference"], check=True, capture_output=True)
    return build / "jieba_reference"


def as_bytes(text: str | bytes) -> bytes:
    return text.encode() if isinstance(text, str) else text


def start_reference(program, paths: dict[str, str], case: Case, folder: pathlib.Path) -> subprocess.Popen:
    """The reference program at work on the case, beside the module's own calls (there are two cores)."""
    words = [f"x{as_bytes(w).hex()} {'-' if f is None else f} {'-' if t is None else 'x' + as_bytes(t).hex()}"
             for w, f, t in case.inserts]
    cases = "\n".join([str(TOP_K), str(len(words)), *words, *(as_bytes(line).hex() for line in case.lines)]) + "\n"
    (folder / "cases").write_text(cases)
    with open(folder / "cases", "rb") as given, open(folder / "expected", "wb") as out:
        return subprocess.Popen([str(program), *paths.values()], stdin=given, stdout=out, stderr=subprocess.PIPE)


def reference_results(process: subprocess.Popen, folder: pathlib.Path, count: int) -> tuple[dict, list[dict]]:
    _, errors = process.communicate()
    assert process.returncode == 0, errors
    header, *results = (json.loads(line) for line in (folder / "expected").read_bytes().splitlines())
    assert len(results) == count
    return header, results


def decoded(line: str | bytes, flat: list[int]):
    """The words at the reference's offsets, as the module returns them, with code point places;
    UnicodeDecodeError where one of them is not UTF-8. Built by C loops: lines of 1 MB have 200,000 words."""
    starts, lengths = flat[2::4], flat[3::4]
    ends = list(map(operator.add, starts, lengths))
    try:
        text = line if isinstance(line, str) else line.decode()  # valid UTF-8: code points are exact
    except UnicodeDecodeError:
        try:
            words = [line[flat[i]:flat[i] + flat[i + 1]].decode() for i in range(0, len(flat), 4)]
        except UnicodeDecodeError:
            return UnicodeDecodeError
    else:
        words = list(map(text.__getitem__, map(slice, starts, ends)))
    return list(zip(words, starts, ends))


def text_of(pairs: list[list[str]], weights: bool = False):
    """Hex-encoded (word, tag) or (word, %a weight) pairs as the module returns them (weights as
    their bits), UnicodeDecodeError where one is not UTF-8. C loops, as for decoded."""
    texts = lambda column: map(bytes.decode, map(bytes.fromhex, map(operator.itemgetter(column), pairs)))  # noqa: E731
    try:
        seconds = (float.fromhex(weight).hex() for _, weight in pairs) if weights else texts(1)
        return list(zip(texts(0), seconds))
    except UnicodeDecodeError:
        return UnicodeDecodeError


def outcome(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except UnicodeDecodeError:
        return UnicodeDecodeError


def words_of(tokens):
    return tokens if tokens is UnicodeDecodeError else [word for word, _, _ in tokens]


def weights_exact(keywords):
    """Keywords with each weight's bits (NaN compares equal to NaN here)."""
    return keywords if keywords is UnicodeDecodeError else [(word, weight.hex()) for word, weight in keywords]


def log_of(captured: str | bytes) -> bytes:
    return LOG_PREFIX.sub(b"", as_bytes(captured))


# Random lines: the novel's words and characters among ASCII, digits, punctuation, full-width
# forms, emoji, astral characters and every separator and near-separator; a quarter as bytes
# with sequences that are not UTF-8 (some the library decodes anyway, some that empty the line).
HAN = sorted({c for c in NOVEL if "\u4e00" <= c <= "\u9fff"})
LENIENT = [b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf", b"\xf0\x80\x80\xaf", b"\xed\xa0\x80", b"\xed\xbf\xbf",
           b"\x80a", b"\xbf\xbf", b"\xe4\xb8\xff", b"\xf4\x90\x80\x80"]
FATAL = [b"\xf8\x88\x80\x80\x80", b"\xfc", b"\xfe", b"\xff", b"\xe4\xb8", b"\xf0\x9f\x98", b"\xc3"]


def random_piece(rng: random.Random) -> str:
    kind = rng.randrange(12)
    if kind < 3:
        start = rng.randrange(len(NOVEL) - 12)
        return NOVEL[start:start + rng.randint(1, 12)]
    if kind < 5:
        return "".join(rng.choices(HAN, k=rng.randint(1, 4)))
    return rng.choice([
        lambda: "".join(rng.choices(string.ascii_letters, k=rng.randint(1, 6))),
        lambda: "".join(rng.choices(string.digits + ".", k=rng.randint(1, 5))),
        lambda: rng.choice(string.punctuation),
        lambda: chr(rng.randint(0xFF01, 0xFF5E)),
        lambda: rng.choice(["😀", "👍🏽", "❤️", "🇨🇳", chr(rng.randint(0x1F300, 0x1FAFF))]),
        lambda: chr(rng.randint(0x20000, 0x2A6DF)) + chr(rng.randint(0x10000, 0x10FFFF) & ~0xFFFF | 0x100),
        lambda: rng.choice([" ", "\t", "\r", "\n", "\r\n", "，", "。", "　", "、", "\x00", "\x0b"]),
    ])()


def random_lines(count: int, seed: int) -> list[str | bytes]:
    rng = random.Random(seed)
    lines: list[str | bytes] = []
    for _ in range(count):
        text = "".join(random_piece(rng) for _ in range(rng.randint(0, 40)))
        draw = rng.random()
        if draw < 0.6:
            lines.append(text)
        elif draw < 0.75:
            lines.append(text.encode())
        else:
            data = bytearray(text.encode("utf-8", "surrogatepass"))
            for _ in range(rng.randint(1, 3)):
                bad = rng.choice(FATAL) if rng.random() < 0.25 else rng.choice(LENIENT)
                at = rng.randint(0, len(data))
                while at < len(data) and 0x80 <= data[at] < 0xC0:  # between characters, not inside one
                    at += 1
                data[at:at] = bad
            lines.append(bytes(data))
    return lines


def megabyte_lines() -> list[str | bytes]:
    rng = random.Random(17)
    joined = NOVEL.replace("\n", "")
    bare = re.sub(r"[ \t\n，。]", "", NOVEL)
    times = (1 << 20) // len(NOVEL.encode()) + 1
    return [(joined * times)[: 350_000], (bare * times)[: 350_000].encode(),
            "".join(rng.choices(string.ascii_letters + string.digits, k=1 << 16))]


# Hostile user dictionaries: single characters, overrides of dictionary words, duplicates (the
# last wins), long words around the 512-rune cap, tags, 1-, 2- and 3-column lines, wrong column
# counts, weights of zero, below zero and not numbers, CR line ends, bytes that are not UTF-8.
def long_word(runes: int, seed: int) -> str:
    return "".join(random.Random(seed).choices(HAN, k=runes))


HOSTILE_USER_DICT = "\n".join([
    "的", "了 x", "是 100 v", "a", "1 5 m", "， 3 w", "。", "\t 2 x", "中国 1 n", "大学 100000 nz", "南京市 0 ns",
    "长江 -5 ns", "我们 abc r", "网易杭研 3 nt", "杭研大厦", "杭研大厦 7 nz", "一二三四五 6 m x", "两列 ", "",
    "  ", " 空 ", "回车 5 n\r", "单\r", "ab中文 4 eng", "😀 3 x", "𠀀𠀁 2 n", "方鸿渐 2147483647 nr",
    "鸿渐 1 nr", "苏小姐 9", long_word(30, 1), f"{long_word(511, 2)} 9 n", f"{long_word(512, 3)} 9 n",
    NOVEL[100:140].replace(" ", ""),
]).encode() + b"\n\xc0\xaf\xe4\xb8\xad 3 x\n\xff\xfe 2 n\n\xe4\xb8\n\xed\xa0\x80 4\n"

# Words past the 512-rune cap, a freq of 0 or less, empty words and tags that are not UTF-8 are
# refused by Jieba itself (test_jieba_hardening), so they are not given to both here.
INSERTS = [("杭研", None, None), ("研大", 5, None), ("大厦", 1, "nz"), ("中国", None, "ns"), ("的", None, None),
           ("了", 10, "u"), ("a", 3, "x"), ("鸿", 100000, None),
           (b"\xff", None, None), (b"\xc0\xaf", 2, "x"), (b"\xe4\xb8", None, None),
           (long_word(512, 6), 9, "n"), ("中国", 100, "n"), ("方鸿渐 先生", 8, "nr"),
           ("孙小姐", 2147483647, None), ("。", 4, "w")]

# A small main dictionary (the default's first lines, with duplicates and odd weights), IDF
# tables with values atof reads oddly (NaN makes the average, and so most weights, NaN), and stop words with blank and CR lines.
DEFAULT_DICT = (ROOT / "third_party" / "nodejieba-2.6.0" / "dict" / "jieba.dict.utf8").read_bytes()
SMALL_DICT = b"".join(DEFAULT_DICT.splitlines(keepends=True)[:60000:3]) + "\n".join([
    "中国 5 ns", "中国 500000 ns", "大学 0.5 n", "方鸿渐 1e-300 nr", "小姐 3e5 n", "的 1e9 uj", "a 7 eng", "1 7 m",
]).encode() + b"\n"
ODD_IDF = "\n".join(["中国 nan", "大学 inf", "小姐 -3", "方鸿渐", "先生 1e999", "的 0x10", "鸿渐 12.5 extra",
                     " 5", "", "他们 7.25"]).encode() + b"\n"
FINITE_ODD_IDF = "\n".join(["中国 -3", "大学 0x10", "小姐 1e-320", "方鸿渐", "先生 12.5 extra", "的 7.25e2"]).encode() + b"\n"
ODD_STOP_WORDS = "\n".join(["的", "", "了\r", "，", " ", "先生"]).encode() + b"\n"

# Ties between segmentations: 中 + 国人 and 中国 + 人 weigh exactly alike (one sum in either
# order), and the library keeps the path whose first word is shorter (its DP takes a later word
# only when it is strictly better). Beside them, words of 511 and 512 runes, the longest a cut
# looks for, in lines that hold them whole, cut short and run on.
TIE_DICT = "\n".join(["中 3 n", "国 3 n", "人 3 n", "民 3 n", "中国 100 ns", "国人 100 n", "人民 100 n"]).encode() + b"\n"
CAP_USER_DICT = f"{long_word(512, 3)} 9 n\n{long_word(511, 2)} 9 n\n".encode()
TIE_AND_CAP_LINES = ["中国人", "中国人中国人", "我中国人民", "人中国人 abc 中国人", long_word(512, 3), long_word(513, 3),
                     "中" + long_word(512, 3) + "国人", long_word(511, 2) + long_word(512, 3), long_word(512, 3)[:-1],
                     long_word(2000, 3), "中国人" * 300]

NOVEL_LINES = NOVEL.split("\n")  # as the library's getline splits, empty lines included
CASES = {  # built when their test runs, not at collection
    "novel": lambda: Case(NOVEL_LINES),
    "random": lambda: Case(random_lines(3000 // SHARE, seed=1)),
    # Cut with the HMM only in the batches, on two threads: each call on 1 MB takes a good part of a second.
    "megabyte-lines": lambda: Case([line[: len(line) // SHARE] for line in megabyte_lines()],
                                   calls=("cut_nohmm", "search_nohmm", "all", "tag", "keywords")),
    "hostile-user-dict": lambda: Case(NOVEL_LINES[:30] + random_lines(400 // SHARE, seed=2),
                                      files={"user_dict_path": HOSTILE_USER_DICT}),
    "user-dict-list": lambda: Case(random_lines(300 // SHARE, seed=3),
                                   files={"user_dict_path": HOSTILE_USER_DICT, "extra_user_dict": b"\xe7\x9a\x84 9 x\n",
                                          "idf_path": FINITE_ODD_IDF}),
    "inserted-words": lambda: Case(NOVEL_LINES[:30] + random_lines(400 // SHARE, seed=4), inserts=INSERTS),
    "ties-and-the-rune-cap": lambda: Case(TIE_AND_CAP_LINES + random_lines(200 // SHARE, seed=6),
                                         files={"dict_path": TIE_DICT, "user_dict_path": CAP_USER_DICT}),
    "hostile-everything": lambda: Case(NOVEL_LINES[60:100] + random_lines(400 // SHARE, seed=5), inserts=INSERTS,
                                       files={"dict_path": SMALL_DICT, "user_dict_path": HOSTILE_USER_DICT,
                                              "idf_path": ODD_IDF, "stop_word_path": ODD_STOP_WORDS}),
}


# Each call of the module: how it is made, what the reference says it gives, which of the
# reference's calls logs what it logs.
CALLS = {
    "cut": (lambda j, s: j.tokenize(s), lambda line, want: decoded(line, want["cut"]), "cut"),
    "cut-words": (lambda j, s: j.cut(s), lambda line, want: words_of(decoded(line, want["cut"])), "cut"),
    "cut_nohmm": (lambda j, s: j.tokenize(s, hmm=False), lambda line, want: decoded(line, want["cut_nohmm"]),
                  "cut_nohmm"),
    "search": (lambda j, s: j.tokenize(s, mode="search"), lambda line, want: decoded(line, want["search"]), "search"),
    "search-words": (lambda j, s: j.cut_for_search(s), lambda line, want: words_of(decoded(line, want["search"])),
                     "search"),
    "search_nohmm": (lambda j, s: j.tokenize(s, mode="search", hmm=False),
                     lambda line, want: decoded(line, want["search_nohmm"]), "search_nohmm"),
    "all": (lambda j, s: j.cut_all(s), lambda line, want: words_of(decoded(line, want["all"])), "all"),
    "tag": (lambda j, s: j.tag(s), lambda line, want: text_of(want["tag"]), "tag"),
    "keywords": (lambda j, s: weights_exact(outcome(j.extract_keywords, s, top_k=TOP_K)),
                 lambda line, want: text_of(want["keywords"], weights=True), "keywords"),
}


@pytest.mark.parametrize("name", list(CASES))
def test_every_mode_matches_the_library(name, dict_paths, reference_program, tmp_path, capfdbinary):
    case = CASES[name]()
    paths = dict(dict_paths)
    for key, content in case.files.items():
        (tmp_path / key).write_bytes(content)
        paths[key] = str(tmp_path / key)
    if "extra_user_dict" in case.files:
        paths["user_dict_path"] = f"{tmp_path / 'user_dict_path'}|{dict_paths['user_dict_path']};{paths.pop('extra_user_dict')}"
    process = start_reference(reference_program, paths, case, tmp_path)

    capfdbinary.readouterr()
    jieba = Jieba(**paths)
    inserted = [jieba.insert_user_word(word, freq=freq, tag=tag) for word, freq, tag in case.inserts]
    load_log = log_of(capfdbinary.readouterr().err)
    calls = [call for call in CALLS if call in case.calls] if case.calls else list(CALLS)
    got = []
    for line in case.lines:
        got.append({call: outcome(CALLS[call][0], jieba, line) for call in calls})
        got[-1]["log"] = log_of(capfdbinary.readouterr().err)
    # Batches on two threads, of the lines that are UTF-8 (their words are too), in order.
    batched = [index for index, line in enumerate(case.lines)
               if isinstance(line, str) or outcome(line.decode) is not UnicodeDecodeError]
    lines = [case.lines[index] for index in batched]
    batches = {"cut": jieba.cut_batch(lines, threads=2), "search": jieba.cut_for_search_batch(lines, threads=2)}
    capfdbinary.readouterr()

    header, expected = reference_results(process, tmp_path, len(case.lines))
    assert load_log == log_of(bytes.fromhex(header["load_log"] + header["insert_log"]))
    assert inserted == header["inserted"]
    for index, (line, want) in enumerate(zip(case.lines, expected)):
        logs = b"".join(bytes.fromhex(want[f"{CALLS[call][2]}_log"]) for call in calls)
        assert got[index] == {**{call: CALLS[call][1](line, want) for call in calls}, "log": log_of(logs)}, (
            f"{name} line {index}: {line[:200]!r}")
    for mode, words in batches.items():
        assert words == [words_of(decoded(case.lines[index], expected[index][mode])) for index in batched], mode
