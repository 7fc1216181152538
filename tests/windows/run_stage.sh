#!/usr/bin/env bash
# The Windows stage of `./dev.sh test`: cross-builds the four libraries with
# mingw-w64, checks their export and import tables, and runs the check programs
# under Wine. It needs mingw-w64 and Wine; when they are missing and cannot be
# installed (root and apt-get), it says that it SKIPPED and why, and succeeds.
# Everything it runs logs to files under the build tree; a failure prints them.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${CALLTRAIL_WINDOWS_BUILD_DIR:-${CALLTRAIL_BUILD_DIR:-$root/build}-windows}
logs=$build/logs
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
compiler=x86_64-w64-mingw32-g++-posix
packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64)
started=$SECONDS

say() { echo "== windows: $*"; }

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

if ! "$root/tools/install_missing.sh" "${packages[@]}" >"$logs/install.log" 2>&1; then
    tail -n 20 "$logs/install.log" | sed 's/^/   | /'
    skipped "could not install ${packages[*]} (log: $logs/install.log)"
fi
command -v "$compiler" >/dev/null || skipped "$compiler not found"
[ -x "$wine" ] || skipped "$wine not found"

export WINEPREFIX=$build/tests/windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Leaves no Wine server of this prefix behind, whatever happens.
trap '[ -d "$WINEPREFIX" ] && "$wineserver" -k >/dev/null 2>&1' EXIT

say "cross-building into $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCALLTRAIL_BUILD_TESTS=ON -DCALLTRAIL_BUILD_EXAMPLES=OFF >"$logs/configure.log" 2>&1 ||
    failed "configure" "$logs/configure.log"
cmake --build "$build" -j"$(nproc)" >"$logs/build.log" 2>&1 || failed "build" "$logs/build.log"
built=$SECONDS

# A fresh prefix takes a while to boot; do it once, before the timed checks.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot --init >"$logs/wineboot.log" 2>&1 || failed "wineboot" "$logs/wineboot.log"
    "$wineserver" -w >/dev/null 2>&1
fi
booted=$SECONDS

if ! ctest --test-dir "$build" -R '^windows\.' -j"$(nproc)" -V --timeout 600 >"$logs/ctest.log" 2>&1; then
    # The failed checks with their details, then ctest's own summary.
    grep -E '^[0-9]+: (FAIL|     )' "$logs/ctest.log" | head -n 80 | sed 's/^/   | /'
    failed "checks" "$logs/ctest.log"
fi
sed -nE 's/^[0-9]+: (ok   .*)$/   \1/p' "$logs/ctest.log" | LC_ALL=C sort
summary=$(grep -E '^[0-9]+% tests passed' "$logs/ctest.log")
say "passed: $summary; build $((built - started))s, wine prefix $((booted - built))s, checks $((SECONDS - booted))s"
