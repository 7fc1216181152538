#!/usr/bin/env bash
# Builds a consumer that takes calltrail in through FetchContent, and runs it.
set -euo pipefail
source_dir=$1 work=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
cmake -S "$here/from_source" -B "$work" -G Ninja -DCALLTRAIL_SOURCE="$source_dir" -DCMAKE_CXX_COMPILER="$cxx" \
    >"$work.log" 2>&1 && cmake --build "$work" >>"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
# Only the libraries: a project that is not top level builds none of calltrail's tests.
if [ -d "$work/_deps/calltrail-build/tests" ]; then echo "FAIL calltrail's tests were configured"; exit 1; fi
# Only what the consumer links: the engine, not its _d variant nor the others.
built=$(cd "$work/_deps/calltrail-build" && find . -name 'libcalltrail_*' | sort | tr '\n' ' ')
[[ $built == *libcalltrail_engine.so* && $built != *_d.* && $built != *noop* ]] ||
    { echo "FAIL built more or less than the library the consumer links: $built"; exit 1; }
output=$("$work/consumer")
[[ $output =~ ^frames=[1-9][0-9]*\ text=[1-9] ]] || { echo "FAIL consumer: $output"; exit 1; }
echo "ok   FetchContent consumer: $output"
