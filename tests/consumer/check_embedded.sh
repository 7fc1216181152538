#!/usr/bin/env bash
# Builds a project that embeds calltrail with add_subdirectory, installs it
# and packages it with CPack, and runs its installed program.
#   check_embedded.sh SOURCE_DIR WORK CXX package|install
# package: without EXCLUDE_FROM_ALL, static (BUILD_SHARED_LIBS=OFF), calltrail
#   installing nothing: the parent's package holds its program alone, which
#   runs from there; calltrail built only what the program links, and its
#   archive defines the eight operations and no other global symbol.
# install: with EXCLUDE_FROM_ALL, shared, CALLTRAIL_INSTALL=ON: the parent's
#   install carries the libraries, and its program runs from there.
set -euo pipefail
source_dir=$1 work=$2 cxx=$3 mode=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
fail() { echo "FAIL $*"; exit 1; }
case $mode in
package) options=(-DCALLTRAIL_EXCLUDED=OFF -DBUILD_SHARED_LIBS=OFF) ;;
install) options=(-DCALLTRAIL_EXCLUDED=ON -DCALLTRAIL_INSTALL=ON) ;;
*) fail "unknown mode $mode" ;;
esac
cmake -S "$here/embedded" -B "$work" -G Ninja -DCALLTRAIL_SOURCE="$source_dir" -DCMAKE_CXX_COMPILER="$cxx" \
    "${options[@]}" >"$work.log" 2>&1 && cmake --build "$work" >>"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
if grep -q "CPack" "$work.log"; then grep "CPack" "$work.log"; fail "calltrail spoke of CPack"; fi
runs() { # program
    local output
    output=$("$1") || fail "$1 exited with $?"
    [[ $output =~ ^frames=[1-9][0-9]*\ text=[1-9] ]] || fail "$1: $output"
    echo "$output"
}

if [ "$mode" = install ]; then
    cmake --install "$work" --prefix "$work/prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
    for library in engine engine_d noop noop_d; do
        ls "$work"/prefix/lib*/libcalltrail_$library.so.0 >/dev/null 2>&1 || fail "the install lacks $library"
    done
    ls "$work"/prefix/lib*/cmake/calltrail/calltrailConfig.cmake >/dev/null 2>&1 || fail "the install lacks the CMake package"
    echo "ok   installed program (EXCLUDE_FROM_ALL, shared): $(runs "$work/prefix/bin/parent_app")"
    exit 0
fi

config=$work/CPackConfig.cmake
grep -q '^set(CPACK_PACKAGE_NAME "parent_app")' "$config" || fail "package name: $(grep PACKAGE_NAME "$config")"
grep -q '^set(CPACK_PACKAGE_VERSION "2.3.4")' "$config" || fail "package version: $(grep PACKAGE_VERSION "$config")"
grep -q '^set(CPACK_GENERATOR "TGZ")' "$config" || fail "generator: $(grep CPACK_GENERATOR "$config")"
(cd "$work" && cpack >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
package=$work/parent_app-2.3.4-Linux.tar.gz
[ -f "$package" ] || { ls "$work"; fail "no parent_app package"; }
contents=$(tar -tzf "$package" | grep -v '/$')
[ "$contents" == "parent_app-2.3.4-Linux/bin/parent_app" ] || fail "the package holds more than the program: $contents"
echo "ok   the parent's package is its own: $contents"
mkdir -p "$work/unpacked" && tar -xzf "$package" -C "$work/unpacked"
echo "ok   packaged program (static): $(runs "$work/unpacked/parent_app-2.3.4-Linux/bin/parent_app")"

built=$(cd "$work/calltrail" && find . -name 'libcalltrail_*' | sort | tr '\n' ' ')
[[ $built == *libcalltrail_engine.a* && $built != *_d.* && $built != *noop* ]] ||
    fail "built more or less than the library the program links: $built"
echo "ok   built only what the program links: $built"
archive=$work/calltrail/src/libcalltrail_engine.a
global=$(nm -g --defined-only -C "$archive" | grep -v -e ':$' -e '^$' | sed -E 's/^[0-9a-f]+ [A-Za-z] //' | LC_ALL=C sort)
expected=$("$source_dir/tests/check_exports.sh" --list | LC_ALL=C sort)
[ "$global" == "$expected" ] || { diff <(echo "$expected") <(echo "$global") || true; fail "the archive's globals"; }
echo "ok   the archive defines the eight operations and no other global symbol"
