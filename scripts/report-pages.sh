#!/usr/bin/env bash
# The report's pages of fixed nights, written by one build into a folder, to
# show that a change inside the report leaves the page's bytes as they were:
#
#   scripts/report-pages.sh build before/    # before the change
#   scripts/report-pages.sh build after/     # after it
#   diff -r before after                     # no output: the same pages
#
# Builds the report_page_dump target of BUILD_DIR first.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/report-pages.sh BUILD_DIR OUTPUT_FOLDER}
out=${2:?usage: scripts/report-pages.sh BUILD_DIR OUTPUT_FOLDER}
cmake --build "$build" --target report_page_dump -j2 >/dev/null
mkdir -p "$out"
dump=$(find "$build" -name report_page_dump -type f -perm -u+x | head -n 1)
"$dump" "$out"
ls -l "$out" | awk 'NR > 1 { print $5, $9 }'
