#!/usr/bin/env bash
# Runs tolvane -lock and -unlock over and over while attackers running as
# uid 65534, the owner of the configured folder, swap its top-level folders,
# deep folders and files for links to a root-owned sentinel tree outside it
# (renameat2 RENAME_EXCHANGE of a prepared link with the entry, and back, as
# fast as they can). One more attacker owns the folder above the configured
# folder and swaps the configured folder itself for a link to the sentinel.
# After every run the sentinel's ACLs, modes, owners and change times must
# be exactly what they were: any difference is an escape.
#
# usage: race-attack.sh [--runs N] [--attackers N] [--folders N] [--files N]
#                       [--tolvane PATH] [--keep] [--shared-guard]
# Exit status 0 when no run escaped and none crashed or hung, 1 otherwise.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "$0")/common.sh"

runs=300
attackers=2
folders=8
files=40
tolvane=
keep=0
shared_guard=0
original_arguments=("$@")
parse_options "runs attackers folders files tolvane" "keep shared-guard" "$@"
require_root
isolate_guard "$shared_guard" "$0" "${original_arguments[@]}"
tolvane=$(resolve_tolvane "$tolvane")

work=$(mktemp -d /tmp/tolvane-race.XXXXXX)
chmod 755 "$work"
attacker_pids=()
escapes=0
cleanup() {
    local pid
    for pid in "${attacker_pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    if [ "$keep" = 1 ] || [ "$escapes" != 0 ]; then
        echo "work directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

mkdir "$work/bin"
compile_helper race-attacker "$work/bin"
chmod -R a+rX "$work/bin"

# The sentinel: folders and files whose ACLs a lock would change (they grant
# w) and ones an unlock would change (they grant r or x without w). Only root
# can reach into it.
sentinel=$work/sentinel
make_sentinel() {
    mkdir -m 700 "$sentinel"
    mkdir -m 777 "$sentinel/open" "$sentinel/open/sub"
    mkdir -m 555 "$sentinel/closed"
    setfacl -m u:65534:rwx,g:100:rwx "$sentinel/open"
    setfacl -d -m u::rwx,g::rwx,o::rwx,u:65534:rwx "$sentinel/open"
    setfacl -m u:65534:r-x "$sentinel/closed"
    setfacl -d -m u::r-x,g::r-x,o::r-x,u:65534:r-x "$sentinel/closed"
    : >"$sentinel/open/file"
    : >"$sentinel/closed/file"
    : >"$sentinel/open-file"
    : >"$sentinel/closed-file"
    chmod 666 "$sentinel/open/file" "$sentinel/open-file"
    chmod 444 "$sentinel/closed/file" "$sentinel/closed-file"
    setfacl -m u:65534:rw- "$sentinel/open-file"
    setfacl -m u:65534:r--,g:100:r-- "$sentinel/closed-file"
    chmod 555 "$sentinel/closed"
}

# ACLs, modes, owners and change times: a write of even the same ACL moves
# the change time.
sentinel_state() {
    (cd "$work" && getfacl -Rpn sentinel &&
        find sentinel -exec stat -c '%n mode=%a uid=%u gid=%g type=%F ctime=%z' {} + | sort)
}

# The configured folder, owned by the attacker, in a folder the attacker
# owns too: top$i/{f*}, top$i/a/{f*}, top$i/a/b/{f*}, top$i/a/b/c/{f*}, with
# a default ACL handed down to all.
tree=$work/home/tree
make_tree() {
    local i level
    mkdir -m 755 "$work/home"
    mkdir -m 775 "$tree"
    setfacl -m u:65534:rwx "$tree"
    setfacl -d -m u::rwx,g::rwx,o::r-x,u:65534:rwx,g:100:r-x "$tree"
    for i in $(seq 1 "$folders"); do
        mkdir -p "$tree/top$i/a/b/c"
        for level in "" /a /a/b /a/b/c; do
            (cd "$tree/top$i$level" && touch $(seq -f 'f%g' 1 "$files"))
        done
    done
    chown -R 65534:65534 "$work/home"
}

# The link beside ENTRY that the attacker swaps with it; half of them are
# relative, half absolute.
link_targets_dir=("$sentinel/open" "$sentinel/closed" "$sentinel" "$sentinel/open/sub")
link_targets_file=("$sentinel/open-file" "$sentinel/closed-file" "$sentinel/open/file"
    "$sentinel/closed/file")
link_count=0
make_link() {
    local entry=$1 kind=$2 target relative slashes ups=""
    if [ "$kind" = dir ]; then
        target=${link_targets_dir[$((link_count % 4))]}
    else
        target=${link_targets_file[$((link_count % 4))]}
    fi
    if [ $((link_count % 2)) = 1 ]; then
        relative=${entry#"$work"/}
        slashes=${relative//[^\/]/}
        for _ in $(seq 1 ${#slashes}); do ups+=../; done
        target=$ups${target#"$work"/}
    fi
    link_count=$((link_count + 1))
    ln -s "$target" "$entry.lnk"
    chown -h 65534:65534 "$entry.lnk"
}

start_attackers() {
    local k i pairs entry kind
    for k in $(seq 0 $((attackers - 1))); do
        pairs=()
        for i in $(seq 1 "$folders"); do
            [ $(((i - 1) % attackers)) = "$k" ] || continue
            for entry in "top$i:dir" "top$i/a/b:dir" "top$i/a/b/c:dir" "top$i/f1:file" \
                "top$i/a/b/c/f1:file"; do
                kind=${entry##*:}
                entry=$tree/${entry%:*}
                make_link "$entry" "$kind"
                pairs+=("$entry" "$entry.lnk")
            done
        done
        [ ${#pairs[@]} -gt 0 ] || continue
        start_attacker "$k" "${pairs[@]}"
    done
    make_link "$tree" dir
    start_attacker root "$tree" "$tree.lnk"
}

start_attacker() {
    local name=$1
    shift
    setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$work/bin/race-attacker" $((runs * 2 + 120)) "$@" >"$work/attacker$name.out" 2>&1 &
    attacker_pids+=($!)
}

stop_attackers() {
    local pid
    for pid in "${attacker_pids[@]}"; do
        kill -TERM "$pid"
        wait "$pid" || die "an attacker could not put its links back (see $work/attacker*.out)"
    done
    attacker_pids=()
}

make_sentinel
make_tree
sentinel_state >"$work/sentinel-before.txt"
baseline=$work/sentinel-before.txt
prepare_run_dir "$work/run" "$tree"
start_attackers
sleep 0.2

declare -A statuses=()
refused_paths=0
root_refused=0
fatal_lines=0
failures=0
started=$(now_seconds)
for run in $(seq 1 "$runs"); do
    mode=-lock
    [ $((run % 2)) = 0 ] && mode=-unlock
    status=0
    (cd "$work/run" && timeout 60 "$tolvane" "$mode" >/dev/null 2>&1) || status=$?
    statuses[$status]=$((${statuses[$status]:-0} + 1))
    case $status in
        1 | 252 | 253 | 249) ;;
        250) die "run $run was refused: another tolvane holds the instance guard" ;;
        *)
            failures=$((failures + 1))
            cp "$work/run/tolvane.log" "$work/failed-run-$run.log"
            echo "run $run ($mode) ended with status $status" >&2
            ;;
    esac
    refused_paths=$((refused_paths + $(grep -c 'ReturnCode = -4 : .*ocking writing permission for File' \
        "$work/run/tolvane.log" || true)))
    fatal_lines=$((fatal_lines + $(grep -c '^FATAL' "$work/run/tolvane.log" || true)))
    if grep -qF "writing permission for File ( $tree ) failed" "$work/run/tolvane.log"; then
        root_refused=$((root_refused + 1))
    fi
    for pid in "${attacker_pids[@]}"; do
        kill -0 "$pid" 2>/dev/null || die "attacker $pid stopped early (see $work/attacker*.out)"
    done
    sentinel_state >"$work/sentinel-now.txt"
    if ! cmp -s "$baseline" "$work/sentinel-now.txt"; then
        escapes=$((escapes + 1))
        diff "$baseline" "$work/sentinel-now.txt" >"$work/escape-run-$run.diff" || true
        echo "ESCAPE in run $run ($mode): see $work/escape-run-$run.diff" >&2
        # Put the sentinel back so that later runs are judged on their own.
        (cd "$work" && sed -n '/^# file:/,$p' "$baseline" | sed '/^sentinel.* mode=/d' |
            setfacl --restore=-)
        sentinel_state >"$work/sentinel-baseline-$run.txt"
        baseline=$work/sentinel-baseline-$run.txt
    fi
done
seconds=$(elapsed_since "$started")
stop_attackers
sentinel_state >"$work/sentinel-after.txt"

read -r attempted done_swaps <<<"$(awk '{ a += $2; d += $4 } END { print a + 0, d + 0 }' \
    "$work"/attacker*.out)"
root_swaps=$(awk '{ print $4 }' "$work/attackerroot.out")
status_summary=$(for s in "${!statuses[@]}"; do echo "$s x${statuses[$s]}"; done | sort -n | paste -sd, -)
unchanged=no
cmp -s "$work/sentinel-before.txt" "$work/sentinel-after.txt" && unchanged=yes
files_in_tree=$(find "$tree" -type f | wc -l)

echo "race-attack: $runs runs ($(((runs + 1) / 2)) -lock, $((runs / 2)) -unlock) in ${seconds}s" \
    "over $files_in_tree files in $((folders * 4 + 1)) folders, $attackers attackers as uid 65534" \
    "and one swapping the configured folder itself"
echo "exit statuses: $status_summary; crashed or hung runs: $failures"
echo "swaps attempted: $attempted, swaps done: $done_swaps, of which of the configured folder" \
    "itself: $root_swaps; runs that found it swapped and refused it (-4): $root_refused"
echo "paths whose ACL read or write was refused (-4): $refused_paths;" \
    "FATAL lines (-7, entries gone before their visit): $fatal_lines"
echo "escapes: $escapes; sentinel ACLs, modes and change times identical before and after: $unchanged"
machine_line
[ "$escapes" = 0 ] && [ "$failures" = 0 ] && [ "$unchanged" = yes ]
