#!/usr/bin/env bash
# The walker's benchmarks, calltrail's walk against libunwind's unw_backtrace
# and libgcc's _Unwind_Backtrace in one run:
#   bench/walker/run.sh LIBRARY_DIR [SEEDS] [SAMPLES]
# LIBRARY_DIR holds the libcalltrail_engine.so to measure (the build's src/).
#   1. the smashed-stack campaign (SEEDS per pattern and stack, default 500),
#      with and without frame pointers: crashes of each walker;
#   2. profiler sampling (SAMPLES per walker, default 3000) in builds of GCC
#      and Clang at -O0, -O2 and -O3, with and without frame pointers, calltrail
#      and libunwind on the same samples;
#   3. the cost of whole walks, of walks through 200 libraries and through 13
#      libraries without a build-id, and of a fresh process's first walk.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
library=$(cd "$1" && pwd)
seeds=${2:-500}
samples=${3:-3000}
work=${CALLTRAIL_WALKER_BENCH_DIR:-$root/build-walker-bench}
mkdir -p "$work"
# libunwind is a peer only, opened by the benchmarks; calltrail does not use it.
"$root/tools/install_missing.sh" g++ clang-14 libunwind8 libunwind-dev
export LD_LIBRARY_PATH=$library
echo "== load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

build() { # OUTPUT COMPILER FLAGS... SOURCE
    local output=$1 compiler=$2
    shift 2
    "$compiler" -std=c++17 -g -I"$root/include" "$@" -o "$work/$output" -L"$library" -lcalltrail_engine -ldl -lpthread
}

echo "== smashed stacks, $seeds seeds of each pattern on each stack"
for frames in with:-fno-omit-frame-pointer without:-fomit-frame-pointer; do
    build "smashed_${frames%%:*}" g++ -O2 "${frames#*:}" -fno-optimize-sibling-calls "$here/smashed_stacks.cpp"
    echo "-- frame pointers: ${frames%%:*}"
    "$work/smashed_${frames%%:*}" "$seeds"
done

echo "== profiler sampling, $samples samples a walker"
for compiler in g++ clang++-14; do
    for level in -O0 -O2 -O3; do
        for frames in with:-fno-omit-frame-pointer without:-fomit-frame-pointer; do
            name="sampling_${compiler%%+*}${level}_${frames%%:*}"
            build "$name" "$compiler" "$level" "${frames#*:}" -rdynamic "$here/sampling.cpp"
            # calltrail and libunwind walk the same samples; libgcc, which
            # may kill the sampled program, on its own.
            for walkers in calltrail,libunwind libgcc; do
                result=$("$work/$name" "$walkers" "$samples" 2>&1) || result="$walkers: the sampled program died ($?)"
                echo "$result" | sed "s/^/$compiler $level ${frames%%:*} frame pointers: /"
            done
        done
    done
done

echo "== cost"
build walk_cost g++ -O2 -fno-omit-frame-pointer -fno-optimize-sibling-calls "$here/walk_cost.cpp"
g++ -O2 -fPIC -shared -o "$work/libhop.so" "$here/hop.cpp"
g++ -O2 -fPIC -shared -Wl,--build-id=none -o "$work/libhop_noid.so" "$here/hop.cpp"
mkdir -p "$work/libs200" "$work/libs13"
for i in $(seq 0 199); do cp "$work/libhop.so" "$work/libs200/libhop_$i.so"; done
for i in $(seq 0 12); do cp "$work/libhop_noid.so" "$work/libs13/libhop_$i.so"; done
"$work/walk_cost" depth
"$work/walk_cost" libraries "$work/libs200" 200 1000
"$work/walk_cost" libraries "$work/libs13" 13 1000
for walker in calltrail libunwind libgcc; do
    for i in $(seq 15); do "$work/walk_cost" first "$walker"; done | sort -k6 -n | sed -n 8p
done
