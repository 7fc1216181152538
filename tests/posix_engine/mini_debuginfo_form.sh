#!/usr/bin/env bash
# Strips a library as distributions that ship MiniDebugInfo do: all but the
# dynamic symbols go, and the functions they leave out are kept in an
# xz-compressed symbol table in .gnu_debugdata.
#   mini_debuginfo_form.sh LIBRARY NM OBJCOPY STRIP
set -euo pipefail
library=$1
nm=$2
objcopy=$3
strip=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$nm" -D "$library" --format=posix --defined-only | awk '{ print $1 }' | sort >"$work/dynamic"
"$nm" "$library" --format=posix --defined-only | awk '$2 == "T" || $2 == "t" { print $1 }' | sort >"$work/functions"
comm -13 "$work/dynamic" "$work/functions" >"$work/keep"
"$objcopy" --only-keep-debug "$library" "$work/debug"
"$objcopy" -S --remove-section .gdb_index --remove-section .comment --keep-symbols="$work/keep" "$work/debug" \
    "$work/mini"
xz --threads=1 "$work/mini"
"$strip" --strip-all --remove-section .comment "$library"
"$objcopy" --add-section .gnu_debugdata="$work/mini.xz" "$library"
