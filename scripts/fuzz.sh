#!/usr/bin/env bash
# Builds the fuzzers (JSON parser, compiled dictionary) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for the given number of seconds from its seed corpus in
# the repo. Any finding fails the run.
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
cmake --build build/fuzz --target json_parser_fuzzer compiled_dictionary_fuzzer

# Every fuzzer for the given time, each from its committed seeds; new inputs go to a scratch
# folder, the committed seeds stay as they are.
mkdir -p build/fuzz/findings
for pair in json_parser_fuzzer:corpus compiled_dictionary_fuzzer:compiled_corpus; do
  fuzzer=${pair%%:*}
  work=build/fuzz/corpus-$fuzzer
  mkdir -p "$work"
  echo "fuzz: $fuzzer"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build/fuzz/tests/cpp/fuzz/$fuzzer "$work" tests/cpp/fuzz/${pair#*:} \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/findings/ -print_final_stats=1 2>&1 | tail -n 25
done
