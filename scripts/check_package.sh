#!/usr/bin/env bash
# Checks the package as a user gets it, the hard way, with the system's xxHash and MurmurHash
# (headers and libraries) out of sight of every build. Each front end builds from its own clean
# clone of HEAD, in its own isolated build environment (none of which holds pip), fetching what the
# build fetches itself (network up, npm there):
#  1. `pip install .`, `pip wheel .` and `uv pip install .` (Debug builds, quicker and proving as
#     much about the front ends);
#  2. `uv build --sdist` and `python -m build --sdist`, whose configure copies the fetched sources into
#     vendor/; the two sdists must hold the same files. Each then builds its wheel from its sdist
#     (`uv build --wheel`, a Debug build, and `python -m build --wheel`, the release build) with the
#     network cut and npm out of sight too, build requirements from a local wheelhouse;
#  3. every wheel's METADATA declares the MIT licence and its licence files, which its
#     .dist-info/licenses holds, identical to the repository's;
#  4. auditwheel repairs build's wheel: it must need nothing but glibc, libstdc++ and libgcc; its
#     tag, size and the module's import time are reported;
#  5. the repaired wheel installs into a fresh venv, the clones are deleted, and the installed module
#     segments with its own dictionary, reports its version, its stubs pass stubtest and mypy
#     --strict on examples/ (with the extras the examples use), and an example given no corpus says
#     how to get one;
#  6. cibuildwheel reads the release configuration in pyproject.toml.
# The hiding needs root (a mount and a network namespace, through unshare). With PACKAGE_MANYLINUX=1
# it also builds the manylinux_2_28 wheel with zig (scripts/wheel_manylinux.sh) and checks its tag.
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

# The builds compile the same sources from fresh folders of their own: ccache (a compiler launcher
# CMake takes from the environment; its cache in ~/.cache/ccache unless CCACHE_DIR says otherwise),
# with paths under $work made relative, hands each build the objects an earlier one (or an earlier
# run) compiled. The binding's objects miss within a run: their pybind11 headers lie in each front
# end's build environment, a folder of a random name.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$work CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=2G
  ccache --zero-stats >/dev/null
fi
export TMPDIR=$work/tmp UV_CACHE_DIR=$work/uv-cache UV_PYTHON_DOWNLOADS=never UV_NO_PROGRESS=1
mkdir -p "$TMPDIR"
python312=$(readlink -f "$py")
uv=$root/.venv/bin/uv
clone() { git clone -q --no-local "$root" "$work/$1"; }
# Every build but the one whose wheel is installed and checked is a Debug build: no optimisation and
# no link-time optimisation, quicker, and proving as much about the front ends.
debug="-C cmake.build-type=Debug"
segments() {
  "$1" -c 'import duzudavida as d; w = d.Jieba(**d.default_paths()).cut("我来到北京清华大学"); assert w == ["我", "来到", "北京", "清华大学"], w'
}

"$python312" -m venv "$work/venv"
"$python312" -m venv "$work/venv-pip"
"$uv" venv -q --python "$python312" "$work/venv-uv"
clone pip-install
sandbox "$work/venv-pip/bin/python" -m pip install -q --no-deps $debug "$work/pip-install"
segments "$work/venv-pip/bin/python"
step "pip install . from a clean clone"
clone pip-wheel
sandbox "$work/venv/bin/python" -m pip wheel -q --no-deps $debug -w "$work/wheels/pip" "$work/pip-wheel"
step "pip wheel . from a clean clone"
clone uv-install
sandbox "$uv" pip install -q $debug --python "$work/venv-uv/bin/python" "$work/uv-install"
segments "$work/venv-uv/bin/python"
step "uv pip install . from a clean clone"

clone uv-build
sandbox "$uv" build -q --python "$python312" --sdist --out-dir "$work/sdist/uv" "$work/uv-build"
clone build
sandbox "$py" -m build -q --sdist --outdir "$work/sdist/build" "$work/build" >/dev/null
for frontend in uv build; do
  tar -tzf "$work"/sdist/$frontend/duzudavida-*.tar.gz | sort > "$work/sdist-$frontend.txt"
done
if ! diff "$work/sdist-uv.txt" "$work/sdist-build.txt" >&2; then
  echo "package: uv's and build's sdists hold different files" >&2
  exit 1
