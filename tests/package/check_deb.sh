#!/usr/bin/env bash
# Builds the three Debian packages, checks how the files are split between
# them, installs them with dpkg into a scratch root, builds consumers against
# what they installed, through CMake and through pkg-config, and symbolizes a
# consumer's frame with the installed calltrail-symbolize.
set -euo pipefail
build_dir=$1 work=$2 cxx=$3
consumer=$(cd "$(dirname "$0")/../consumer" && pwd)
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL $*"; exit 1; }

(cd "$build_dir" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
runtime=$(ls "$work"/out/libcalltrail0_*.deb)
dev=$(ls "$work"/out/libcalltrail-dev_*.deb)
tools=$(ls "$work"/out/calltrail-tools_*.deb)
for deb in "$runtime" "$dev" "$tools"; do
    echo "package: $(basename "$deb")"
    dpkg-deb -I "$deb" | grep -E '^ (Package|Section|Depends|Recommends):'
done
[[ $(dpkg-deb -f "$dev" Depends) == "libcalltrail0 (= $(dpkg-deb -f "$runtime" Version))" ]] ||
    fail "libcalltrail-dev must depend on exactly its libcalltrail0"

multiarch=$("$cxx" -print-multiarch)
libdir=usr/lib/$multiarch
files() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$'; }
stray=$(files "$runtime" | grep -Ev "^$libdir/libcalltrail_[a-z_]+\.so\.[0-9.]+$" || true)
[ -z "$stray" ] || fail "libcalltrail0 holds more than the shared libraries: $stray"
stray=$(files "$dev" | grep -E '\.so\.[0-9]|/korvo/(array|spellout|hex_address_text|throw_wrapped)\.hpp$' || true)
[ -z "$stray" ] || fail "libcalltrail-dev holds a runtime file or a header only the engine needs: $stray"
[[ $(files "$tools") == "usr/bin/calltrail-symbolize" ]] || fail "calltrail-tools holds more or less: $(files "$tools")"
dpkg-deb -f "$tools" Depends | grep -qv libcalltrail || fail "calltrail-tools needs no library of ours"
# Installed-Size counts KiB: the files, and a block for each directory.
size=$(dpkg-deb -c "$runtime" | awk '$1 ~ /^-/ {bytes += $3} $1 ~ /^d/ {dirs++} END {print int((bytes + 1023) / 1024) + 4 * dirs}')
declared=$(dpkg-deb -f "$runtime" Installed-Size)
[ "$declared" -ge $((size - 8)) ] && [ "$declared" -le $((size + 8)) ] ||
    fail "libcalltrail0 declares $declared KiB installed for $size KiB of files"
echo "ok   libcalltrail0 declares $declared KiB installed, its files take $size KiB"
for library in engine engine_d noop noop_d; do
    files "$runtime" | grep -qx "$libdir/libcalltrail_$library.so.0" || fail "libcalltrail0 lacks its $library soname"
    for file in "$libdir/libcalltrail_$library.so" "$libdir/pkgconfig/calltrail_$library.pc"; do
        files "$dev" | grep -qx "$file" || fail "libcalltrail-dev lacks $file"
    done
done

# dpkg keeps its own database in each scratch root, where none of the system's
# packages are: only the dependency between ours is checked there.
install_into() { # root [--option] deb...
    rm -rf "$1" && mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/lib/dpkg/triggers"
    touch "$1/var/lib/dpkg/status" "$1/var/lib/dpkg/available"
    dpkg --root="$1" --force-script-chrootless --force-not-root "${@:2}" >>"$work/dpkg.log" 2>&1
}
if install_into "$work/alone" -i "$dev"; then fail "libcalltrail-dev installed without libcalltrail0"; fi
grep -q "Package libcalltrail0 is not installed" "$work/dpkg.log" || { cat "$work/dpkg.log"; fail "dpkg refused -dev"; }
root=$work/root
install_into "$root" --force-depends -i "$runtime" "$dev" "$tools" || { cat "$work/dpkg.log"; fail "dpkg -i"; }
[[ $(dpkg-query --root="$root" -W -f='${db:Status-Status} ' libcalltrail0 libcalltrail-dev calltrail-tools) == \
    "installed installed installed " ]] ||
    fail "packages not installed in the scratch root"

cmake -S "$consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCALLTRAIL_LIBRARY=calltrail::engine >"$work/cmake.log" 2>&1 &&
    cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
output=$("$work/cmake/consumer")
[[ $output =~ ^frames=[1-9] ]] || fail "cmake consumer: $output"
echo "ok   cmake consumer: $output"

# The files name the paths the package installs to, as they stand; the
# scratch root is the system root of that pkg-config.
pc_libdir=$(PKG_CONFIG_PATH="$root/$libdir/pkgconfig" pkg-config --variable=libdir calltrail_noop_d)
[ "$pc_libdir" == "/$libdir" ] || fail "pkg-config libdir: $pc_libdir"
# shellcheck disable=SC2046
"$cxx" -std=c++17 "$consumer/main.cpp" -o "$work/pc_consumer" \
    $(PKG_CONFIG_PATH="$root/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags --libs calltrail_noop_d)
output=$(LD_LIBRARY_PATH="$root/$libdir" "$work/pc_consumer")
[[ $output == "frames=0 text=0" ]] || fail "pkg-config consumer: $output"
echo "ok   pkg-config consumer (noop_d): $output"

# The installed symbolizer names the consumer's main from its file alone.
main_offset=$(nm "$work/pc_consumer" | awk '$3 == "main" { print $1 }')
output=$(echo "$work/pc_consumer 0x$main_offset" | "$root/usr/bin/calltrail-symbolize")
[[ $output =~ ^\ 0#\ main\  ]] || fail "installed calltrail-symbolize: $output"
echo "ok   installed calltrail-symbolize: $output"
