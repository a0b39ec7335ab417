"""Jieba under hostile use: words no cut produces, repeated words, large states and file lists,
fork during a batch, undecodable tags and paths, live re-initialisation, subclasses."""

import copy
import os
import pathlib
import pickle

import pytest
from conftest import SANITIZED, TEST_DATA, not_sanitized, run_isolated

from duzudavida import Jieba

NAMES = ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]
# The library looks at most 512 code points ahead for a dictionary word.
LONGEST = "鿂" * 511 + "鿃"


def test_longest_word_is_found_and_longer_ones_are_refused_everywhere(dict_paths, tmp_path):
    """Inserted, in a state or in a user dictionary, a word past the library's look-ahead used to be
    kept (and a million characters crashed the interpreter when the segmenter was freed)."""
    long_line = tmp_path / "long.utf8"
    long_line.write_text("好词 n\n" + "啊" * 1_000_000 + " 3 n\n", encoding="utf-8")
    script = (
        "import pickle, resource, sys, threading, duzudavida\n"
        "if sys.argv[8] == 'limit':  # AddressSanitizer reserves terabytes of address space\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, resource.RLIM_INFINITY))\n"
        "paths = dict(zip(['dict_path', 'hmm_path', 'user_dict_path', 'idf_path', 'stop_word_path'], sys.argv[2:]))\n"
        "jieba = duzudavida.Jieba(**paths)\n"
        "longest = sys.argv[1]\n"
        "print(jieba.insert_user_word(longest), jieba.cut('好' + longest + '好') == ['好', longest, '好'])\n"
        "state = jieba.__getstate__()\n"
        "for word in [longest + '鿃', '啊' * 1_000_000, b'a' * 10_000_000, 'ab' * 600]:\n"
        "    try:\n"
        "        jieba.insert_user_word(word)\n"
        "    except ValueError as error:\n"
        "        print(error)\n"
        "try:\n"
        "    duzudavida.Jieba.__new__(duzudavida.Jieba).__setstate__((*state[:5], [(b'x' * 2_000_000, None, None)]))\n"
        "except ValueError as error:\n"
        "    print(error)\n"
        "try:\n"
        "    duzudavida.Jieba(**{**paths, 'user_dict_path': sys.argv[7]})\n"
        "except ValueError as error:\n"
        "    print(error.args[0].replace(sys.argv[7], 'long.utf8'))\n"
        "def free():\n"
        "    copy = pickle.loads(pickle.dumps(jieba))\n"
        "    print(copy.cut(longest) == [longest])\n"
        "    del copy\n"
        "threading.stack_size(512 << 10)\n"
        "thread = threading.Thread(target=free)\n"
        "thread.start()\n"
        "thread.join()\n"
    )
    limit = "none" if SANITIZED else "limit"
    result = run_isolated(script, LONGEST, *(dict_paths[n] for n in NAMES), str(long_line), limit, timeout=120)
    assert result.returncode == 0, result.stderr
    too_long = "word is longer than 512 characters, which no cut produces"
    assert result.stdout.splitlines() == [
        "True True",
        *[too_long] * 4,
        f"Jieba state: words[0]: {too_long}",
        f"long.utf8:2: {too_long}",
        "True",
    ]


@pytest.mark.parametrize(
    ("word", "freq", "tag", "pattern"),
    [
        ("", None, None, r"^word is empty$"),
        (b"", None, None, r"^word is empty$"),
        ("好词", 0, None, r"^freq must be above zero, not 0$"),
        ("好词", -3, None, r"^freq must be above zero, not -3$"),
        ("好词", None, b"\xff", r"^tag is not UTF-8 text$"),
        ("好词", None, b"\xed\xa0\x80", r"^tag is not UTF-8 text$"),
        ("\ud800", None, None, r"surrogates not allowed"),
    ],
    ids=["empty", "empty-bytes", "zero-freq", "negative-freq", "tag-ff", "tag-surrogate-bytes", "word-surrogate"],
)
def test_insert_refuses_what_no_cut_or_tag_could_return(jieba, word, freq, tag, pattern):
    with pytest.raises(ValueError, match=pattern):
        jieba.insert_user_word(word, freq=freq, tag=tag)


def test_whitespace_words_are_refused_as_python_defines_whitespace(dict_paths):
    jieba = Jieba(**dict_paths)  # a word goes in: not the shared segmenter
    spaces = [chr(c) for c in range(0x3001) if chr(c).isspace()]
    for word in [*spaces, " \t\u3000", "\u00a0\u2028"]:
        with pytest.raises(ValueError, match="^word is only whitespace$"):
            jieba.insert_user_word(word)
    assert jieba.insert_user_word(" 词 ") is True  # whitespace around a word is still a word


