#!/usr/bin/env bash
# Checks that every C and C++ source of the tree is in the project's format
# (.clang-format, Debian 12's clang-format 14). With --fix, formats them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

formatter=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$formatter" ]; then
  echo "check-format: clang-format-14 is not installed" >&2
  exit 1
fi

mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
  "$formatter" -i "${files[@]}"
  exit 0
fi
"$formatter" --dry-run --Werror "${files[@]}"
echo "check-format: ${#files[@]} files in format"
