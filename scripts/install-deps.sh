#!/usr/bin/env bash
# Installs what Tolvane needs to build and test, from Debian's packages.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends \
    cmake make g++ pkg-config \
    liblog4cxx-dev libpoco-dev libacl1-dev acl attr libsqlite3-dev liburing-dev libexpat1-dev \
    libgtest-dev libgmock-dev \
    dpkg-dev lintian systemd man-db logrotate strace \
    util-linux g++-mingw-w64-x86-64-posix \
    e2fsprogs xfsprogs btrfs-progs iproute2 samba smbclient fuse3 libfuse3-dev >/dev/null
