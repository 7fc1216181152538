#!/usr/bin/env bash
# Reads the PE export and import tables of the cross-built files:
#   check_pe_tables.sh OBJDUMP CXXFILT --engine DLL... --noop DLL... --program EXE...
# Every library exports exactly the eight operations and nothing else; the
# engine calls COM and the Debug Engine, the no-op library no platform
# component; libraries and programs take the C++ runtime from its DLLs, so
# that strings and exceptions cross between them.
set -euo pipefail
objdump=$1 cxxfilt=$2
shift 2

expected=$(LC_ALL=C sort <<'LIST'
korvo::calltrail::detail::dump(char const*, void const* const*, unsigned long long)
korvo::calltrail::detail::dump(void*, void const* const*, unsigned long long)
korvo::calltrail::detail::this_thread_frames::collect(void const**, unsigned long long, unsigned long long)
korvo::calltrail::detail::to_string[abi:cxx11](korvo::calltrail::frame const*, unsigned long long)
korvo::calltrail::frame::name[abi:cxx11]() const
korvo::calltrail::frame::source_file[abi:cxx11]() const
korvo::calltrail::frame::source_line() const
korvo::calltrail::to_string[abi:cxx11](korvo::calltrail::frame const&)
LIST
)

status=0
fail() {
    echo "FAIL $*"
    status=1
}

exports_of() {
    "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+//p'
}

imports_of() {
    "$objdump" -p "$1" | sed -nE 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | LC_ALL=C sort -u
}

imports() { grep -qx "$2" <<<"$(imports_of "$1")"; }

check_exports() {
    local library=$1 raw demangled
    raw=$(exports_of "$library")
    # Mangled names only: a plain C name or a data symbol would show up as is.
    if grep -qv '^_Z' <<<"$raw"; then
        fail "$library exports names that are not the operations:"
        grep -v '^_Z' <<<"$raw" | sed 's/^/     /'
    fi
    demangled=$("$cxxfilt" <<<"$raw" | LC_ALL=C sort)
    if [ "$demangled" != "$expected" ]; then
        fail "$library export table differs (< expected, > found):"
        diff <(echo "$expected") <(echo "$demangled") | sed 's/^/     /' || true
    else
        echo "ok   $(basename "$library"): exactly the eight operations"
    fi
}

check_runtime() {
    local file=$1
    imports "$file" libstdc++-6.dll || fail "$file does not take libstdc++ from libstdc++-6.dll"
    # A static libgcc would come with its own unwinder state.
    if "$objdump" -p "$file" | grep -q '_Unwind_Resume' && ! imports "$file" libgcc_s_seh-1.dll; then
        fail "$file unwinds without libgcc_s_seh-1.dll"
    fi
}

mode=""
for argument in "$@"; do
    case $argument in
    --engine | --noop | --program)
        mode=$argument
        continue
        ;;
    esac
    [ -f "$argument" ] || {
        fail "$argument: no such file"
        continue
    }
    case $mode in
    --engine)
        check_exports "$argument"
        check_runtime "$argument"
        for platform in ole32.dll dbgeng.dll; do
            imports "$argument" $platform || fail "$argument does not call $platform"
        done
        ;;
    --noop)
        check_exports "$argument"
        for platform in ole32.dll dbgeng.dll; do
            ! imports "$argument" $platform || fail "$argument calls $platform"
        done
        ;;
    --program)
        check_runtime "$argument"
        ;;
    *)
        fail "$argument given before --engine, --noop or --program"
        ;;
    esac
done
[ $status -eq 0 ] && echo "ok   import tables: one shared C++ runtime"
exit $status
