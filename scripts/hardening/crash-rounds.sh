#!/usr/bin/env bash
# Kills tolvane with SIGKILL at random moments of -lock and -unlock runs over
# a large tree, round after round. After every kill each ACL in the tree must
# be whole: the original's locked form or the original itself, which is what
# -unlock gives back (check-acls.awk). Then a complete run of -lock or -unlock
# must not be refused by a stale instance guard, must end with status 1, and
# must leave every ACL in exactly that run's form: a kill between an entry's
# record and its ACL, or between its ACL and the removal of the record,
# leaves what the next run of either kind completes exactly. A last -lock
# must leave every ACL equal to the original with only w cleared, and a last
# -unlock every ACL equal to the original.
#
# usage: crash-rounds.sh [--files N] [--rounds N] [--tolvane PATH] [--keep]
#                        [--shared-guard]
# Exit status 0 when every check held, 1 otherwise.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "$0")/common.sh"

files=30000
rounds=100
tolvane=
keep=0
shared_guard=0
original_arguments=("$@")
while [ $# -gt 0 ]; do
    case $1 in
        --files) files=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --tolvane) tolvane=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        --shared-guard) shared_guard=1; shift ;;
        *) die "unknown argument: $1" ;;
    esac
done
require_root
isolate_guard "$shared_guard" "$0" "${original_arguments[@]}"
tolvane=$(resolve_tolvane "$tolvane")

work=$(mktemp -d /tmp/tolvane-crash.XXXXXX)
running_pid=
failed=0
cleanup() {
    [ -z "$running_pid" ] || kill -KILL "$running_pid" 2>/dev/null || true
    if [ "$keep" = 1 ] || [ "$failed" != 0 ]; then
        echo "work directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
fail() {
    failed=1
    echo "FAILED: $*" >&2
    exit 1
}

# tree/g*/d*/f*: 100 files a folder, ten folders a group. The root's default
# ACL (two named entries) reaches every folder and file below it; a third of
# the folders drop it and hold plain modes, some carry setgid, a named user
# of their own, files with other modes, named read-only users or write-only
# groups (which only the record can give their write back).
tree=$work/tree
make_tree() {
    local folders=$(((files + 99) / 100)) d group per remaining
    mkdir -m 775 "$tree"
    setfacl -d -m u::rwx,g::rwx,o::r-x,u:65534:rwx,g:100:r-x "$tree"
    remaining=$files
    for d in $(seq 1 "$folders"); do
        group=$tree/g$(((d - 1) / 10 + 1))
        [ -d "$group" ] || mkdir "$group"
        mkdir "$group/d$d"
        if [ $((d % 3)) = 0 ]; then
            setfacl -b -k "$group/d$d"
            chmod 755 "$group/d$d"
        fi
        [ $((d % 4)) = 0 ] && chmod g+s "$group/d$d"
        [ $((d % 5)) = 0 ] && setfacl -m u:1000:r-x "$group/d$d"
        per=$((remaining < 100 ? remaining : 100))
        remaining=$((remaining - per))
        [ "$per" -gt 0 ] || continue
        (cd "$group/d$d" && touch $(seq -f 'f%g' 1 "$per"))
        if [ $((d % 2)) = 0 ] && [ "$per" -ge 10 ]; then
            (cd "$group/d$d" && chmod 600 $(seq -f 'f%g' 1 10))
        fi
        if [ $((d % 7)) = 0 ] && [ "$per" -ge 20 ]; then
            (cd "$group/d$d" && setfacl -m u:1001:r--,g:1002:--x $(seq -f 'f%g' 11 20))
        fi
        if [ $((d % 6)) = 0 ] && [ "$per" -ge 30 ]; then
            (cd "$group/d$d" && setfacl -m g:1003:-w- $(seq -f 'f%g' 21 30))
        fi
    done
}

listing() {
    getfacl -RpEn "$tree" 2>/dev/null
}

acls_checked=0
between_total=0
# check REQUIRE WHAT: judges the tree now against the original.
check() {
    local require=$1 what=$2 result
    listing >"$work/current.acl"
    if ! result=$(awk -v require="$require" -f "$hardening_script_dir/check-acls.awk" \
        "$work/original.acl" "$work/current.acl"); then
        cp "$work/current.acl" "$work/failed.acl"
        fail "$what: $result (listing in $work/failed.acl)"
    fi
    acls_checked=$((acls_checked + $(awk '{ print $2 }' <<<"$result")))
    between_total=$((between_total + $(awk '{ print $10 }' <<<"$result")))
}

last_run_ms=0
complete_run() {
    local mode=$1 what=$2 status=0 run_started
    run_started=$(now_seconds)
    (cd "$work/run" && timeout 300 "$tolvane" "$mode" >/dev/null 2>&1) || status=$?
    last_run_ms=$(awk -v s="$run_started" -v e="$(now_seconds)" 'BEGIN { printf "%d", (e - s) * 1000 }')
    if grep -qF "$refused_line" "$work/run/tolvane.log"; then
        fail "$what: refused by the instance guard"
    fi
    [ "$status" = 1 ] || fail "$what: $mode ended with status $status"
    check "${mode#-}ed" "$what"
}

make_tree
file_count=$(find "$tree" -type f | wc -l)
folder_count=$(find "$tree" -type d | wc -l)
listing >"$work/original.acl"
prepare_run_dir "$work/run" "$tree"

started=$(now_seconds)
complete_run -lock "first run"
# Kills fall anywhere from the start to the end of a run of this tree.
full_run_ms=$last_run_ms
killed=0
finished_first=0
for round in $(seq 1 "$rounds"); do
    mode=-lock
    [ $((RANDOM % 2)) = 0 ] && mode=-unlock
    delay_ms=$(((RANDOM * 32768 + RANDOM) % (full_run_ms + 1)))
    (cd "$work/run" && exec "$tolvane" "$mode" >/dev/null 2>&1) &
    running_pid=$!
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -KILL "$running_pid" 2>/dev/null || true
    status=0
    { wait "$running_pid" || status=$?; } 2>/dev/null
    running_pid=
    case $status in
        137) killed=$((killed + 1)) ;;
        1) finished_first=$((finished_first + 1)) ;;
        *) fail "round $round: $mode ended with status $status before it was killed" ;;
    esac
    check any "round $round, after the kill of $mode at ${delay_ms}ms"
    next_mode=-lock
    [ $((RANDOM % 2)) = 0 ] && next_mode=-unlock
    complete_run "$next_mode" "round $round, the run after the kill"
    [ $((round % 10)) != 0 ] || echo "round $round: $acls_checked ACLs checked so far" >&2
done
complete_run -lock "final -lock"
complete_run -unlock "final -unlock"
seconds=$(elapsed_since "$started")

echo "crash-rounds: $rounds rounds in ${seconds}s over $file_count files in $folder_count folders" \
    "(a full run took ${full_run_ms}ms)"
echo "killed mid-run: $killed; finished before the kill: $finished_first;" \
    "runs after a kill refused or failed: 0"
echo "ACLs checked: $acls_checked (access and default ACLs, after every kill and every run);" \
    "half-written: 0; folders caught between their two ACLs: $between_total"
echo "after the final -lock: every ACL equals the original with only w cleared;" \
    "after the final -unlock: every ACL equals the original"
machine_line
