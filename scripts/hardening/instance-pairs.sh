#!/usr/bin/env bash
# Starts two instances of tolvane at the same instant, again and again, and
# counts the pairs in which exactly one ran and the other was refused (exit
# status 250, its log holding only the -6 line and the end line). Each pair
# gets its start from start-together, which releases both within
# microseconds; the tree is large enough that a run lasts far longer than
# that, so the two always overlap.
#
# usage: instance-pairs.sh [--pairs N] [--files N] [--tolvane PATH] [--keep]
#                          [--shared-guard]
# Exit status 0 when every pair had exactly one run, 1 otherwise.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "$0")/common.sh"

pairs=100
files=3000
tolvane=
keep=0
shared_guard=0
original_arguments=("$@")
parse_options "pairs files tolvane" "keep shared-guard" "$@"
require_root
isolate_guard "$shared_guard" "$0" "${original_arguments[@]}"
tolvane=$(resolve_tolvane "$tolvane")

work=$(mktemp -d /tmp/tolvane-pairs.XXXXXX)
wrong=0
cleanup() {
    if [ "$keep" = 1 ] || [ "$wrong" != 0 ]; then
        echo "work directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

mkdir "$work/bin"
compile_helper start-together "$work/bin"
mkdir -p "$work/tree"
for d in $(seq 1 $(((files + 99) / 100))); do
    mkdir "$work/tree/d$d"
    (cd "$work/tree/d$d" && touch $(seq -f 'f%g' 1 100))
done
prepare_run_dir "$work/first" "$work/tree"
prepare_run_dir "$work/second" "$work/tree"

# The log of a refused run: the refusal and the end, nothing else.
printf '%s\n%s\n' "$refused_line" "$end_line" >"$work/refused.log"
refused_log_ok() {
    cmp -s "$work/refused.log" "$1/tolvane.log"
}
ran_log_ok() {
    grep -qx "DEBUG .*with Success" "$1/tolvane.log" && ! grep -qF -- "-6 :" "$1/tolvane.log"
}

exactly_one=0
both_ran=0
none_ran=0
started=$(now_seconds)
for pair in $(seq 1 "$pairs"); do
    mode=-lock
    [ $((pair % 2)) = 0 ] && mode=-unlock
    rm -f "$work/first/tolvane.log" "$work/second/tolvane.log"
    read -r first second _ skew <<<"$(timeout 180 "$work/bin/start-together" 120 \
        "$work/first" "$work/second" -- "$tolvane" "$mode")"
    echo "$skew" >>"$work/skews"
    if [ "$first" = 1 ] && [ "$second" = 250 ] && ran_log_ok "$work/first" &&
        refused_log_ok "$work/second"; then
        exactly_one=$((exactly_one + 1))
    elif [ "$first" = 250 ] && [ "$second" = 1 ] && ran_log_ok "$work/second" &&
        refused_log_ok "$work/first"; then
        exactly_one=$((exactly_one + 1))
    else
        wrong=$((wrong + 1))
        [ "$first" = 1 ] && [ "$second" = 1 ] && both_ran=$((both_ran + 1))
        [ "$first" != 1 ] && [ "$second" != 1 ] && none_ran=$((none_ran + 1))
        echo "pair $pair: statuses $first and $second" >&2
        cp "$work/first/tolvane.log" "$work/pair-$pair-first.log" 2>/dev/null || true
        cp "$work/second/tolvane.log" "$work/pair-$pair-second.log" 2>/dev/null || true
    fi
done
seconds=$(elapsed_since "$started")
median_skew=$(sort -n "$work/skews" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
max_skew=$(sort -n "$work/skews" | tail -1)

echo "instance-pairs: $pairs pairs in ${seconds}s over $files files," \
    "the two released ${median_skew}us apart (median), ${max_skew}us at most"
echo "exactly one ran (the other exit 250 with the -6 line): $exactly_one;" \
    "both ran: $both_ran; neither ran: $none_ran; other outcomes: $((wrong - both_ran - none_ran))"
machine_line
[ "$wrong" = 0 ]
