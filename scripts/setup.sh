#!/usr/bin/env bash
# Prepares everything a fresh machine needs, then builds and installs the module into .venv.
# Each step is skipped when an earlier run already did it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

python312=${PYTHON312:-}
if [ -z "$python312" ]; then
  for candidate in /root/.pyenv/versions/3.12.*/bin/python3.12 "$(command -v python3.12 || true)"; do
    if [ -x "$candidate" ]; then python312=$candidate; break; fi
  done
fi
if [ -z "$python312" ]; then
  echo "setup: no Python 3.12 found; set PYTHON312 to its interpreter" >&2
  exit 1
fi

# System packages: the C++ toolchain, CMake, GoogleTest, and npm for the segmenter's sources (xxHash
# is in extern/, MurmurHash3 is our own: the build needs no system library).
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v g++ >/dev/null || missing+=(g++)
command -v npm >/dev/null || missing+=(npm)
# ccache only for scripts/check_package.sh, whose builds from fresh folders then share their objects.
command -v ccache >/dev/null || missing+=(ccache)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/src/googletest/CMakeLists.txt ] || [ -f /usr/lib/x86_64-linux-gnu/libgtest.a ] || missing+=(googletest)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

scripts/fetch_deps.sh

if [ ! -x .venv/bin/python ]; then
  "$python312" -m venv .venv
fi
stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi

# Build and install the module; the fixed build folder keeps rebuilds incremental.
.venv/bin/python -m pip install -q --no-build-isolation --no-deps .
