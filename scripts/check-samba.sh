#!/usr/bin/env bash
# Runs tolvane's round trip on a tree shared by a real Samba server and
# written to by a real client: smbd, started here on 127.0.0.1 (port 445 of
# a network namespace of its own) with its own configuration and a test
# user, serves the tree; before -lock smbclient can
# create, overwrite, make a folder, rename and delete there, while locked
# it can do none of these, and after -unlock smbcacls shows the same
# Windows ACLs as before the lock (and getfacl the same POSIX ACLs). The
# server and the user are removed at the end.
#
#   scripts/check-samba.sh [TOLVANE]        (default: build/tolvane)
#
# Needs root and Debian's samba and smbclient packages.
set -euo pipefail
umask 022
source "$(dirname "$0")/lib/round-trip.sh"
begin_check "$0" "$@"
share=$work_dir/share
samba=$work_dir/samba
user=tolvane-smb-$$
password=Tolvane-check-$$
smbd_pid=""
user_added=false

cleanup() {
    if [ -n "$smbd_pid" ]; then
        # smbd and its helpers (smbd-notifyd, ...) form its process group.
        kill -- "-$smbd_pid" 2>/dev/null || true
        wait "$smbd_pid" 2>/dev/null || true
    fi
    if $user_added; then
        userdel "$user" 2>/dev/null || true
    fi
    rm -rf "$work_dir"
}
trap cleanup EXIT

write_config() {
    local dir
    for dir in private lock state cache pid ncalrpc; do
        mkdir -p "$samba/$dir"
    done
    chmod 700 "$samba/private"
    cat >"$samba/smb.conf" <<CONF
[global]
    server role = standalone server
    interfaces = 127.0.0.1
    bind interfaces only = yes
    private dir = $samba/private
    lock directory = $samba/lock
    state directory = $samba/state
    cache directory = $samba/cache
    pid directory = $samba/pid
    ncalrpc dir = $samba/ncalrpc
    passdb backend = tdbsam:$samba/private/passdb.tdb
    log file = $samba/log.%m
    load printers = no
    printing = bsd
    printcap name = /dev/null
    disable spoolss = yes
    map to guest = never
[check]
    path = $share
    read only = no
CONF
}

add_user() {
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
    user_added=true
    printf '%s\n%s\n' "$password" "$password" \
        | quietly pdbedit --configfile="$samba/smb.conf" --create --user="$user" --password-from-stdin
}

start_smbd() {
    # In a session of its own: smbd ends by signalling its whole process group.
    setsid smbd --foreground --no-process-group --configfile="$samba/smb.conf" \
        >"$samba/smbd.out" 2>&1 &
    smbd_pid=$!
    for _ in $(seq 50); do
        smb ls >/dev/null 2>&1 && return 0
        kill -0 "$smbd_pid" 2>/dev/null || break
        sleep 0.2
    done
    cat "$samba/smbd.out" "$samba"/log.* >&2 2>/dev/null || true
    smbclient --configfile="$samba/smb.conf" --user="$user%$password" //127.0.0.1/check --command=ls >&2 || true
    fail "smbd did not start"
}

# One smbclient command on the share; fails if the server refused it.
smb() {
    local output
    output=$(smbclient --configfile="$samba/smb.conf" --user="$user%$password" \
        //127.0.0.1/check --command="$1" 2>&1) || return 1
    ! grep -q 'NT_STATUS_' <<<"$output"
}

# Tries each way of writing folder $1 through the share, as the test user;
# prints the name of each that worked.
client_writes() {
    local dir=${1#"$share"/} local_file=$work_dir/upload.txt
    echo "uploaded" >"$local_file"
    smb "put $local_file $dir/created.txt" && echo create
    smb "put $local_file $dir/victim.txt" && echo overwrite
    smb "mkdir $dir/made" && echo mkdir
    smb "rename $dir/victim.txt $dir/renamed.txt" && mv "$1/renamed.txt" "$1/victim.txt" && echo rename
    smb "del $dir/doomed.txt" && echo delete
    true
}

# The Windows ACLs the client sees on the tree's folders and files.
client_acls() {
    local path
    for path in tree tree/docs tree/docs/report.txt tree/docs/sub/deep/notes.txt tree/many-entries.txt; do
        echo "== $path"
        smbcacls --numeric --configfile="$samba/smb.conf" --user="$user%$password" \
            //127.0.0.1/check "$path"
    done
}

# Keeps what the client sees before the lock and compares after the unlock.
observe_client() {
    case $1 in
        before) client_acls >"$work_dir/smbcacls-before" ;;
        locked) client_acls >"$work_dir/smbcacls-locked" ;;
        after)
            client_acls | diff "$work_dir/smbcacls-before" - >&2 \
                || fail "smbcacls shows other ACLs after -unlock than before -lock"
            ! cmp -s "$work_dir/smbcacls-before" "$work_dir/smbcacls-locked" \
                || fail "smbcacls shows the same ACLs while locked"
            ;;
    esac
}

started=$SECONDS
mkdir -p "$share"
write_config
add_user
start_smbd
round_trip "$share" "$tolvane" "$user" client_writes observe_client
echo "samba ok: every write refused while locked, the same ACLs after unlock ($((SECONDS - started)) s)"
