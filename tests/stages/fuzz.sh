#!/usr/bin/env bash
# Builds the fuzzers with Clang's libFuzzer and runs each for its share of a
# fixed time: the rendering and walker fuzzers from the committed seeds, the
# object fuzzer from the libraries built for the engine's tests. Any crash or
# sanitizer report fails it.
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
cmake --build "$build_dir" -j"$jobs" --target calltrail_render_fuzzer calltrail_object_fuzzer calltrail_unwind_fuzzer \
    calltrail_line_fuzzer

# The seeds stay as they are; what a run finds goes to a scratch corpus.
object_seeds=$build_dir/object_seeds
rm -rf "$object_seeds"
mkdir -p "$object_seeds"
cp "$build_dir"/tests/posix_engine/libposix_engine_*.so "$build_dir"/tests/posix_engine/*.dbg "$object_seeds"/
line_seeds=$build_dir/line_seeds
rm -rf "$line_seeds"
mkdir -p "$line_seeds"
cp "$build_dir"/tests/fuzz/line_seeds/* "$source_dir"/tests/fuzz/line_regressions/* "$line_seeds"/
# libFuzzer's own C++ runtime is loaded before the shared ASan runtime, which
# intercepts nothing of it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# A test stage gives the same verdict on every run: the mutations follow a
# fixed seed, addresses are not randomised (comparisons of pointers steer the
# mutations too), and the number of inputs is fixed at about what an idle
# machine runs in the time; a machine so busy that it takes three times as
# long runs a prefix of the same series. Set CALLTRAIL_FUZZ_SEED to look
# further.
fuzz_seed=${CALLTRAIL_FUZZ_SEED:-1}

# fuzz NAME SECONDS INPUTS SEED_DIRECTORY
fuzz() {
    local name=$1 time=$2 inputs=$3 seeds=$4
    local corpus=$build_dir/fuzz_corpus_$name log=$build_dir/fuzz_$name.log
    rm -rf "$corpus"
    mkdir -p "$corpus"
    if ! setarch "$(uname -m)" -R "$build_dir/tests/fuzz/calltrail_${name}_fuzzer" -seed="$fuzz_seed" \
        -runs="$inputs" -max_total_time=$((time * 3)) -print_final_stats=1 \
        -artifact_prefix="$build_dir/${name}_" "$corpus" "$seeds" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "FAIL fuzz $name: see $log"
        return 1
    fi
    local executions speed
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "ok   fuzz $name: $executions executions from seed $fuzz_seed ($speed per second), no crash"
}

# The time is shared: the stage takes about as long with two fuzzers as it
# did with one; the walker's decoders take a sixth more, and the line reader,
# one small table per input, a few seconds.
status=0
fuzz render $((seconds / 2)) $((seconds * 4500)) "$source_dir/tests/fuzz/seeds" || status=1
fuzz object $((seconds - seconds / 2)) $((seconds * 2500)) "$object_seeds" || status=1
fuzz unwind $((seconds / 6)) $((seconds * 8000)) "$source_dir/tests/fuzz/unwind_seeds" || status=1
fuzz line $((seconds / 12 + 1)) $((seconds * 1000)) "$line_seeds" || status=1
exit $status
