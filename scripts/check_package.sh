#!/usr/bin/env bash
# Checks the package as a user gets it: a clean clone of HEAD builds an sdist, the sdist builds a
# wheel (fetching cppjieba itself, as nothing is fetched beforehand), the wheel installs into a
# fresh venv, the clone is deleted, and the installed module then segments with its default
# dictionary, reports its version, and its stubs pass stubtest and mypy --strict on examples/ (with
# the extras the examples use).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$root/.venv/bin/python
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DUZUDAVIDA_CPPJIEBA_DIR

git clone -q --no-local "$root" "$work/clone"
"$py" -m build -q --sdist --no-isolation --outdir "$work/dist" "$work/clone" >/dev/null
"$py" -m pip wheel -q --no-build-isolation --no-deps -w "$work/dist" "$work"/dist/duzudavida-*.tar.gz
cp -r "$work/clone/examples" "$work/examples"
rm -rf "$work/clone"

"$(readlink -f "$py")" -m venv "$work/venv"
wheel=$(ls "$work"/dist/duzudavida-*.whl)
"$work/venv/bin/python" -m pip install -q "$wheel[sparse,dask,qdrant]" $(grep -E '^mypy==' "$root/requirements-dev.txt")
cd "$work"
"$work/venv/bin/python" - <<'PY'
import importlib.metadata
import os

import duzudavida

paths = duzudavida.default_paths()
assert sorted(paths) == sorted(["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]), paths
assert all(os.path.isabs(p) and os.path.isfile(p) and "/venv/" in p for p in paths.values()), paths
words = duzudavida.Jieba(**paths).cut("我来到北京清华大学")
assert words == ["我", "来到", "北京", "清华大学"], words
assert duzudavida.__version__ == importlib.metadata.version("duzudavida"), duzudavida.__version__
print(f"package: duzudavida {duzudavida.__version__} installed from its wheel segments with its own dictionary")
PY
"$work/venv/bin/python" -m mypy.stubtest duzudavida --allowlist "$root/stubs/stubtest-allowlist.txt"
"$work/venv/bin/python" -m mypy --strict --no-incremental --config-file "$root/pyproject.toml" examples
