#!/usr/bin/env bash
# The whole test suite, built and run under sanitizers in a build of its own.
#   sanitized.sh asan|tsan SOURCE_DIR BUILD_DIR
# asan is AddressSanitizer with UndefinedBehaviorSanitizer; tsan is
# ThreadSanitizer. Both use GCC's runtimes.
set -euo pipefail
kind=$1
source_dir=$2
build_dir=$3
jobs=${CALLTRAIL_JOBS:-$(nproc)}

# Each sanitizer runs the suites in one runtime variant; the plain build runs
# both. AddressSanitizer takes the unoptimised one with the standard
# library's checks; ThreadSanitizer the optimised one users ship. Each also
# takes a build type other than the plain build's none, so that the suites
# pass in those too: Debug, and RelWithDebInfo, whose debug information on
# optimised code puts the reader's own lambdas and inlined calls before the
# libdw comparison.
case $kind in
asan)
    variant=debug
    build_type=Debug
    flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    ;;
tsan)
    variant=release
    build_type=RelWithDebInfo
    flags="-fsanitize=thread -fno-omit-frame-pointer"
    # Signal handlers that render allocate, as the crash handler example says
    # they do; ThreadSanitizer would report each such call.
    export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0}
    ;;
*)
    echo "usage: $0 asan|tsan SOURCE_DIR BUILD_DIR" >&2
    exit 2
    ;;
esac

# The installed-package, installed-header and Debian-package checks build plain
# programs against the installed libraries; uninstrumented programs cannot load
# sanitized libraries, so those checks run in the plain build only. The
# consumer builds configure plain projects of their own, and formatting and the
# demo's packages read sources: a sanitizer changes nothing they see.
plain_only='installed_package|installed_headers|debian_package|source_consumer|embedded_consumer|embedded_install'
plain_only="$plain_only|formatting|demo_packages"
excluded="^($plain_only)\$"
# ASan intercepts _Unwind_RaiseException itself, so the check that the host's
# exceptions still go through libgcc_s finds ASan's interceptor instead.
[ "$kind" = asan ] && excluded="^($plain_only|capture_test(_d)?\\.collect\\.leaves_the_hosts_unwinder_alone)\$"

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=$build_type -DCALLTRAIL_BUILD_TESTS=ON \
    -DCALLTRAIL_BUILD_EXAMPLES=ON -DCALLTRAIL_BUILD_BENCH=OFF -DCALLTRAIL_TEST_VARIANTS=$variant \
    -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$build_dir" -j"$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" -E "$excluded"
