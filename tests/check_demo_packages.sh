#!/usr/bin/env bash
# Fails when building the demo reads a file that no package `./dev.sh demo`
# installs provides: every header its objects were compiled from (the
# compiler's dependency output, kept by ninja), every library file its links
# name, and every header its configure requires, mapped to their Debian
# packages, against the demo's packages and what they depend on.
#   check_demo_packages.sh SOURCE_DIR BUILD_DIR   (a ninja build, built)
set -euo pipefail
source_dir=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
fail() { echo "FAIL $*"; exit 1; }

# The demo's list, as dev.sh installs it.
demo=$(sed -n '/^demo_packages=(/,/)/p' "$source_dir/dev.sh" | sed -e 's/^demo_packages=(//' -e 's/).*//' -e 's/#.*//')
[ -n "${demo// /}" ] || fail "no demo_packages list in dev.sh"
# shellcheck disable=SC2086
allowed=$( {
    apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances $demo | grep -v '^ '
    # What a minimal Debian root has before anything is installed.
    dpkg-query -W -f='${Package} ${Essential} ${Priority}\n' | awk '$2 == "yes" || $3 == "required" {print $1}'
} | sed 's/:.*//' | sort -u)

cd "$build"
demo_target=$(ninja -t targets all | sed -n 's|^\(\([^:]*/\)\?calltrail_demo\): .*|\1|p' | head -n 1)
[ -n "$demo_target" ] || fail "no calltrail_demo target in $build"
inputs=$(ninja -t inputs "$demo_target")
objects=$(grep '\.o$' <<<"$inputs")
[ -n "$objects" ] || fail "no objects for $demo_target"
# shellcheck disable=SC2086
deps=$(ninja -t deps $objects)
stale=$(grep -E '^[^ ].*: (deps not found|#deps 0|.*\(STALE\))' <<<"$deps" || true)
[ -z "$stale" ] || fail "the demo's objects are not built, or built before their sources changed: $stale"

# Headers named by configure checks, as the compiler finds them.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' CMakeCache.txt)
required=""
if [ -f calltrail_required_headers.txt ]; then
    while read -r header; do
        [ -n "$header" ] || continue
        found=$(echo "#include <$header>" | "$compiler" -x c++ -M - 2>/dev/null) ||
            fail "configure requires <$header>, which the compiler does not find"
        required+=$'\n'$(tr ' \\' '\n\n' <<<"$found" | grep "/$header\$" | head -n 1)
    done <calltrail_required_headers.txt
fi

status=0
files=$( { grep '^    /' <<<"$deps" | sed 's/^ *//'; grep '^/' <<<"$inputs"; echo "$required"; } |
    grep -v -e "^$source_dir/" -e "^$build/" -e '^$' | sort -u)
# dpkg -S answers "package[:arch][, package...]: path" for each path it knows;
# a path through a symbolic link is registered under its target.
owners() { xargs -r dpkg -S 2>/dev/null | grep -v '^diversion ' || true; }
known=$(owners <<<"$files")
unknown=$(comm -23 <(echo "$files") <(sed 's/^.*: //' <<<"$known" | sort -u))
if [ -n "$unknown" ]; then
    resolved=$(while read -r f; do realpath "$f"; done <<<"$unknown" | sort -u)
    known+=$'\n'$(owners <<<"$resolved")
    for file in $(comm -23 <(echo "$resolved") <(sed 's/^.*: //' <<<"$known" | sort -u)); do
        echo "FAIL $file: in no Debian package"
        status=1
    done
fi
# A file is fine when one of the packages that share it is.
awk -v allowed="$allowed" '
    BEGIN { n = split(allowed, names, "\n"); for (i = 1; i <= n; ++i) ok[names[i]] = 1; bad = 0 }
    match($0, /: \//) {
        file = substr($0, RSTART + 2); owners = substr($0, 1, RSTART - 1); fine = 0
        n = split(owners, packages, ", ")
        for (i = 1; i <= n; ++i) { sub(/:.*/, "", packages[i]); if (packages[i] in ok) fine = 1 }
        if (!fine) { print "FAIL " file ": from " owners ", which ./dev.sh demo does not install"; bad = 1 }
    }
    END { exit bad }' <<<"$known" || status=1
[ $status -eq 0 ] && echo "ok   the demo's build reads $(wc -l <<<"$files") system files, all from the demo's packages"
exit $status