fi
grep -q '/extern/xxhash-[0-9.]*/xxhash.h$' "$work/sdist-build.txt"
grep -q '/vendor/nodejieba-[0-9.]*/dict/jieba.dict.utf8$' "$work/sdist-build.txt"
sdist=$(ls "$work"/sdist/build/duzudavida-*.tar.gz)
step "uv build --sdist and python -m build --sdist: the same files, $(du -k "$sdist" | cut -f1) kB"

# Offline, each sdist builds its wheel with its own front end, build requirements from a wheelhouse.
"$work/venv/bin/python" -m pip download -q -d "$work/wheelhouse" "$(pin scikit-build-core)" "$(pin pybind11)"
sandbox --offline sh -c 'command -v npm && exit 1; exec "$@"' build \
  "$uv" build -q $debug --python "$python312" --wheel --no-index --find-links "$work/wheelhouse" \
  --out-dir "$work/wheels/uv" "$work"/sdist/uv/duzudavida-*.tar.gz
mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
sandbox --offline sh -c 'command -v npm && exit 1; exec "$@"' build \
  env PIP_NO_INDEX=1 PIP_FIND_LINKS="$work/wheelhouse" \
  "$py" -m build -q --wheel --outdir "$work/wheels/build" "$work"/unpacked/duzudavida-* >/dev/null
wheel=$(ls "$work"/wheels/build/duzudavida-*.whl)
step "uv build --wheel and python -m build --wheel from their sdists offline, without npm"
if command -v ccache >/dev/null; then
  step "ccache: $(ccache --print-stats | sed -n 's/^direct_cache_hit\t//p') direct hits, $(ccache --print-stats | sed -n 's/^cache_miss\t//p') misses"
fi

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
# Every wheel carries our licence and the third-party ones, declared in its METADATA.
"$py" - "$root" "$work"/wheels/*/duzudavida-*.whl "$repaired" <<'PY'
import sys
import tomllib
import zipfile
from email.parser import HeaderParser
from pathlib import Path

root = Path(sys.argv[1])
declared = tomllib.loads((root / "pyproject.toml").read_text())["project"]["license-files"]
assert "LICENSE" in declared and len(declared) >= 3, declared
for wheel in sys.argv[2:]:
    with zipfile.ZipFile(wheel) as archive:
        info = next(n.split("/")[0] for n in archive.namelist() if n.endswith(".dist-info/METADATA"))
        metadata = HeaderParser().parsestr(archive.read(f"{info}/METADATA").decode())
        assert metadata["License-Expression"] == "MIT", (wheel, metadata["License-Expression"])
        assert metadata.get_all("License-File") == sorted(declared), (wheel, metadata.get_all("License-File"))
        carried = sorted(n.removeprefix(f"{info}/licenses/") for n in archive.namelist()
                         if n.startswith(f"{info}/licenses/") and not n.endswith("/"))
        assert carried == sorted(declared), (wheel, carried)
        for name in declared:
            assert archive.read(f"{info}/licenses/{name}") == (root / name).read_bytes(), (wheel, name)
print(f"package: {len(sys.argv) - 2} wheels declare License-Expression MIT and carry {', '.join(declared)}")
PY

rm -rf "${work:?}"/{pip-install,pip-wheel,uv-install,uv-build,build,unpacked}

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

# The manylinux_2_28 wheel (zig as the compiler): only on request, as zig's first run on a machine
# compiles libc++ for the target, minutes more than CI can spare.
if [ "${PACKAGE_MANYLINUX:-0}" = 1 ]; then
  "$root/scripts/wheel_manylinux.sh" "$work/manylinux" > "$work/manylinux.txt"
  old=$(ls "$work"/manylinux/duzudavida-*manylinux_2_28_x86_64.whl)
  "$uv" pip install -q --reinstall --no-deps --python "$work/venv-uv/bin/python" "$old"
  segments "$work/venv-uv/bin/python"
  step "manylinux_2_28 wheel built with zig, granted by auditwheel, installed: $(basename "$old")"
fi

for platform in linux macos; do
  "$py" -m cibuildwheel --print-build-identifiers --platform "$platform" "$root" > "$work/identifiers.txt"
  grep -q '^cp312-' "$work/identifiers.txt"
done
step "cibuildwheel reads the release configuration"
