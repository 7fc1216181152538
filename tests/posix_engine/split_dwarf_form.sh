#!/usr/bin/env bash
# Puts the split part of a library built with -gsplit-dwarf where a test
# wants it:
#   missing LIBRARY OBJECT       its .dwo removed: the split part is not found
#   package LIBRARY OBJECT TOOL  its .dwo packed into LIBRARY.dwp by TOOL (dwp
#                                or llvm-dwp) and moved aside, so that only
#                                the package holds it
set -euo pipefail
mode=$1
library=$2
dwo=${3%.o}.dwo
case $mode in
missing)
    rm -f "$dwo"
    ;;
package)
    # Kept aside rather than removed: a relink without a recompile packs it
    # again.
    if [ -f "$dwo" ]; then mv -f "$dwo" "$dwo.packed"; fi
    # llvm-dwp 14 never finishes on some units GCC writes: fail instead.
    timeout 300 "$4" -o "$library.dwp" "$dwo.packed"
    ;;
*)
    echo "usage: $0 missing|package LIBRARY OBJECT [TOOL]" >&2
    exit 2
    ;;
esac
