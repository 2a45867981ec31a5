# shellcheck shell=bash
# Shared by scripts/check-filesystems.sh and scripts/check-samba.sh; sourced,
# not run. The caller sets work_dir (a folder of its own, removed at exit).

# prepare_run_dir, shared with the hardening scripts.
# shellcheck source=../hardening/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../hardening/common.sh"

fail() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

# Runs a command with its output kept aside, shown only if it fails.
quietly() {
    "$@" >"$work_dir/output" 2>&1 || { cat "$work_dir/output" >&2; fail "failed: $*"; }
}

# tolvane as root takes a machine-wide guard in /run, and a tolvane started
# elsewhere (another test run) would make these runs exit 250. So the script
# runs again in a mount namespace with a /run of its own, and a network
# namespace with only a loopback device, which also keeps a test smbd off the
# host's ports. Mounts made inside vanish with the namespace.
# Call as: begin_check "$0" "$@" (the script's own arguments). Sets
# $tolvane, the program under test (the first argument, else the build's),
# runs the check again isolated, and sets $work_dir, a new folder that the
# user nobody may pass through to the trees below it.
begin_check() {
    local script=$1
    shift
    tolvane=$(realpath "${1:-$(dirname "${BASH_SOURCE[0]}")/../../build/tolvane}")
    [ -x "$tolvane" ] || fail "not an executable: $tolvane"
    run_isolated "$script" "$@"
    work_dir=$(mktemp -d)
    chmod 755 "$work_dir"
}

# Call as: run_isolated "$0" "$@" (the script's own arguments).
run_isolated() {
    [ -z "${TOLVANE_CHECK_ISOLATED:-}" ] || return 0
    export TOLVANE_CHECK_ISOLATED=1
    # shellcheck disable=SC2016 # expanded by the inner shell
    exec unshare --net --mount --propagation private -- bash -c \
        'mount -t tmpfs -o mode=755 tolvane-guard /run && ip link set lo up && exec bash "$@"' \
        isolated "$@"
}

as_nobody() {
    setpriv --reuid=65534 --regid=65534 --clear-groups "$@" 2>/dev/null
}

# A tree below $1 that the user $2 may write through ACLs while root and
# daemon own it: a set-group-ID folder, default ACLs, a file with more named
# entries than an inode holds, and a link to a folder outside ($1/outside)
# that must never be followed.
make_tree() {
    local top=$1 user=$2 uid
    mkdir -p "$top/tree/docs/sub/deep" "$top/outside"
    echo "figures" >"$top/tree/docs/report.txt"
    echo "notes" >"$top/tree/docs/sub/deep/notes.txt"
    echo "many" >"$top/tree/many-entries.txt"
    chown -R daemon:daemon "$top/tree/docs"
    chmod 2775 "$top/tree/docs"
    setfacl -R -m "u:$user:rwx,g:adm:rx" "$top/tree"
    setfacl -R -d -m "u:$user:rwx,g:adm:rx" "$top/tree"
    for uid in $(seq 2000 2020); do
        setfacl -m "u:$uid:rw" "$top/tree/many-entries.txt"
    done
    setfacl -m "u:$user:rwx" "$top/outside"
    ln -s ../outside "$top/tree/link"
}

# Tries, as nobody, each way of writing folder $1: create a file, overwrite
# one, make a folder, rename and delete; prints the name of each that worked.
# $1/victim.txt and $1/doomed.txt must exist.
nobody_writes() {
    local dir=$1
    as_nobody sh -c ": >'$dir/created.txt'" && echo create
    as_nobody sh -c "echo changed >'$dir/victim.txt'" && echo overwrite
    as_nobody mkdir "$dir/made" && echo mkdir
    as_nobody mv "$dir/victim.txt" "$dir/renamed.txt" && mv "$dir/renamed.txt" "$dir/victim.txt" && echo rename
    as_nobody rm "$dir/doomed.txt" && echo delete
    true
}

# Puts back what a try at writing may have changed.
reset_probes() {
    local dir=$1
    rm -rf "$dir/created.txt" "$dir/made"
    echo "victim" >"$dir/victim.txt"
    echo "doomed" >"$dir/doomed.txt"
}

# Runs tolvane $2 (-lock or -unlock) with the run folder; it must end in 1.
run_tolvane() {
    local status
    (cd "$work_dir/run" && "$1" "$2" >/dev/null 2>&1) && status=0 || status=$?
    [ "$status" -eq 1 ] || { cat "$work_dir/run/tolvane.log" >&2; fail "tolvane $2 exited with $status"; }
}

# The round trip on a tree below $1 with the program $2, written to by the
# user $3 through the function $4 (nobody_writes by default): every way of
# writing works before -lock and none while locked, and -unlock gives back
# exactly the ACLs of before, without touching what the link points at.
# After each step the optional function $5 is called with "before",
# "locked" or "after".
round_trip() {
    local top=$1 tolvane=$2 user=${3:-nobody} writes_that_work=${4:-nobody_writes}
    local observe=${5:-true} worked
    make_tree "$top" "$user"
    reset_probes "$top/tree/docs"
    worked=$($writes_that_work "$top/tree/docs" | paste -sd' ')
    [ "$worked" = "create overwrite mkdir rename delete" ] \
        || fail "$top: before -lock $user could only: $worked"
    reset_probes "$top/tree/docs"
    getfacl -Rpn "$top" >"$work_dir/acls-before" 2>/dev/null
    rm -rf "$work_dir/run"
    prepare_run_dir "$work_dir/run" "$top/tree"
    $observe before

    run_tolvane "$tolvane" -lock
    $observe locked
    worked=$($writes_that_work "$top/tree/docs" | paste -sd' ')
    [ -z "$worked" ] || fail "$top: while locked $user could still: $worked"
    getfacl -p "$top/outside" | grep -q "^user:$user:rwx\$" \
        || fail "$top: -lock followed the link to a folder outside"
    run_tolvane "$tolvane" -unlock
    $observe after
    getfacl -Rpn "$top" 2>/dev/null | diff "$work_dir/acls-before" - >&2 \
        || fail "$top: the ACLs after -unlock differ from those before -lock"
}
