#!/usr/bin/env bash
# Set-up, build and run on a Debian 12 machine.
#   ./dev.sh demo   install what is missing, build, run the demo
#   ./dev.sh test   install what is missing, build, run every test
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
build=${CALLTRAIL_BUILD_DIR:-$root/build}

# What building the libraries and running the demo needs; the decompressors'
# headers, though their libraries are opened only when a compressed form of
# debug information is first read.
demo_packages=(cmake ninja-build g++ zlib1g-dev libzstd-dev liblzma-dev)
# The tests also find their reference libraries with pkg-config, make split
# DWARF packages (llvm-dwp), dwz and MiniDebugInfo forms, and inflate with
# ISA-L (loaded when installed, declared by the engine itself) against zlib;
# the offline symbolizer's compare inline chains with llvm-symbolizer's and
# ask a local debuginfod server through libdebuginfod.
packages=("${demo_packages[@]}" pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev libdw-dev
          libisal2 libisal-dev
          valgrind clang-14 libclang-rt-14-dev clang-format git file llvm-14 dwz xz-utils debuginfod libdebuginfod1)

configure() {
    cmake -S "$root" -B "$build" -G Ninja -DCALLTRAIL_BUILD_TESTS="$1" "${@:2}" >/dev/null
}

build_all() {
    # The benchmarks too, so that they keep compiling; bench/run.sh runs them.
    configure ON -DCALLTRAIL_BUILD_BENCH=ON
    cmake --build "$build" -j"$(nproc)"
}

# Runs one step of the test command and prints how long it took.
timed() {
    local name=$1 started=$SECONDS status=0
    shift
    echo "== stage $name"
    "$@" || status=$?
    echo "== stage $name: $((SECONDS - started)) s"
    return $status
}

case ${1:-} in
demo)
    "$root/tools/install_missing.sh" "${demo_packages[@]}"
    # Only the demo and the library it links.
    configure OFF
    cmake --build "$build" -j"$(nproc)" --target calltrail_demo
    "$build/examples/calltrail_demo"
    ;;
test)
    started=$SECONDS
    "$root/tools/install_missing.sh" "${packages[@]}"
    timed build build_all
    timed ctest ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
    # The Windows libraries, cross-built and run under Wine; says so when skipped.
    timed windows "$root/tests/windows/run_stage.sh"
    # The same on arm64: cross-built and run under qemu; says so when skipped.
    timed arm64 "$root/tests/arm64/run_stage.sh"
    # Sanitizers, memcheck and the fuzzer, each timed; CALLTRAIL_STAGES picks some.
    "$root/tests/stages/run.sh" "$root" "$build"
    echo "== all stages passed in $((SECONDS - started)) s"
    ;;
*)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
