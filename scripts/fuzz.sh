#!/usr/bin/env bash
# Builds the reader's fuzzer (clang, libFuzzer, address and undefined-behaviour
# sanitizers) and runs it for SECONDS seconds from the committed seeds.
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
# What it finds lands in build-fuzz/findings/; copy each into tests/hostile/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMIRLUNE_FUZZ=ON -DBUILD_TESTING=OFF > build-fuzz.log 2>&1 || { cat build-fuzz.log; exit 1; }
cmake --build build-fuzz -j "$(nproc)" --target reader_fuzzer
mkdir -p build-fuzz/corpus build-fuzz/findings
# The NIfTI library leaks the names its ASCII reader parses; that is its memory, not ours.
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
build-fuzz/tests/fuzz/reader_fuzzer build-fuzz/corpus tests/fuzz/seeds tests/hostile \
  -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=20 \
  -artifact_prefix=build-fuzz/findings/ -print_final_stats=1 "$@"
