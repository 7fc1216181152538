#!/usr/bin/env bash
# Fails unless every library given exports exactly the eight operations.
#   check_exports.sh LIBRARY...   or   check_exports.sh --list (prints them)
set -euo pipefail
expected=$(cat <<'LIST'
korvo::calltrail::detail::dump(char const*, void const* const*, unsigned long)
korvo::calltrail::detail::dump(void*, void const* const*, unsigned long)
korvo::calltrail::detail::this_thread_frames::collect(void const**, unsigned long, unsigned long)
korvo::calltrail::detail::to_string[abi:cxx11](korvo::calltrail::frame const*, unsigned long)
korvo::calltrail::frame::name[abi:cxx11]() const
korvo::calltrail::frame::source_file[abi:cxx11]() const
korvo::calltrail::frame::source_line() const
korvo::calltrail::to_string[abi:cxx11](korvo::calltrail::frame const&)
LIST
)
[ "${1:-}" = --list ] && { echo "$expected"; exit 0; }
status=0
for library in "$@"; do
    exported=$(nm -D --defined-only -C "$library" | sed -E 's/^[0-9a-f]+ [A-Za-z] //' | LC_ALL=C sort)
    if [ "$exported" != "$(LC_ALL=C sort <<<"$expected")" ]; then
        echo "FAIL $library exports:"
        diff <(LC_ALL=C sort <<<"$expected") <(echo "$exported") || true
        status=1
    else
        echo "ok   $library: the eight operations"
    fi
    # The stack walk is calltrail's own: no unwinder is linked or opened.
    if readelf -d "$library" | grep -q 'NEEDED.*libunwind' || grep -aq 'libunwind\.so' "$library"; then
        echo "FAIL $library links or opens libunwind"
        status=1
    fi
done
exit $status
