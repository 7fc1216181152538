#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds one consumer against
# each of the four libraries, through CMake and through pkg-config, and runs it.
set -euo pipefail
build_dir=$1 work=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

check() { # library output
    case $1 in
    *engine*) [[ $2 =~ ^frames=[1-9][0-9]*\  ]] ;;
    *) [[ $2 == "frames=0 text=0" ]] ;;
    esac
}

status=0
for target in engine engine_d noop noop_d; do
    dir=$work/cmake_$target
    cmake -S "$here" -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCALLTRAIL_LIBRARY=calltrail::$target >"$work/$target.log" 2>&1 &&
        cmake --build "$dir" >>"$work/$target.log" 2>&1 || { cat "$work/$target.log"; exit 1; }
    output=$("$dir/consumer")
    if check "$target" "$output"; then echo "ok   cmake calltrail::$target: $output"; else
        echo "FAIL cmake calltrail::$target: $output"; status=1; fi

    # As the README builds it: the rpath is the libdir pkg-config gives,
    # which is the library's directory as it stands.
    library=calltrail_$target
    export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/$("$cxx" -print-multiarch)/pkgconfig"
    libdir=$(pkg-config --variable=libdir "$library")
    [ "$libdir" == "$(dirname "$(ls "$prefix"/lib/*/lib$library.so "$prefix"/lib/lib$library.so 2>/dev/null)")" ] ||
        { echo "FAIL pkg-config libdir of $library: $libdir"; status=1; }
    # shellcheck disable=SC2046
    "$cxx" -std=c++17 "$here/main.cpp" -o "$work/pc_$target" $(pkg-config --cflags --libs "$library") \
        -Wl,-rpath,"$libdir"
    output=$("$work/pc_$target")
    if check "$target" "$output"; then echo "ok   pkg-config $library: $output"; else
        echo "FAIL pkg-config $library: $output"; status=1; fi
done
exit $status
