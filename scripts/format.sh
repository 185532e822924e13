#!/usr/bin/env bash
# Rewrites every C++ file of the repository in the style of .clang-format.
# Usage: scripts/format.sh [--check]   (--check changes nothing, lists the files that
#                                       differ and fails when there are any)
# The layout is that of clang-format 14, the version Debian 12 ships: other major versions
# lay out some constructs differently, so they would fail the check on code that is in
# order (or reformat it back and forth). Any other major version is refused.
set -euo pipefail
cd "$(dirname "$0")/.."
expected_major=14
scripts/deps.sh "clang-format-$expected_major"
formatter=clang-format-$expected_major
version=$("$formatter" --version | grep -o 'version [0-9][0-9.]*' | cut -d' ' -f2 || true)
if [ "${version%%.*}" != "$expected_major" ]; then
    echo "FAILED: $formatter reports version '${version:-unknown}'; the layout check expects" \
        "clang-format $expected_major (Debian package clang-format-$expected_major)" >&2
    exit 1
fi
echo "layout by $formatter $version"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    if ! report=$("$formatter" --dry-run --Werror "${files[@]}" 2>&1); then
        echo "$report" | grep -o '^[^: ]*:[0-9]*:[0-9]*: error' | cut -d: -f1 | sort -u |
            sed 's/^/differs from .clang-format: /'
        echo "FAILED: run scripts/format.sh (or build the 'format' target) to lay the code out"
        exit 1
    fi
    echo "all ${#files[@]} C++ files follow .clang-format"
else
    "$formatter" -i "${files[@]}"
fi
