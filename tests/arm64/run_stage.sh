#!/usr/bin/env bash
# The arm64 stage of `./dev.sh test`: cross-builds the four libraries, the
# examples and the tests that run on arm64 with Debian's aarch64 cross
# compiler, checks the libraries' exports, and runs the rest under qemu's
# user-mode emulation. It adds the arm64 architecture to dpkg and installs
# the cross compiler, qemu and arm64 libraries (root and apt-get); when it
# cannot, it says that it SKIPPED and why, and succeeds. Everything it runs
# logs to files under the build tree; a failure prints them.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${CALLTRAIL_ARM64_BUILD_DIR:-${CALLTRAIL_BUILD_DIR:-$root/build}-arm64}
logs=$build/logs
compiler=aarch64-linux-gnu-g++
qemu=qemu-aarch64-static
# The loader, C library and C++ runtime the programs run on, and what the
# tests link: GoogleTest, and the decompressors and libdw the engine's tests
# build with.
packages=(g++-aarch64-linux-gnu qemu-user-static libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64 libgtest-dev:arm64
          libgmock-dev:arm64 zlib1g-dev:arm64 libzstd-dev:arm64 liblzma-dev:arm64 libdw-dev:arm64)
# What runs here: every suite whose result can depend on the processor.
# Left out, as they hold no code that differs between processors: the
# engine over a scripted platform (engine_contract_test,
# reliability_fault_test), number texts and the conversion failure, crafted
# objects (posix_engine_hostile_test) and the fuzz replays; and, taking close
# to a minute each under emulation, the DWARF reader against libdw
# (posix_engine_dwarf_test) and reliability_soak_test. Also left out:
# capture_agreement_test, which holds the walk to libgcc's, and on arm64 the
# walk is libgcc's; reliability_security_test, which seals a child with a
# seccomp filter of x86-64 system calls and starts a program, which qemu's
# user-mode emulation cannot; reliability_fork_test, whose children, forked
# while other threads run, now and then wait for ever on a lock inside qemu
# itself; and the checks of the installed package, the consumers and the
# formatting, which are the host's.
targets=(calltrail_engine calltrail_engine_d calltrail_noop calltrail_noop_d
         capture_test frame_test noop_test trace_test trace_noop_test
         posix_engine_call_instruction_test posix_engine_end_to_end_test posix_engine_test
         posix_engine_fixed_address_test
         reliability_crash_test reliability_signal_capture_test reliability_bad_input_test reliability_load_test
         calltrail_demo calltrail_crash_handler calltrail_crash_handler_plain calltrail_traced_exception calltrail_assert_trace
         calltrail_plugin_host calltrail_example_plugin)
tests='^(exports|(capture|frame|noop|trace|trace_noop)_test\.'
tests+='|posix_engine_(call_instruction_|end_to_end_|fixed_address_)?test\.'
tests+='|reliability_(crash|signal_capture|bad_input|load)_test\.|example_)'
started=$SECONDS

say() { echo "== arm64: $*"; }

skipped() {
    say "stage SKIPPED: $*"
    exit 0
}

# Prints the end of a log and fails the stage.
failed() {
    local what=$1 log=$2
    tail -n 60 "$log" | sed 's/^/   | /'
    say "FAILED: $what (log: $log)"
    exit 1
}

mkdir -p "$logs" || skipped "cannot create $logs"

# arm64 packages come from Debian's archive once dpkg knows the architecture;
# install_missing.sh updates the package lists before it installs.
if ! dpkg --print-foreign-architectures 2>/dev/null | grep -qx arm64; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo dpkg --add-architecture arm64 >"$logs/install.log" 2>&1 ||
        skipped "could not add the arm64 architecture to dpkg (log: $logs/install.log)"
fi
if ! "$root/tools/install_missing.sh" "${packages[@]}" >>"$logs/install.log" 2>&1; then
    tail -n 20 "$logs/install.log" | sed 's/^/   | /'
    skipped "could not install ${packages[*]} (log: $logs/install.log)"
fi
command -v "$compiler" >/dev/null || skipped "$compiler not found"
command -v "$qemu" >/dev/null || skipped "$qemu not found"
installed=$SECONDS

say "cross-building into $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DCALLTRAIL_BUILD_TESTS=ON -DCALLTRAIL_BUILD_EXAMPLES=ON -DCALLTRAIL_TEST_VARIANTS=release \
    >"$logs/configure.log" 2>&1 || failed "configure" "$logs/configure.log"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >"$logs/build.log" 2>&1 ||
    failed "build" "$logs/build.log"
built=$SECONDS

if ! ctest --test-dir "$build" -R "$tests" -j"$(nproc)" --timeout 300 --output-on-failure >"$logs/ctest.log" 2>&1; then
    grep -E '^[0-9]+/[0-9]+ Test .*(Failed|Timeout|Not Run)' "$logs/ctest.log" | sed 's/^/   | /'
    failed "tests" "$logs/ctest.log"
fi
summary=$(grep -E '^[0-9]+% tests passed' "$logs/ctest.log")
say "passed: $summary; install $((installed - started))s, build $((built - installed))s, tests $((SECONDS - built))s"
