#!/usr/bin/env bash
# Rewrites every C++ file of the repository in the style of .clang-format.
# Usage: scripts/format.sh [--check]   (--check changes nothing, lists the files that
#                                       differ and fails when there are any)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-format
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    if ! report=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
        echo "$report" | grep -o '^[^: ]*:[0-9]*:[0-9]*: error' | cut -d: -f1 | sort -u |
            sed 's/^/differs from .clang-format: /'
        echo "FAILED: run scripts/format.sh (or build the 'format' target) to lay the code out"
        exit 1
    fi
    echo "all ${#files[@]} C++ files follow .clang-format"
else
    clang-format -i "${files[@]}"
fi