def test_repeated_word_is_recorded_once_with_its_latest_freq_and_tag(dict_paths):
    jieba = Jieba(**dict_paths)
    for word, freq, tag in [("杭研大厦", None, None), ("网易杭", 5, "nz"), ("杭研大厦", 7, "x1"), ("网易杭", 5, "nz"),
                            ("杭研大厦", None, "x2")]:
        assert jieba.insert_user_word(word, freq=freq, tag=tag) is True
    # Words that the library's lead-byte decoder reads as the same code points are one word.
    assert jieba.insert_user_word(b"\xc3\x81x", tag="a") and jieba.insert_user_word(b"\xc3\xc1x", tag="b")
    words = jieba.__getstate__()[5]
    assert words == [("杭研大厦".encode(), None, "x2"), ("网易杭".encode(), 5, "nz"), (b"\xc3\xc1x", None, "b")]
    restored = pickle.loads(pickle.dumps(jieba))
    sentence = "他来到了网易杭研大厦"
    assert restored.tag(sentence) == jieba.tag(sentence) and ("杭研大厦", "x2") in jieba.tag(sentence)


def test_large_state_loads_in_linear_time(dict_paths):
    """200,000 words: inserting was quadratic (80,000 took 27 s, this would take minutes)."""
    script = (
        "import pickle, sys, duzudavida\n"
        "jieba = duzudavida.Jieba(*sys.argv[1:])\n"
        "state = jieba.__getstate__()\n"
        "words = [(chr(0x4e00 + i % 20000).encode() + chr(0x4e00 + i // 20000).encode() + b'x', i % 9 + 1, 'n')\n"
        "         for i in range(200_000)]\n"
        "copy = duzudavida.Jieba.__new__(duzudavida.Jieba)\n"
        "copy.__setstate__((*state[:5], words))\n"
        "print(copy.__getstate__()[5] == words, copy.insert_user_word('再加一个'))\n"
    )
    # The plain run tells linear from quadratic; the sanitized one only looks for faults.
    result = run_isolated(script, *(dict_paths[n] for n in NAMES), timeout=600 if SANITIZED else 60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]


@pytest.mark.parametrize(
    ("words", "pattern"),
    [
        ("words", r"^Jieba state: the added words must be a list$"),
        ([b"x"], r"^Jieba state: words\[0\] is not a \(word, freq, tag\) tuple$"),
        ([(b"ok", None, None), ("str", None, None)], r"^Jieba state: words\[1\]: the word must be bytes$"),
        ([(b"ok", 2**40, None)], r"^Jieba state: words\[0\]: freq must be an int of 32 bits or None$"),
        ([(b"ok", "3", None)], r"^Jieba state: words\[0\]: freq must be an int of 32 bits or None$"),
        ([(b"ok", -1, None)], r"^Jieba state: words\[0\]: freq must be above zero, not -1$"),
        ([(b"ok", None, b"n")], r"^Jieba state: words\[0\]: tag must be a str \(UTF-8 text\) or None$"),
        ([(b"ok", None, "\ud800")], r"^Jieba state: words\[0\]: tag must be a str \(UTF-8 text\) or None$"),
        ([(b"\xff", None, None)], r"^Jieba state: words\[0\]: the segmenter cannot decode the word$"),
        ([(b" ", None, None)], r"^Jieba state: words\[0\]: word is only whitespace$"),
    ],
    ids=["not-list", "not-tuple", "str-word", "huge-freq", "str-freq", "negative-freq", "bytes-tag", "surrogate-tag",
         "undecodable", "whitespace"],
)
def test_bad_words_in_a_state_are_named(jieba, words, pattern):
    with pytest.raises(ValueError, match=pattern):
        Jieba.__new__(Jieba).__setstate__((*jieba.__getstate__()[:5], words))


