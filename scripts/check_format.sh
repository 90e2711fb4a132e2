#!/usr/bin/env bash
# Fails when a C or C++ file of the project is not formatted with .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
formatter=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.h' '*.cpp' '*.cc')
if [ "${#files[@]}" -eq 0 ]; then exit 0; fi
"$formatter" --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files clean"
