#!/usr/bin/env bash
# Fails when a C++ file of ours differs from what clang-format makes of it.
# With --fix, rewrites the files instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.h' '*.cpp' '*.hpp' 2>/dev/null)
[ "${#files[@]}" -eq 0 ] && exit 0
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
echo "format-check: ${#files[@]} files clean"
