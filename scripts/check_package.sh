#!/usr/bin/env bash
# Checks the package as a user gets it, the hard way, with the system's xxHash and MurmurHash
# (headers and libraries) out of sight of every build:
#  1. a clean clone of HEAD builds a wheel as `pip install .` does, in pip's build isolation, fetching
#     every third-party source itself (network up, npm there; a Debug build, quicker and proving as
#     much), then the sdist, whose configure copies those sources into vendor/;
#  2. the sdist builds the wheel with the network cut and npm out of sight too, its build
#     requirements taken from a local wheelhouse through the usual build isolation;
#  3. auditwheel repairs the wheel: it must need nothing but glibc, libstdc++ and libgcc; its tag,
#     size and the module's import time are reported;
#  4. the repaired wheel installs into a fresh venv, the clone is deleted, and the installed module
#     segments with its own dictionary, reports its version, its stubs pass stubtest and mypy
#     --strict on examples/ (with the extras the examples use), and an example given no corpus says
#     how to get one;
#  5. cibuildwheel reads the release configuration in pyproject.toml.
# The hiding needs root (a mount and a network namespace, through unshare).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$root/.venv/bin/python
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DUZUDAVIDA_CPPJIEBA_DIR DUZUDAVIDA_XXHASH_DIR
started=$SECONDS
step() { printf 'package: %-64s (%ds)\n' "$1" $((SECONDS - started)); }
pin() { grep -E "^$1==" "$root/requirements-dev.txt"; }

# sandbox [--offline] command...: runs the command where the files in `hidden` (and, offline, npm and
# the network) do not exist: an overlay on each of their folders whiteouts them.
hidden=()
for path in /usr/include/xxhash.h /usr/include/xxh3.h /usr/include/xxh_x86dispatch.h /usr/include/murmurhash.h \
            /usr/lib/*/libxxhash.* /usr/lib/*/libmurmurhash.* /usr/local/include/xxhash.h /usr/local/include/murmurhash.h; do
  if [ -e "$path" ]; then hidden+=("$path"); fi
done
sandbox() {
  local offline="" hide=("${hidden[@]}") mounts="" folder layer npm
  if [ "$1" = --offline ]; then
    offline=--net
    shift
    while read -r npm; do hide+=("$npm"); done < <(type -ap npm || true)
  fi
  for path in "${hide[@]}"; do
    folder=$(dirname "$path")
    layer=$work/overlay${folder//\//_}
    if [ ! -d "$layer" ]; then
      mkdir -p "$layer/upper" "$layer/work"
      mounts+="mount -t overlay overlay -o lowerdir=$folder,upperdir=$layer/upper,workdir=$layer/work $folder; "
    fi
    [ -e "$layer/upper/$(basename "$path")" ] || mknod "$layer/upper/$(basename "$path")" c 0 0
  done
  unshare --mount $offline -- bash -c "set -e; $mounts"'
    for path in /usr/include/xxhash.h /usr/include/murmurhash.h; do
      if [ -e "$path" ]; then echo "package: $path is still visible" >&2; exit 1; fi
    done
    exec "$@"' sandbox "$@"
  rm -rf "$work"/overlay*
}
if [ "$(id -u)" != 0 ]; then
  echo "package: the check hides system files in a mount namespace, which needs root" >&2
  exit 1
fi

git clone -q --no-local "$root" "$work/clone"
"$(readlink -f "$py")" -m venv "$work/venv"
sandbox "$work/venv/bin/python" -m pip wheel -q --no-deps -C cmake.build-type=Debug -w "$work/clone-wheel" "$work/clone"
step "wheel built from a clean clone, hash libraries hidden"
sandbox "$py" -m build -q --sdist --no-isolation --outdir "$work/dist" "$work/clone" >/dev/null
sdist=$(ls "$work"/dist/duzudavida-*.tar.gz)
step "sdist built from the clone, hash libraries hidden: $(du -k "$sdist" | cut -f1) kB"
tar -tzf "$sdist" > "$work/sdist.txt"
grep -q '/vendor/xxhash-[0-9.]*/deps/xxhash/LICENSE$' "$work/sdist.txt"
grep -q '/vendor/nodejieba-[0-9.]*/dict/jieba.dict.utf8$' "$work/sdist.txt"

"$work/venv/bin/python" -m pip download -q -d "$work/wheelhouse" "$(pin scikit-build-core)" "$(pin pybind11)"
sandbox --offline sh -c 'command -v npm && exit 1; exec "$@"' build \
  "$work/venv/bin/python" -m pip wheel -q --no-index --find-links "$work/wheelhouse" --no-deps -w "$work/dist" "$sdist"
wheel=$(ls "$work"/dist/duzudavida-*.whl)
step "wheel built from the sdist offline, without npm or hash libraries"

# The extension must need only the C and C++ runtimes; auditwheel would graft anything else in.
PATH="$root/.venv/bin:$PATH" "$py" -m auditwheel repair -w "$work/repaired" "$wheel" > "$work/repair.txt" 2>&1 ||
  { cat "$work/repair.txt" >&2; exit 1; }
repaired=$(ls "$work"/repaired/duzudavida-*.whl)
unzip -l "$repaired" > "$work/wheel.txt"
if grep '\.libs/' "$work/wheel.txt" >&2; then
  echo "package: auditwheel grafted those libraries into the wheel" >&2
  exit 1
fi
unzip -q "$repaired" 'duzudavida/_native.*.so' -d "$work/so"
needed=$(readelf -d "$work"/so/duzudavida/_native.*.so | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
for library in $needed; do
  case $library in libc.so.6|libm.so.6|libstdc++.so.6|libgcc_s.so.1|ld-linux-*) ;;
    *) echo "package: the module needs $library" >&2; exit 1 ;;
  esac
done
step "repaired: $(basename "$repaired") ($(du -k "$repaired" | cut -f1) kB; needs $needed)"
rm -rf "$work/clone"

"$work/venv/bin/python" -m pip install -q "$repaired[sparse,dask,qdrant]" "$(pin mypy)"
cp -r "$root/examples" "$work/examples"
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
import_ms=$("$work/venv/bin/python" - <<'PY'
import subprocess
import sys

code = "import time; t = time.perf_counter(); import duzudavida; print(time.perf_counter() - t)"
print(f"{min(float(subprocess.check_output([sys.executable, '-c', code])) for _ in range(5)) * 1e3:.0f}")
PY
)
step "import duzudavida: ${import_ms} ms (best of 5 fresh interpreters)"
"$work/venv/bin/python" -m mypy.stubtest duzudavida --allowlist "$root/stubs/stubtest-allowlist.txt"
"$work/venv/bin/python" -m mypy --strict --no-incremental --config-file "$root/pyproject.toml" examples
for example in examples/*.py; do
  if "$work/venv/bin/python" "$example" > "$work/out.txt" 2>&1 || ! grep -q 'scripts/fetch_deps.sh' "$work/out.txt"; then
    echo "package: $example without a corpus does not say how to get one:" >&2
    cat "$work/out.txt" >&2
    exit 1
  fi
done
step "installed module, stubs and examples checked"

for platform in linux macos; do
  "$py" -m cibuildwheel --print-build-identifiers --platform "$platform" "$root" > "$work/identifiers.txt"
  grep -q '^cp312-' "$work/identifiers.txt"
done
step "cibuildwheel reads the release configuration"
