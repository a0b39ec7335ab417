#!/usr/bin/env bash
# Fetches the pinned third-party sources (see cmake/Dependencies.cmake, which holds the versions and
# hashes) into the git-ignored third_party/: cppjieba with its default dictionary for the builds and
# tests, and a real Chinese text (third_party/weicheng.utf8) for the examples and benchmarks. Needs
# npm and CMake. A second run reuses what is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -DDEST="$root/third_party" -P "$root/cmake/Dependencies.cmake"
ln -sf nodejieba-3.5.8/submodules/cppjieba/test/testdata/weicheng.utf8 "$root/third_party/weicheng.utf8"
