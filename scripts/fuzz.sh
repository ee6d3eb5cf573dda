#!/usr/bin/env bash
# Runs the reader's fuzzer (clang, libFuzzer, address and undefined-behaviour sanitizers),
# built in BUILD_DIR by make fuzz, for SECONDS seconds from the committed seeds.
#   scripts/fuzz.sh BUILD_DIR [SECONDS] [extra libFuzzer flags...]
# What it finds lands in BUILD_DIR/findings/; copy each into tests/hostile/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/fuzz.sh BUILD_DIR [SECONDS] [libFuzzer flags...]}
seconds=${2:-600}
shift 2 || shift $#
mkdir -p "$build/corpus" "$build/findings"
# The NIfTI library leaks the names its ASCII reader parses; that is its memory, not ours.
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
"$build/tests/fuzz/reader_fuzzer" "$build/corpus" tests/fuzz/seeds tests/hostile \
  -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=20 \
  -artifact_prefix="$build/findings/" -print_final_stats=1 "$@"
