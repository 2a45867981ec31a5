#!/usr/bin/env bash
# Runs tolvane over hostile trees at full size and checks that every run ends
# with the documented exit status and lines, in bounded time, and touches
# nothing beside its configured folder:
#   wide     one folder of --entries entries (locked, then unlocked)
#   deep     a chain of --depth folders, deeper than PATH_MAX, locked to the bottom
#   names    names holding every byte 0x01-0xFF but '/', newlines, dashes, blanks
#   special  a FIFO, a socket, a character and a block device among files
#            (changed through O_PATH, never opened)
#   closed   a root-owned mode-000 sub-folder, the run as uid 65534
#   noacl    the configured folder on ramfs (no ACL support), in a private
#            mount namespace
#   churn    --churn-runs runs while churn.pl deletes and recreates entries
#            (folders, files, FIFOs, links to a sentinel) under the walk
#
# usage: hostile-trees.sh [--entries N] [--depth N] [--churn-runs N]
#                         [--timeout SECONDS] [--only CASE] [--tolvane PATH]
#                         [--keep] [--shared-guard]
# Exit status 0 when every check held, 1 otherwise.
set -euo pipefail
source "$(dirname "$0")/common.sh"

entries=200000
depth=2100
churn_runs=200
run_timeout=600
only=
tolvane=
keep=0
shared_guard=0
original_arguments=("$@")
parse_options "entries depth churn-runs timeout:run_timeout only tolvane" "keep shared-guard" "$@"
require_root
isolate_guard "$shared_guard" "$0" "${original_arguments[@]}"
tolvane=$(resolve_tolvane "$tolvane")

