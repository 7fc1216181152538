#!/usr/bin/env bash
# Builds the .deb, unpacks it into a scratch root and builds a consumer
# against what it holds, through CMake and through pkg-config.
set -euo pipefail
build_dir=$1 work=$2 cxx=$3
consumer=$(cd "$(dirname "$0")/../consumer" && pwd)
rm -rf "$work"
mkdir -p "$work"
(cd "$build_dir" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/calltrail_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -I "$deb" | grep -E '^ (Package|Version|Depends):'
root=$work/root
dpkg -x "$deb" "$root"

for file in include/korvo/calltrail/calltrail.hpp lib/cmake/calltrail/calltrailConfig.cmake \
    lib/pkgconfig/calltrail_engine.pc lib/libcalltrail_engine.so lib/libcalltrail_engine_d.so \
    lib/libcalltrail_noop.so lib/libcalltrail_noop_d.so; do
    [ -e "$root/usr/$file" ] || { echo "FAIL missing /usr/$file"; exit 1; }
done

cmake -S "$consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCALLTRAIL_LIBRARY=calltrail::engine >"$work/cmake.log" 2>&1 &&
    cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
output=$("$work/cmake/consumer")
[[ $output =~ ^frames=[1-9] ]] || { echo "FAIL cmake consumer: $output"; exit 1; }
echo "ok   cmake consumer: $output"

# shellcheck disable=SC2046
"$cxx" -std=c++17 "$consumer/main.cpp" -o "$work/pc_consumer" \
    $(PKG_CONFIG_PATH="$root/usr/lib/pkgconfig" pkg-config --cflags --libs calltrail_noop_d)
output=$(LD_LIBRARY_PATH="$root/usr/lib" "$work/pc_consumer")
[[ $output == "frames=0 text=0" ]] || { echo "FAIL pkg-config consumer: $output"; exit 1; }
echo "ok   pkg-config consumer (noop_d): $output"
