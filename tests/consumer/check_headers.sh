#!/usr/bin/env bash
# Installs the build into a scratch prefix. Headers only the engine needs must
# not be there; every installed header must compile alone at C++11 with
# warnings as errors and link against each library; a C++11 program using them
# all must link against each library and run; the old string ABI is refused.
set -euo pipefail
build_dir=$1 work=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libcalltrail_engine.so | head -1)")
flags=(-std=c++11 -Wall -Wextra -Wpedantic -Werror -I"$prefix/include")
fail() { echo "FAIL $*"; [ ! -s "$work/log" ] || cat "$work/log"; exit 1; }

for internal in array spellout hex_address_text throw_wrapped; do
    [ ! -e "$prefix/include/korvo/$internal.hpp" ] || fail "korvo/$internal.hpp is installed"
done
for header in $(cd "$prefix/include" && find korvo -name '*.hpp' | LC_ALL=C sort); do
    printf '#include <%s>\nint main() { return 0; }\n' "$header" >"$work/alone.cpp"
    "$cxx" "${flags[@]}" -c "$work/alone.cpp" -o "$work/alone.o" 2>"$work/log" || fail "$header at C++11"
    for library in calltrail_engine calltrail_engine_d calltrail_noop calltrail_noop_d; do
        "$cxx" "$work/alone.o" -o "$work/alone" -L"$libdir" -l"$library" 2>"$work/log" || fail "$header with $library"
    done
    echo "ok   $header alone"
done

"$cxx" "${flags[@]}" -c "$here/headers/every_header.cpp" -o "$work/every.o" 2>"$work/log" || fail "every_header.cpp"
for library in calltrail_engine calltrail_engine_d calltrail_noop calltrail_noop_d; do
    "$cxx" "$work/every.o" -o "$work/every" -L"$libdir" -l"$library" -Wl,-rpath,"$libdir" 2>"$work/log" ||
        fail "every header's use with $library"
    output=$("$work/every")
    case $library in
    *engine*) [[ $output =~ ^frames=[1-9][0-9]*\ text=[1-9][0-9]*\ traced=[1-9][0-9]*\ caught=1$ ]] ;;
    *) [[ $output == "frames=0 text=2 traced=0 caught=1" ]] ;;
    esac || fail "$library: $output"
    echo "ok   every header used, linked against $library: $output"
done

if "$cxx" "${flags[@]}" -D_GLIBCXX_USE_CXX11_ABI=0 -c "$here/headers/every_header.cpp" -o "$work/old.o" 2>"$work/log"; then
    fail "the old string ABI compiled"
fi
grep -q "C++11 std::string ABI" "$work/log" || fail "the old string ABI: no message"
echo "ok   the old string ABI is refused when compiling"
