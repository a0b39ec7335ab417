"""Two builds of the module side by side: the default wheel against the manylinux_2_28 one.

    .venv/bin/python bench/wheel_ab.py A.whl B.whl [--rounds 5]

Each wheel is unpacked into a folder of its own; every round runs one fresh interpreter per wheel,
in alternating order, timing segmentation (cut_batch over the novel's lines, one thread), indexing
(BM25Index.add) and retrieval (one query at a time, k=10, one thread). The figures are the medians
and the spread of the per-round ratios B / A (above 1: B is faster).

    .venv/bin/python bench/wheel_ab.py A.whl B.whl --callgrind

counts instructions instead (valgrind's callgrind), deaf to a busy machine: each piece of work is
the count of a run that does it less the count of a run that only prepares (ratios A / B: above
1, B executes fewer instructions).
"""

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NOVEL = ROOT / "third_party" / "weicheng.utf8"

WORKER = r"""
import json, random, sys, time
sys.path.insert(0, sys.argv[1])
import duzudavida

lines = [l for l in open(sys.argv[2], encoding="utf-8").read().splitlines() if l.strip()]
jieba = duzudavida.Jieba(**duzudavida.default_paths())
jieba.cut_batch(lines[:200], threads=1)
best = {}
def timed(name, amount, fn, repeat=3):
    best[name] = max(amount / (lambda t: (fn(), time.perf_counter() - t)[1])(time.perf_counter()) for _ in range(repeat))
chars = sum(len(l) for l in lines)
timed("segmentation (chars/s)", chars, lambda: jieba.cut_batch(lines, threads=1))
cut = [w for w in jieba.cut_batch(lines, threads=1) if w]
rng = random.Random(3)
docs = [sum((rng.choice(cut) for _ in range(rng.randint(1, 3))), []) for _ in range(50000)]
timed("indexing (documents/s)", len(docs), lambda: duzudavida.BM25Index().add(docs), repeat=2)
index = duzudavida.BM25Index()
index.add(docs)
queries = [rng.choice(cut)[:4] for _ in range(2000)]
def retrieve():
    for q in queries:
        index.retrieve([q], k=10, threads=1)
timed("retrieval (queries/s)", len(queries), retrieve)
print(json.dumps(best))
"""


# The same work, smaller, under callgrind: argv[3] says what to do past the preparation.
COUNTED = r"""
import random, sys
sys.path.insert(0, sys.argv[1])
import duzudavida

lines = [l for l in open(sys.argv[2], encoding="utf-8").read().splitlines() if l.strip()][:1500]
jieba = duzudavida.Jieba(**duzudavida.default_paths())
cut = [w for w in jieba.cut_batch(lines[:300], threads=1) if w]
rng = random.Random(3)
docs = [sum((rng.choice(cut) for _ in range(rng.randint(1, 3))), []) for _ in range(3000)]
queries = [rng.choice(cut)[:4] for _ in range(300)]
what = sys.argv[3]
if what == "segmentation":
    jieba.cut_batch(lines, threads=1)
elif what != "preparation":
    index = duzudavida.BM25Index()
    index.add(docs)
    if what == "retrieval":
        for q in queries:
            index.retrieve([q], k=10, threads=1)
"""


def instructions(folder: Path, what: str, tmp: str) -> int:
    out = Path(tmp) / f"callgrind.{folder.name}.{what}"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                    COUNTED, str(folder), str(NOVEL), what], check=True, capture_output=True)
    for line in out.read_text().splitlines():
        if line.startswith("totals:"):
            return int(line.split()[1])
    raise RuntimeError(f"no totals in {out}")


def callgrind(folders: list[Path], names: list[str], tmp: str) -> None:
    counts = [{what: instructions(folder, what, tmp)
               for what in ("preparation", "segmentation", "indexing", "retrieval")} for folder in folders]
    work = [{"segmentation (1500 lines)": c["segmentation"] - c["preparation"],
             "indexing (3000 documents)": c["indexing"] - c["preparation"],
             "retrieval (300 queries)": c["retrieval"] - c["indexing"]} for c in counts]
    print(f"A: {names[0]}\nB: {names[1]}\n")
    print("| work | A (instructions) | B (instructions) | A / B |")
    print("| --- | ---: | ---: | ---: |")
    for name in work[0]:
        print(f"| {name} | {work[0][name]:,} | {work[1][name]:,} | {work[0][name] / work[1][name]:.3f} |")


def unpack(wheel: Path, into: Path) -> Path:
    folder = into / wheel.stem
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(folder)
    return folder


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("a", type=Path)
    parser.add_argument("b", type=Path)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--callgrind", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folders = [unpack(args.a, Path(tmp)), unpack(args.b, Path(tmp))]
        if args.callgrind:
            callgrind(folders, [args.a.name, args.b.name], tmp)
            return
        results: list[list[dict[str, float]]] = [[], []]
        for round_ in range(args.rounds):
            for which in (0, 1) if round_ % 2 == 0 else (1, 0):
                out = subprocess.check_output([sys.executable, "-c", WORKER, str(folders[which]), str(NOVEL)])
                results[which].append(json.loads(out))
    print(f"A: {args.a.name}\nB: {args.b.name}\n")
    print("| measure | A (median) | B (median) | B / A (median, min to max) |")
    print("| --- | ---: | ---: | ---: |")
    for name in results[0][0]:
        a = [r[name] for r in results[0]]
        b = [r[name] for r in results[1]]
        ratios = [y / x for x, y in zip(a, b)]
        print(f"| {name} | {statistics.median(a):,.0f} | {statistics.median(b):,.0f} | "
              f"{statistics.median(ratios):.3f} ({min(ratios):.3f} to {max(ratios):.3f}) |")


if __name__ == "__main__":
    main()