def test_user_dictionaries_named_again_load_once_and_in_order(dict_paths, tmp_path):
    """The last file that defines a word wins; naming a file again only moves it last. Forty copies
    of the main dictionary (a 3.6 KB argument) used to take 3.5 GB."""
    other = tmp_path / "other.utf8"
    other.write_text("咕噜咕噜巴 other\n", encoding="utf-8")
    extra, other = str(TEST_DATA / "user_extra.utf8"), str(other)
    tags = {}
    for order in [(extra, other, extra), (other, extra), (extra, other)]:
        tags[order] = Jieba(**{**dict_paths, "user_dict_path": "|".join(order)}).tag("我在咕噜咕噜巴")
    assert tags[(extra, other, extra)] == tags[(other, extra)] != tags[(extra, other)]
    if SANITIZED:
        return  # no memory figure holds under AddressSanitizer
    script = (
        "import resource, sys, duzudavida\n"
        "paths = dict(zip(['dict_path', 'hmm_path', 'user_dict_path', 'idf_path', 'stop_word_path'], sys.argv[1:]))\n"
        "one = duzudavida.Jieba(**paths)\n"
        "size = next(int(l.split()[1]) * 1024 for l in open('/proc/self/status') if l.startswith('VmSize:'))\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), resource.RLIM_INFINITY))\n"
        "many = duzudavida.Jieba(**{**paths, 'user_dict_path': '|'.join([paths['dict_path']] * 40)})\n"
        "print(many.cut('我来到北京清华大学'))\n"
    )
    result = run_isolated(script, *(dict_paths[n] for n in NAMES), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['我', '来到', '北京', '清华大学']"


@not_sanitized
def test_fork_during_a_batch_gives_the_child_a_usable_segmenter(dict_paths):
    # A quiet machine may finish the batch before any one chosen moment, so fork again and again
    # while it runs: some of those forks land while its threads hold the segmenter's lock.
    script = (
        "import os, signal, sys, threading, time, duzudavida\n"
        "jieba = duzudavida.Jieba(*sys.argv[1:])\n"
        "lines = ['我来到北京清华大学，南京市长江大桥' * 20] * 20000\n"
        "started = threading.Event()\n"
        "def cut():\n"
        "    started.set()\n"
        "    jieba.cut_batch(lines, threads=2)\n"
        "worker = threading.Thread(target=cut)\n"
        "worker.start()\n"
        "started.wait()\n"
        "codes, forks, during = set(), 0, 0\n"
        "while worker.is_alive() and forks < 200:\n"
        "    pid = os.fork()\n"
        "    if pid == 0:\n"
        "        signal.alarm(20)\n"
        "        ok = jieba.insert_user_word('长江大桥很长') and '长江大桥很长' in jieba.cut('长江大桥很长')\n"
        "        os._exit(0 if ok else 3)\n"
        "    forks, during = forks + 1, during + worker.is_alive()  # alive: the fork came during the batch\n"
        "    _, status = os.waitpid(pid, 0)\n"
        "    codes.add(os.waitstatus_to_exitcode(status))\n"
        "    time.sleep(0.005)\n"
        "print(sorted(codes), during > 0)\n"
        "worker.join()\n"
    )
    result = run_isolated(script, *(dict_paths[n] for n in NAMES), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["[0]", "True"]


def test_paths_that_are_not_utf8_or_are_path_objects_round_trip(dict_paths, tmp_path):
    folder = os.fsencode(tmp_path) + b"/\xff\xfe"
    os.mkdir(folder)
    for name in NAMES:
        os.symlink(os.fsencode(dict_paths[name]), folder + b"/" + name.encode())
    paths = [folder + b"/" + name.encode() for name in NAMES]
    jieba = Jieba(*paths)
    assert jieba.__getstate__()[:5] == tuple(os.fsdecode(path) for path in paths)
    for restored in (pickle.loads(pickle.dumps(jieba)), copy.deepcopy(jieba)):
        assert restored.__getstate__() == jieba.__getstate__()
    os.mkfifo(folder + b"/fifo")
    with pytest.raises(ValueError) as raised:  # the message keeps the path's bytes
        Jieba(*paths[:3], folder + b"/fifo", paths[4])
    assert os.fsencode(str(raised.value)) == folder + b"/fifo: a FIFO, not a regular file"
    objects = Jieba(*(pathlib.Path(os.fsdecode(path)) for path in paths))
    assert objects.__getstate__() == jieba.__getstate__()
    with pytest.raises(FileNotFoundError) as raised:
        Jieba(**{**dict_paths, "hmm_path": pathlib.Path(tmp_path, "missing")})
    assert raised.value.filename == str(tmp_path / "missing")


def test_live_object_cannot_be_initialised_again(jieba, dict_paths):
    state = jieba.__getstate__()
    calls = [
        lambda: jieba.__init__(**dict_paths),
        lambda: jieba.__setstate__(state),
        lambda: jieba.__setstate__(b"garbage"),
    ]
    for call in calls:
        with pytest.raises(TypeError, match=r"^Jieba object is already initialized: __\w+__ cannot"):
            call()
    assert jieba.cut("我来到北京清华大学") == ["我", "来到", "北京", "清华大学"]


class Tagged(Jieba):
    pass


def test_subclass_keeps_its_attributes_through_pickle_and_copy(dict_paths):
    jieba = Tagged(**dict_paths)
    jieba.label = "news"
    jieba.insert_user_word("杭研大厦")
    for restored in (pickle.loads(pickle.dumps(jieba)), copy.copy(jieba), copy.deepcopy(jieba)):
        assert type(restored) is Tagged and restored.label == "news"
        assert restored.cut("网易杭研大厦") == jieba.cut("网易杭研大厦")
    with pytest.raises(ValueError, match="^not a Jieba state$"):
        Jieba.__new__(Jieba).__setstate__(Tagged.__getstate__(jieba))


@pytest.mark.parametrize(
    ("call", "error", "pattern"),
    [
        (lambda j: j.cut("\ud800"), UnicodeEncodeError, r"position 0: surrogates not allowed$"),
        (lambda j: j.cut_batch(["a", "b\ud800"]), UnicodeEncodeError,
         r"position 1: surrogates not allowed in sentences\[1\]$"),
        (lambda j: j.cut_for_search_batch(["ok", b"\xc3\x41"], threads=2), UnicodeDecodeError,
         r"can't decode byte 0xc3 in position 0: .* in a word of sentences\[1\]$"),
    ],
    ids=["cut-surrogate", "batch-surrogate", "batch-undecodable-word"],
)
def test_text_errors_say_what_and_where(jieba, call, error, pattern):
    with pytest.raises(error, match=pattern):
        call(jieba)
