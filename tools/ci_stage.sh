# Sourced by .ci/run: CI stages, each with a time budget and a hard limit.
#
#   stage NAME BUDGET CMD...   run CMD as stage NAME, expected to take at
#                              most BUDGET seconds
#   stage_summary [LIMIT]      print every stage run so far and the total,
#                              with an "OVER" line when it passed LIMIT s
#
# A stage prints "stage NAME: T s of B s budget" when it ends.  One that took
# longer than its budget still passes, with an "OVER BUDGET" line: a slow day
# on a shared machine should be seen, not fail the run.  One still running at
# CI_HARD_PERCENT (default 150) percent of its budget is stopped with every
# process of its group (SIGTERM, SIGKILL 30 s later) and fails: a hung stage
# cannot hold the run.  A failing stage returns its command's status (124 when
# stopped), so `set -e` ends the run there.

CI_STAGE_ROWS=()
CI_STAGE_TOTAL=0
CI_BUDGET_TOTAL=0

# Run CMD under the stage's hard limit, echoing times.  On success return 0;
# on failure the command's status, or 124/137 when the limit stopped it.
stage() {
    local name=$1 budget=$2
    shift 2
    local limit=$((budget * ${CI_HARD_PERCENT:-150} / 100)) start=$SECONDS status=0 pid
    echo "=== stage $name (budget $budget s, stopped at $limit s)" >&2
    # timeout puts the stage in a process group of its own, so that it can
    # stop every process in it; then a Ctrl-C or a TERM sent to this script
    # no longer reaches the stage, and is passed on here.  (timeout sets
    # SIGINT back to its default for the command, which a background job of
    # a script would otherwise inherit ignored.)
    timeout --kill-after=30 "$limit" "$@" &
    pid=$!
    trap 'kill -TERM "$pid" 2>/dev/null' INT TERM HUP
    # wait returns early when a trapped signal arrives: wait until the
    # stage has really ended.
    while true; do
        status=0
        wait "$pid" || status=$?
        kill -0 "$pid" 2>/dev/null || break
    done
    trap - INT TERM HUP
    local elapsed=$((SECONDS - start)) verdict
    if [[ $status -eq 0 ]]; then
        verdict=passed
    elif [[ ($status -eq 124 || $status -eq 137) && $elapsed -ge $limit ]]; then
        verdict="STOPPED at its hard limit of $limit s"
    else
        verdict="failed ($status)"
    fi
    if [[ $elapsed -gt $budget ]]; then
        verdict="$verdict, OVER BUDGET by $((elapsed - budget)) s"
        echo "!!! stage $name: OVER BUDGET: $elapsed s, budget $budget s" >&2
    fi
    CI_STAGE_ROWS+=("$(printf '%-16s %6d s %6d s  %s' "$name" "$elapsed" "$budget" "$verdict")")
    CI_STAGE_TOTAL=$((CI_STAGE_TOTAL + elapsed))
    CI_BUDGET_TOTAL=$((CI_BUDGET_TOTAL + budget))
    echo "stage $name: $elapsed s of $budget s budget, $verdict" >&2
    return "$status"
}

# Print one row per stage run so far, and the totals.
stage_summary() {
    {
        echo "=== CI stages"
        printf '%-16s %8s %8s  %s\n' stage time budget result
        local row
        for row in "${CI_STAGE_ROWS[@]}"; do
            echo "$row"
        done
        printf '%-16s %6d s %6d s\n' total "$CI_STAGE_TOTAL" "$CI_BUDGET_TOTAL"
        if [[ -n ${1:-} && $CI_STAGE_TOTAL -gt $1 ]]; then
            echo "!!! CI took $CI_STAGE_TOTAL s, OVER its $1 s limit"
        fi
    } >&2
}
