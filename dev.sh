#!/usr/bin/env bash
# Set-up, build and run on a Debian 12 machine.
#   ./dev.sh demo   install what is missing, build, run the demo
#   ./dev.sh test   install what is missing, build, run every test
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
build=${CALLTRAIL_BUILD_DIR:-$root/build}

packages=(cmake ninja-build g++ pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libdw-dev libelf-dev
          valgrind clang-14 libclang-rt-14-dev clang-format git)

install_missing() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_and_build() {
    cmake -S "$root" -B "$build" -G Ninja -DCALLTRAIL_BUILD_TESTS="$1" >/dev/null
    cmake --build "$build" -j"$(nproc)"
}

case ${1:-} in
demo)
    install_missing "${packages[@]}"
    configure_and_build OFF
    "$build/examples/calltrail_demo"
    ;;
test)
    install_missing "${packages[@]}"
    configure_and_build ON
    ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
    # The Windows libraries, cross-built and run under Wine; says so when skipped.
    "$root/tests/windows/run_stage.sh"
    # Sanitizers, memcheck and the fuzzer, each timed; CALLTRAIL_STAGES picks some.
    "$root/tests/stages/run.sh" "$root" "$build"
    ;;
*)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
