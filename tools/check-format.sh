#!/usr/bin/env bash
# Checks that every tracked C++ file is in the format of .clang-format (clang-format 14, Debian
# 12's); lists the files that are not, with the command that formats them.
set -uo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
unformatted=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" > /dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "== not formatted (clang-format -i FILE...):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "== format: ${#files[@]} C++ files as .clang-format has them"
