#!/usr/bin/env bash
# Makes a static archive export what the shared libraries export: its objects
# are linked into one, in which every symbol but the operations the version
# script names is made local, and the archive holds that one object.
#   archive_only_api.sh ARCHIVE VERSION_SCRIPT LD OBJCOPY NM AR RANLIB
set -euo pipefail
archive=$1 version_script=$2 ld=$3 objcopy=$4 nm=$5 ar=$6 ranlib=$7
joined=$archive.joined.o
keep=$archive.keep
"$ld" -r -o "$joined" --whole-archive "$archive" --no-whole-archive
# The version script names the operations as C++ declarations.
sed -n 's/^ *"\(.*\)";$/\1/p' "$version_script" | LC_ALL=C sort >"$keep.wanted"
paste <("$nm" -g --defined-only --format=posix "$joined" | cut -d' ' -f1) \
      <("$nm" -g --defined-only --format=posix -C "$joined" | sed -E 's/ [A-Za-z] [0-9a-f]+( [0-9a-f]+)?$//') |
    awk -F'\t' 'NR == FNR {wanted[$0] = 1; next} $2 in wanted {print $1}' "$keep.wanted" - >"$keep"
[ "$(wc -l <"$keep")" -eq "$(wc -l <"$keep.wanted")" ] || {
    echo "archive_only_api.sh: $archive lacks some of the operations in $version_script" >&2
    exit 1
}
"$objcopy" --keep-global-symbols="$keep" "$joined"
rm -f "$archive" "$keep" "$keep.wanted"
"$ar" qc "$archive" "$joined"
"$ranlib" "$archive"
rm -f "$joined"
