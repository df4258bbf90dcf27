#!/usr/bin/env bash
# Fails when a C, C++ or Objective-C source of the repository differs from
# the layout .clang-format describes. With --fix, formats them in place.
# Usage: check-format.sh [--fix]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
"$here/ensure-packages.sh" clang-format git

mode=(--dry-run --Werror)
case "${1:-}" in
  "") ;;
  --fix) mode=(-i) ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac
cd "$top"
mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h' '*.m' '*.mm')
if ! clang-format "${mode[@]}" "${sources[@]}"; then
  echo "Sources differ from .clang-format: run bash scripts/check-format.sh --fix" >&2
  exit 1
fi
echo "clang-format: ${#sources[@]} sources checked"
