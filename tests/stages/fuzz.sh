#!/usr/bin/env bash
# Builds the rendering fuzzer with Clang's libFuzzer and runs it for a fixed
# time from the committed seeds; any crash or sanitizer report fails it.
#   fuzz.sh SOURCE_DIR BUILD_DIR [SECONDS]
set -euo pipefail
source_dir=$1
build_dir=$2
seconds=${3:-60}
jobs=${CALLTRAIL_JOBS:-$(nproc)}

# Clang links no sanitizer runtime into a shared library, and ours are linked
# with --no-undefined: every program and library takes the shared runtime.
runtime_dir=$(dirname "$(clang++-14 -print-file-name=libclang_rt.asan-x86_64.so)")
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
flags="$flags -shared-libsan"
link_flags="-Wl,-rpath,$runtime_dir"
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCALLTRAIL_BUILD_TESTS=ON -DCALLTRAIL_BUILD_EXAMPLES=OFF -DCALLTRAIL_BUILD_BENCH=OFF \
    -DCALLTRAIL_BUILD_FUZZERS=ON -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$link_flags" -DCMAKE_SHARED_LINKER_FLAGS="$link_flags" >/dev/null
cmake --build "$build_dir" -j"$jobs" --target calltrail_render_fuzzer

# The seeds stay as committed; what the run finds goes to a scratch corpus.
corpus=$build_dir/fuzz_corpus
mkdir -p "$corpus"
log=$build_dir/fuzz.log
# libFuzzer's own C++ runtime is loaded before the shared ASan runtime, which
# intercepts nothing of it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if ! "$build_dir/tests/fuzz/calltrail_render_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build_dir/" "$corpus" "$source_dir/tests/fuzz/seeds" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "FAIL fuzz: see $log"
    exit 1
fi
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
echo "ok   fuzz: $executions executions in ${seconds} s ($speed per second), no crash"
