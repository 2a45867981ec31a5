#!/usr/bin/env bash
# Runs tolvane's round trip on real file systems, each on its own small
# image: XFS, Btrfs and ext4 with 128-byte inodes (too small to hold an ACL
# and a record beside the inode's own fields) on loop devices, and tmpfs.
# On each, with a tree that other users own and write: before -lock the
# user nobody can create, overwrite, make a folder, rename and delete;
# while locked it can do none of these; after -unlock `getfacl -Rpn` shows
# exactly the ACLs of before the lock.
#
#   scripts/check-filesystems.sh [TOLVANE]        (default: build/tolvane)
#
# Needs root, a kernel with loop devices and mkfs.xfs, mkfs.btrfs and
# mkfs.ext4 (scripts/install-deps.sh installs them).
set -euo pipefail
umask 022
source "$(dirname "$0")/lib/round-trip.sh"
begin_check "$0" "$@"
mounted=()

cleanup() {
    local point
    for point in "${mounted[@]}"; do
        umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
    done
    rm -rf "$work_dir"
}
trap cleanup EXIT

# Makes a file system of type $1 on a sparse image (mkfs arguments after
# it; tmpfs has no image) and mounts it at $work_dir/$1.
mount_image() {
    local type=$1 point=$work_dir/$1
    shift
    mkdir -p "$point"
    if [ "$type" = tmpfs ]; then
        mount -t tmpfs -o size=64m,mode=0755 tolvane-check "$point"
    else
        truncate -s 320M "$work_dir/$type.img"
        quietly "mkfs.${type%%-*}" "$@" "$work_dir/$type.img"
        mount -o loop "$work_dir/$type.img" "$point"
    fi
    mounted+=("$point")
}

check_on() {
    local type=$1 point=$work_dir/$1 started=$SECONDS
    shift
    mount_image "$type" "$@"
    round_trip "$point" "$tolvane"
    umount "$point"
    echo "file system ok: $type ($((SECONDS - started)) s)"
}

check_on xfs -q
check_on btrfs -q
check_on ext4-128 -q -I 128
check_on tmpfs
