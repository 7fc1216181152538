#!/usr/bin/env bash
# Builds a project that embeds calltrail with add_subdirectory and packages
# itself with CPack: its package must stay its own, with nothing of
# calltrail's installed into it, and its program must trace.
set -euo pipefail
source_dir=$1 work=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
fail() { echo "FAIL $*"; exit 1; }
cmake -S "$here/embedded" -B "$work" -G Ninja -DCALLTRAIL_SOURCE="$source_dir" -DCMAKE_CXX_COMPILER="$cxx" \
    >"$work.log" 2>&1 && cmake --build "$work" >>"$work.log" 2>&1 || { cat "$work.log"; exit 1; }
if grep -q "CPack" "$work.log"; then grep "CPack" "$work.log"; fail "calltrail spoke of CPack"; fi

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

output=$("$work/parent_app")
[[ $output =~ ^frames=[1-9][0-9]*\ text=[1-9] ]] || fail "consumer: $output"
echo "ok   embedded consumer: $output"
