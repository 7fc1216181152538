#!/usr/bin/env bash
# Installs the build into a scratch prefix; then every installed header must
# compile alone at C++11 with warnings as errors and link against each
# library, and a C++11 program that uses them all must link against each
# library and run. Headers only the engine needs must not be installed.
set -euo pipefail
build_dir=$1 work=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(ls "$prefix"/lib*/libcalltrail_engine.so "$prefix"/lib/*/libcalltrail_engine.so 2>/dev/null | head -1)")
flags=(-std=c++11 -Wall -Wextra -Wpedantic -Werror -I"$prefix/include")
libraries=(calltrail_engine calltrail_engine_d calltrail_noop calltrail_noop_d)
fail() { echo "FAIL $*"; exit 1; }

for internal in array spellout hex_address_text throw_wrapped; do
    [ ! -e "$prefix/include/korvo/$internal.hpp" ] || fail "korvo/$internal.hpp is installed"
done

headers=$(cd "$prefix/include" && find korvo -name '*.hpp' | LC_ALL=C sort)
[ -n "$headers" ] || fail "no headers installed"
for header in $headers; do
    printf '#include <%s>\nint main() { return 0; }\n' "$header" >"$work/alone.cpp"
    "$cxx" "${flags[@]}" -c "$work/alone.cpp" -o "$work/alone.o" 2>"$work/alone.log" ||
        { cat "$work/alone.log"; fail "$header does not compile alone at C++11"; }
    for library in "${libraries[@]}"; do
        "$cxx" "$work/alone.o" -o "$work/alone" -L"$libdir" -l"$library" 2>"$work/alone.log" ||
            { cat "$work/alone.log"; fail "$header does not link against $library"; }
    done
    echo "ok   $header alone"
done

"$cxx" "${flags[@]}" -c "$here/headers/every_header.cpp" -o "$work/every_header.o" 2>"$work/every.log" ||
    { cat "$work/every.log"; fail "every_header.cpp at C++11"; }
for library in "${libraries[@]}"; do
    "$cxx" "$work/every_header.o" -o "$work/every_$library" -L"$libdir" -l"$library" -Wl,-rpath,"$libdir" \
        2>"$work/every.log" || { cat "$work/every.log"; fail "every header's use does not link against $library"; }
    output=$("$work/every_$library")
    case $library in
    *engine*) [[ $output =~ ^frames=[1-9][0-9]*\ text=[1-9][0-9]*\ catches=3$ ]] ;;
    *) [[ $output == "frames=0 text=0 catches=3" ]] ;;
    esac || fail "$library: $output"
    echo "ok   every header used, linked against $library: $output"
done

# The old string ABI is refused with a message, not left to fail at link time.
if "$cxx" "${flags[@]}" -D_GLIBCXX_USE_CXX11_ABI=0 -c "$here/headers/every_header.cpp" -o "$work/old_abi.o" \
    2>"$work/old_abi.log"; then
    fail "the old string ABI compiled"
fi
grep -q "C++11 std::string ABI" "$work/old_abi.log" || { cat "$work/old_abi.log"; fail "the old string ABI: no message"; }
echo "ok   the old string ABI is refused when compiling"
