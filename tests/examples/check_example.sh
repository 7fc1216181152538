#!/usr/bin/env bash
# Runs an example and checks its exit status and that its output holds each
# expected line pattern, in order.
#   check_example.sh STATUS PROGRAM [ARGS...] -- PATTERN...
set -uo pipefail
expected_status=$1
shift
command=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do command+=("$1"); shift; done
shift
output=$("${command[@]}" 2>&1)
status=$?
echo "$output"
if [ "$status" -ne "$expected_status" ]; then
    echo "FAIL exit status $status, expected $expected_status"
    exit 1
fi
rest=$output
for pattern in "$@"; do
    line=$(grep -n -m1 -E -- "$pattern" <<<"$rest") || { echo "FAIL no line matching: $pattern"; exit 1; }
    rest=$(tail -n +"$(( ${line%%:*} + 1 ))" <<<"$rest")
done
echo "ok"
