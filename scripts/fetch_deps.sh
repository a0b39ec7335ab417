#!/usr/bin/env bash
# Fetches the pinned npm tarballs (see cmake/FetchNodejieba.cmake, which holds the versions and
# hashes) into the git-ignored third_party/: cppjieba with its default dictionary for the tests,
# and a real Chinese text for the demo and benchmarks. A second run reuses what is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -DDEST="$root/third_party" -P "$root/cmake/FetchNodejieba.cmake"
ln -sf nodejieba-3.5.8/submodules/cppjieba/test/testdata/weicheng.utf8 "$root/third_party/weicheng.utf8"
