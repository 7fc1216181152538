#!/usr/bin/env bash
# A seed of the line fuzzer: a library's .debug_line behind the fuzzer's byte
# of options (0: 8-byte addresses, a compilation directory).
#   line_seed.sh OBJCOPY LIBRARY OUT
set -euo pipefail
objcopy=$1 library=$2 out=$3
mkdir -p "$(dirname "$out")"
"$objcopy" --dump-section .debug_line="$out.lines" "$library" "$out.unused"
{ printf '\000'; cat "$out.lines"; } >"$out"
rm -f "$out.lines" "$out.unused"
