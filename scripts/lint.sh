#!/usr/bin/env bash
# The project's style and static checks: clang-format and clang-tidy, both clean.
#   scripts/lint.sh [BUILD_DIR]    (BUILD_DIR holds compile_commands.json; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mapfile -t sources < <(git ls-files '*.cpp' '*.h')

echo "clang-format: ${#sources[@]} files"
clang-format --dry-run --Werror "${sources[@]}"

mapfile -t units < <(git ls-files '*.cpp')
echo "clang-tidy: ${#units[@]} files"
printf '%s\n' "${units[@]}" |
  xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null
echo "lint: clean"
