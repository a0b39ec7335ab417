#!/usr/bin/env bash
# Builds the fuzzers with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs each
# for the given number of seconds from its seed corpus in the repo. Any finding fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}

if ! command -v clang++-14 >/dev/null || [ ! -f /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ]; then
  echo "fuzz: installing clang-14 and its fuzzing runtime"
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-14 libclang-rt-14-dev
fi

CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDUZUDAVIDA_BUILD_MODULE=OFF -DDUZUDAVIDA_BUILD_FUZZERS=ON -DDUZUDAVIDA_SANITIZE=ON >/dev/null
cmake --build build/fuzz --target json_parser_fuzzer index_fuzzer

# New inputs go to a scratch folder per fuzzer; the committed seeds stay as they are.
mkdir -p build/fuzz/findings
run() {
  local name=$1 seeds=$2 max_len=$3
  local work=build/fuzz/corpus/$name
  mkdir -p "$work"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build/fuzz/tests/cpp/fuzz/$name "$work" "$seeds" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 2>&1 | tail -n 25
}
run json_parser_fuzzer tests/cpp/fuzz/corpus 4096
run index_fuzzer tests/cpp/fuzz/index_corpus 8192
