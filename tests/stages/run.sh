#!/usr/bin/env bash
# The reliability stages of the test command, each timed:
#   run.sh SOURCE_DIR PLAIN_BUILD_DIR
# CALLTRAIL_STAGES picks some of: asan tsan memcheck fuzz (default: all).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$1
plain_build=$2
stages=${CALLTRAIL_STAGES:-asan tsan memcheck fuzz}
# Sanitized builds sit beside the plain one.
parent=$(dirname "$plain_build")

status=0
for stage in $stages; do
    echo "== stage $stage"
    started=$(date +%s)
    case $stage in
    asan | tsan) "$here/sanitized.sh" "$stage" "$source_dir" "$parent/build-$stage" || status=1 ;;
    memcheck) "$here/memcheck.sh" "$plain_build" || status=1 ;;
    fuzz) "$here/fuzz.sh" "$source_dir" "$parent/build-fuzz" "${CALLTRAIL_FUZZ_SECONDS:-60}" || status=1 ;;
    *)
        echo "unknown stage $stage" >&2
        status=1
        ;;
    esac
    echo "== stage $stage: $(($(date +%s) - started)) s"
done
exit $status
