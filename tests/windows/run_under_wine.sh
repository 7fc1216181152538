#!/usr/bin/env bash
# Runs one cross-built check program under Wine: run_under_wine.sh WINE EXE.
# It passes only when the program exits 0 and its last line is the harness's
# "N passed, 0 failed" with N > 0, so a program that dies early cannot pass.
set -uo pipefail
wine=$1 program=$2
cd "$(dirname "$program")" || exit 1
output=$("$wine" "$program" 2>&1 | tr -d '\r')
code=$?
echo "$output"
last=$(grep -v '^[[:space:]]*$' <<<"$output" | tail -n 1)
if [ $code -ne 0 ]; then
    echo "FAIL $(basename "$program") exited with $code"
    exit 1
fi
if ! grep -Eq '^[1-9][0-9]* passed, 0 failed$' <<<"$last"; then
    echo "FAIL $(basename "$program") did not close with \"N passed, 0 failed\""
    exit 1
fi
echo "ok   $(basename "$program"): $last"
