#!/usr/bin/env bash
# Run the test suite in its two phases (tests/conftest.py):
#
#   tools/run_tests.sh PYTEST [ARGS]
#
# first every test that does not measure time, under pytest-xdist with
# VANDREL_WORKERS workers (default 2, the machine's two cores: most tests
# wait on child processes); then the tests marked `timing` or `serial`, one
# at a time with nothing else of the suite running.  ARGS go to both
# phases, and the last line adds up both: "tests: N passed, N failed, N
# skipped".  Tests marked xdist_group("NAME") share a worker (they share a
# build tree or a fixture too costly to make twice).  A phase that selects
# no test (pytest's status 5) is fine as long as the other one ran some.
# Exit status: the first failing phase's, else 0.
set -uo pipefail

pytest=$1
shift
workers=${VANDREL_WORKERS:-2}
parallel=()
if [[ $workers -gt 1 ]] && "$(dirname "$pytest")/python" -c 'import xdist' 2>/dev/null; then
    parallel=(-n "$workers" --dist loadgroup)
fi

run_phase() {
    local phase=$1
    shift
    echo "=== tests: $phase phase" >&2
    "$pytest" -p no:cacheprovider --phase "$phase" "$@"
}

# Each phase appends "passed failed skipped" here (tests/conftest.py).
counts=$(mktemp)
trap 'rm -f "$counts"' EXIT
export VANDREL_PHASE_COUNTS=$counts

run_phase parallel "${parallel[@]}" "$@"
first=$?
run_phase serial "$@"
second=$?

echo "=== tests: parallel phase exit $first, serial phase exit $second" >&2
# One closing line for the two phases together.
awk '{ p += $1; f += $2; s += $3 } END { printf "tests: %d passed, %d failed, %d skipped\n", p, f, s }' \
    "$counts"
if [[ $first -eq 5 && $second -eq 5 ]]; then
    exit 5
fi
for status in "$first" "$second"; do
    if [[ $status -ne 0 && $status -ne 5 ]]; then
        exit "$status"
    fi
done
exit 0
