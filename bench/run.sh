#!/usr/bin/env bash
# Builds the benchmarks, runs every one of them and prints the table of our
# figures against the peers measured in the same run.
#   bench/run.sh            repetitions per row from CALLTRAIL_BENCH_REPETITIONS (5)
# The build lives in CALLTRAIL_BENCH_BUILD_DIR (build-bench beside the sources).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${CALLTRAIL_BENCH_BUILD_DIR:-$root/build-bench}
repetitions=${CALLTRAIL_BENCH_REPETITIONS:-5}

# libc6-dbg: developers who debug have it, and it is what makes lines inside
# the C library cost something for every renderer.
# libunwind is a peer of the capture rows only; calltrail does not use it.
# The offline symbolizer is measured against llvm-symbolizer, eu-addr2line and
# addr2line, on a program built from GoogleTest's sources; libisal2 inflates
# libc6-dbg's sections where it is installed.
packages=(cmake ninja-build g++ python3 zlib1g-dev libzstd-dev liblzma-dev libbenchmark-dev libbackward-cpp-dev
          libc6-dbg libdw-dev libunwind-dev libunwind8 llvm-14 elfutils binutils googletest libisal2)

"$root/tools/install_missing.sh" "${packages[@]}"

echo "== building in $build"
cmake -S "$root" -B "$build" -G Ninja -DCALLTRAIL_BUILD_TESTS=OFF -DCALLTRAIL_BUILD_EXAMPLES=ON \
      -DCALLTRAIL_BUILD_BENCH=ON >/dev/null
# Tests are off: this tree holds the libraries, the examples and the benchmarks.
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" -j"$(nproc)" --target calltrail_bench_symbolize_target calltrail_symbolize

# No renderer may ask a debuginfod server.
unset DEBUGINFOD_URLS
bin=$build/bench
out=$build/bench-results
mkdir -p "$out"
# Repetitions of all rows interleave, so that a change in the machine's load
# falls on ours and the peers alike.
common=(--benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true
        --benchmark_report_aggregates_only=true
        --benchmark_out_format=json)

run() {
    local what=$1 name=$2
    shift 2
    echo "== $what (log: $out/$name.log)"
    "$bin/calltrail_bench_$name" "${common[@]}" --benchmark_out="$out/$name.json" "$@" >"$out/$name.log" 2>&1 ||
        { cat "$out/$name.log"; exit 1; }
}

echo "== load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bin/calltrail_bench_texts" >"$out/texts.txt"
run "stack walks" capture
run "warm rendering" render
run "fresh processes" process --benchmark_min_time=1
echo
python3 "$root/bench/table.py" "$out/capture.json" "$out/render.json" "$out/process.json" "$out/texts.txt"
# Stack use of the paths a signal handler takes, against each library.
echo
echo "== stack use, release library"
"$bin/calltrail_bench_stack_use"
echo "== stack use, _d library"
"$bin/calltrail_bench_stack_use_d"
# The offline symbolizer against its peers.
echo
python3 "$root/bench/symbolize.py" "$build" --repetitions "$repetitions"
# Time to die of the crash handler, rendered in and out of process.
echo
python3 "$root/bench/crash_time.py" "$build" --repetitions 10
