#!/usr/bin/env bash
# Fails when clang-format, with the checked-in .clang-format, would change any
# C++ file under version control; lists those files and shows a diff of each.
# Formatting a file: clang-format -i FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian 12 installs clang-format 14 as clang-format; other versions format a
# few constructs differently, so take the versioned name where there is one.
format=clang-format
command -v clang-format-14 >/dev/null && format=clang-format-14

status=0
while IFS= read -r -d '' file; do
  if ! "$format" --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "not formatted: $file"
    "$format" "$file" | diff -u "$file" - || true
    status=1
  fi
done < <(git ls-files -z '*.cpp' '*.h')
exit "$status"
