#!/usr/bin/env bash
# Fails when a tracked C++ file differs from the project's clang-format style.
set -euo pipefail
cd "$1"
files=$(git ls-files '*.cpp' '*.hpp' '*.h')
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files && echo "ok   $(wc -w <<<"$files") files formatted"
