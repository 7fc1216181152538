#!/usr/bin/env bash
# Valgrind's memcheck over the engine's test programs of a plain build, in the
# release variant (the sanitizer stage runs the debug one): any memory error,
# and any definite or indirect leak, fails the stage. Only leaks that belong
# to system libraries are suppressed (valgrind.supp).
#   memcheck.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=$1
tests=$build_dir/tests

programs=()
for name in engine_contract_test reliability_fault_test frame_test reliability_bad_input_test capture_test \
            capture_agreement_test; do
    [ -x "$tests/$name" ] && programs+=("$tests/$name")
    [ -x "$tests/reliability/$name" ] && programs+=("$tests/reliability/$name")
done
# The real engine's own suites, whatever they are called.
for program in "$tests"/posix_engine/posix_engine*_test; do
    [ -x "$program" ] && [ -f "$program" ] && programs+=("$program")
done
[ ${#programs[@]} -gt 0 ] || { echo "memcheck: no test programs under $tests" >&2; exit 1; }

status=0
for program in "${programs[@]}"; do
    log=$(mktemp)
    # nouserintercepts: the fault tests count allocations through an operator
    # new of their own, which valgrind would otherwise replace.
    if valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --soname-synonyms=somalloc=nouserintercepts \
        --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
        --suppressions="$here/valgrind.supp" --num-callers=30 --log-file="$log" \
        "$program" --gtest_brief=1 >/dev/null 2>&1; then
        echo "ok   memcheck $(basename "$program"): $(grep -E 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //')"
    else
        echo "FAIL memcheck $(basename "$program")"
        cat "$log"
        # The program's own verdict, when memcheck found nothing.
        valgrind --tool=none "$program" --gtest_brief=1 2>&1 | tail -n 40 || true
        status=1
    fi
    rm -f "$log"
done
exit $status
