#!/usr/bin/env bash
# Builds every fuzzer target with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs
# each in turn for the given number of seconds from its seed corpus in the repo. Any finding fails
# the run.
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
# One line per target: its name, its seed corpus folder and the longest input it is given.
fuzzers=(
  "json_parser_fuzzer tests/cpp/fuzz/corpus 4096"
  "bm25_state_fuzzer tests/cpp/fuzz/corpus_bm25_state 4096"
  "compiled_dictionary_fuzzer tests/cpp/fuzz/compiled_corpus 4096"
  "index_fuzzer tests/cpp/fuzz/index_corpus 32768"
)
names=()
for entry in "${fuzzers[@]}"; do read -r name _ <<<"$entry"; names+=("$name"); done
cmake --build build/fuzz --target "${names[@]}"
mkdir -p build/fuzz/findings

run_fuzzer() {
  local name=$1 seeds=$2 max_len=$3
  # New inputs go to a scratch folder; the committed seeds stay as they are.
  local work=build/fuzz/corpus/$name
  mkdir -p "$work"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build/fuzz/tests/cpp/fuzz/$name" "$work" "$seeds" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz/findings/$name-" -print_final_stats=1 >"build/fuzz/$name.log" 2>&1
}

# Each fuzzer is one process on one core: as many run at once as there are processors.
lanes=$(nproc)
pids=()
failed=0
for entry in "${fuzzers[@]}"; do
  read -r name seeds max_len <<<"$entry"
  echo "fuzz: $name for ${seconds}s"
  run_fuzzer "$name" "$seeds" "$max_len" &
  pids+=("$!:$name")
  if [ "${#pids[@]}" -ge "$lanes" ]; then
    pid=${pids[0]%%:*}; done_name=${pids[0]#*:}; pids=("${pids[@]:1}")
    wait "$pid" || { failed=1; echo "fuzz: $done_name found a fault"; }
    tail -n 25 "build/fuzz/$done_name.log"
  fi
done
for entry in "${pids[@]}"; do
  pid=${entry%%:*}; done_name=${entry#*:}
  wait "$pid" || { failed=1; echo "fuzz: $done_name found a fault"; }
  tail -n 25 "build/fuzz/$done_name.log"
done
exit "$failed"