work=$(mktemp -d /tmp/tolvane-hostile.XXXXXX)
chmod 755 "$work"
churn_pid=
cleanup() {
    [ -n "$churn_pid" ] && kill "$churn_pid" 2>/dev/null || true
    [ "$keep" = 1 ] && { echo "kept $work"; return; }
    chattr -R -i "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
expect_eq() { # what expected actual
    [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}

# Runs tolvane in $run_dir with ARGS; sets $status and $seconds.
run_tolvane() {
    local start
    start=$(now_seconds)
    set +e
    (cd "$run_dir" && "$@") >"$run_dir/output" 2>&1
    status=$?
    set -e
    seconds=$(elapsed_since "$start")
}
plain_run() { run_tolvane timeout "$run_timeout" "$tolvane" "$1"; }
# The system's lines only: the INFO and WARN lines between them tell, and
# must leave them where they stand.
system_lines() { grep -vE '^(INFO|WARN) ' "$run_dir/tolvane.log" || true; }
log_line() { system_lines | sed -n "$1p"; }
log_lines() { system_lines | wc -l; }
writable_count() { find "$1" -perm /222 | wc -l; }
success_line() { echo "DEBUG [WinMain]: WinMain :: ReturnCode = 1 : $1 writing Permission for file ($2) with Success"; }
start_line='DEBUG [WinMain]: WinMain :: Tolvane Application is running..'

# A fresh run directory whose Tolvane.ini names $1; a root-owned sentinel
# with an extended ACL beside it.
new_case() {
    run_dir=$work/$2
    prepare_run_dir "$run_dir" "$1"
    mkdir -p "$run_dir/sentinel"
    : >"$run_dir/sentinel/file"
    setfacl -m u:65534:rwx "$run_dir/sentinel" "$run_dir/sentinel/file"
    getfacl -R "$run_dir/sentinel" >"$run_dir/sentinel.before" 2>/dev/null
}
check_sentinel() {
    getfacl -R "$run_dir/sentinel" 2>/dev/null | cmp -s - "$run_dir/sentinel.before" ||
        fail "$1: the sentinel beside the tree changed"
}
wanted() { [ -z "$only" ] || [ "$only" = "$1" ]; }

case_wide() {
    new_case "$work/wide/tree" wide
    mkdir -p "$work/wide/tree"
    (cd "$work/wide/tree" && seq 1 "$entries" | sed 's/^/f/' | xargs touch && chmod -R a+w .)
    plain_run -lock
    expect_eq "wide -lock status" 1 "$status"
    expect_eq "wide -lock writable left" 0 "$(writable_count "$work/wide/tree")"
    echo "wide: $entries entries locked in $seconds s (exit $status)"
    plain_run -unlock
    expect_eq "wide -unlock status" 1 "$status"
    expect_eq "wide -unlock writable" $((entries + 1)) "$(writable_count "$work/wide/tree")"
    echo "wide: $entries entries unlocked in $seconds s (exit $status)"
    check_sentinel wide
}

case_deep() {
    new_case "$work/deep/tree" deep
    mkdir -p "$work/deep/tree"
    (cd "$work/deep/tree" && p=$(printf 'dd/%.0s' $(seq 100)) && i=0 &&
        while [ $i -lt $((depth / 100)) ]; do mkdir -p "$p" && cd -P "$p"; i=$((i + 1)); done)
    plain_run -lock
    expect_eq "deep -lock status" 1 "$status"
    expect_eq "deep first line" "$start_line" "$(log_line 1)"
    expect_eq "deep last line" "$end_line" "$(log_line '$')"
    local locked
    locked=$(find "$work/deep/tree" -type d ! -perm -u=w 2>/dev/null | wc -l)
    expect_eq "deep locked levels" $((depth + 1)) "$locked"
    echo "deep: $depth levels, exit $status in $seconds s, $((locked - 1)) levels below the folder" \
        "locked, $(log_lines) log lines"
    check_sentinel deep
}

case_names() {
    new_case "$work/names/tree" names
    mkdir -p "$work/names/tree"
    perl -e '
        my $all = join "", map { chr } grep { $_ != 47 } 1 .. 255;
        my @names = ($all, "-lock", "--", "-", " ", "  lead", "trail  ", "new\nline", "\n",
                     "\r", "a\tb", "\xff\xfe", "*", "\$(id)", "...", "%n%s");
        chdir $ARGV[0] or die;
        for my $n (@names) { open my $f, ">", $n or die "$!"; close $f }
        mkdir "D$all" or die;
        for my $n (@names) { open my $f, ">", "D$all/$n" or die "$!"; close $f }
        mkdir "D$all/ -dir\n" or die;
        open my $f, ">", "D$all/ -dir\n/$all" or die; close $f;
    ' "$work/names/tree"
    chmod -R a+w "$work/names/tree"
    local total
    total=$(find "$work/names/tree" | wc -l)
    plain_run -lock
    expect_eq "names -lock status" 1 "$status"
    expect_eq "names -lock log" "3" "$(log_lines)"
    expect_eq "names -lock writable left" 0 "$(writable_count "$work/names/tree")"
    plain_run -unlock
    expect_eq "names -unlock status" 1 "$status"
    expect_eq "names -unlock writable" "$total" "$(writable_count "$work/names/tree")"
    echo "names: $total entries with hostile names, lock and unlock exit 1"
    check_sentinel names
}

case_special() {
    new_case "$work/special/tree" special
    local tree=$work/special/tree d
    mkdir -p "$tree"/{fifo,sock,chr,blk}
    for d in "$tree"/*; do
        (cd "$d" && touch $(seq -f 'f%g' 1 20))
    done
    mkfifo "$tree/fifo/0"
    perl -MSocket -e 'socket(S, PF_UNIX, SOCK_STREAM, 0) or die "$!"; bind(S, sockaddr_un($ARGV[0])) or die "$!"' \
        "$tree/sock/0"
    mknod "$tree/chr/0" c 1 3
    mknod "$tree/blk/0" b 7 0
    chmod -R a+w "$tree"
    local total lock_seconds
    total=$(find "$tree" | wc -l)
    plain_run -lock
    lock_seconds=$seconds
    expect_eq "special -lock status" 1 "$status"
    expect_eq "special -lock log" 3 "$(log_lines)"
    expect_eq "special -lock writable left" 0 "$(writable_count "$tree")"
    plain_run -unlock
    expect_eq "special -unlock status" 1 "$status"
    expect_eq "special -unlock writable" "$total" "$(writable_count "$tree")"
    echo "special: FIFO, socket, character and block device, each listed among 20 files:" \
        "-lock and -unlock exit 1 in $lock_seconds s and $seconds s, all $total entries changed"
    check_sentinel special
}

case_closed() {
    new_case "$work/closed/tree" closed
    local tree=$work/closed/tree
    mkdir -p "$tree/open" "$tree/closed"
    : >"$tree/open/f"
    : >"$tree/closed/secret"
    chown -R 65534:65534 "$tree"
    chown 65534:65534 "$run_dir"
    chown root:root "$tree/closed"
    chmod 000 "$tree/closed"
    mkdir -p "$work/closed/state"
    chown 65534:65534 "$work/closed/state"
    run_tolvane timeout "$run_timeout" env -u STATE_DIRECTORY XDG_STATE_HOME="$work/closed/state" \
        setpriv --reuid=65534 --regid=65534 --clear-groups "$tolvane" -lock
    expect_eq "closed status" 249 "$status"
    # Without CAP_SYS_ADMIN the records go to the user's own record store.
    expect_eq "closed lines" 6 "$(log_lines)"
    expect_eq "closed record lines" 0 "$(grep -c 'Storing write record Failed' "$run_dir/tolvane.log")"
    grep -q "recursiveFolderPermissionAccess :: ReturnCode = -7 : POCO Exception .*$tree/closed" \
        "$run_dir/tolvane.log" || fail "closed: no -7 line for the closed folder"
    expect_eq "closed: closed folder" "0 root" "$(stat -c '%a %U' "$tree/closed")"
    expect_eq "closed: rest locked" 0 "$(find "$tree" -path '*/closed' -prune -o -perm /222 -print | wc -l)"
    echo "closed: run as uid 65534, exit $status, $(log_lines) log lines"
    check_sentinel closed
}

case_noacl() {
    new_case "$work/noacl/tree" noacl
    mkdir -p "$work/noacl/tree"
    local script="mount -t ramfs ramfs tree && mkdir tree/sub && : > tree/f && chmod 4777 tree/f"
    script+=" && ! setfacl -m u:65534:r tree/f 2>/dev/null && cd $run_dir"
    script+=" && { timeout $run_timeout $tolvane -lock; echo lock=\$?; stat -c %A $work/noacl/tree/f;"
    script+=" cp tolvane.log lock.log;"
    script+=" timeout $run_timeout $tolvane -unlock; echo unlock=\$?; stat -c %A $work/noacl/tree/f; }"
    local result
    result=$(cd "$work/noacl" && unshare -m --propagation private sh -c "$script" 2>&1) ||
        fail "noacl: ramfs: $result"
    # ramfs keeps no records, in the inode or the store (no file handles):
    # lock names every path with one line and ends with 252, unlock leaves
    # the tree locked.
    expect_eq "noacl" "$(printf 'lock=252\n-r-sr-xr-x\nunlock=1\n-r-sr-xr-x')" "$result"
    expect_eq "noacl record lines" 3 "$(grep -c 'Storing write record Failed' "$run_dir/lock.log")"
    echo "noacl: ramfs, lock and unlock:" $result
    check_sentinel noacl
}

case_churn() {
    new_case "$work/churn/tree" churn
    local tree=$work/churn/tree
    mkdir -p "$tree"
    (cd "$tree" && for n in $(seq 1 20); do mkdir k$n && for m in $(seq 1 20); do : >k$n/f$m; done; done)
    (cd "$tree" && exec perl "$hardening_script_dir/churn.pl" "$work/churn/stop" "$run_dir/sentinel/file" \
        >"$work/churn/rounds") &
    churn_pid=$!
    declare -A histogram=()
    local round start
    start=$(now_seconds)
    for round in $(seq 1 "$churn_runs"); do
        plain_run "$([ $((round % 2)) = 1 ] && echo -lock || echo -unlock)"
        histogram[$status]=$((${histogram[$status]:-0} + 1))
        case $status in 1 | 253 | 252 | 249) ;; *) fail "churn round $round: exit status $status" ;; esac
        expect_eq "churn round $round first line" "$start_line" "$(log_line 1)"
        expect_eq "churn round $round last line" "$end_line" "$(log_line '$')"
        grep -vE '^(DEBUG|INFO|WARN|ERROR|FATAL) \[(WinMain|C_TolvaneManager::[A-Za-z]+)\]: \2 :: ' \
            "$run_dir/tolvane.log" >/dev/null && fail "churn round $round: undocumented line"
    done
    touch "$work/churn/stop"
    wait "$churn_pid" || fail "churn: churn.pl failed"
    churn_pid=
    local line
    line="churn: $churn_runs runs in $(elapsed_since "$start") s against $(cat "$work/churn/rounds")"
    line+=" churn rounds; exit status:"
    for status in $(printf '%s\n' "${!histogram[@]}" | sort -n); do line+=" $status x${histogram[$status]}"; done
    echo "$line"
    check_sentinel churn
}

machine_line
for name in wide deep names special closed noacl churn; do
    wanted "$name" && "case_$name"
done
[ "$failures" = 0 ] && echo "all checks held" || echo "$failures checks failed"
[ "$failures" = 0 ]
