#!/usr/bin/env bash
# Installs the dependencies, builds Tolvane, and shows it at work on a small
# example tree that it creates in ./tolvane-demo, with the shipped examples/
# configuration: the ACLs before, after "-lock" and after "-unlock", whether
# the unlock gave back exactly the ACLs of before the lock, and the log
# (the shipped LogTolvane.xml logs to standard error for the journal, each
# line behind its "<N>" priority; here it is kept in tolvane.log).
set -euo pipefail
# tolvane run as root refuses a working directory or configuration that
# anyone but root could write.
umask 022
source_dir=$(cd "$(dirname "$0")/.." && pwd)
demo_dir=$PWD/tolvane-demo

bash "$source_dir/scripts/install-deps.sh"
bash "$source_dir/scripts/build.sh" "$source_dir/build" >/dev/null
tolvane=$source_dir/build/tolvane

rm -rf "$demo_dir"
mkdir -p "$demo_dir/example-tree/Documents/2026" "$demo_dir/example-tree/Shared"
cp "$source_dir/examples/Tolvane.ini" "$source_dir/examples/LogTolvane.xml" "$demo_dir/"
cd "$demo_dir"
echo "quarterly figures" > example-tree/Documents/report.txt
echo "minutes" > example-tree/Documents/2026/minutes.txt
echo "shared notes" > example-tree/Shared/notes.txt
chmod -R g+w example-tree
# A named user, a read-only named group and a default ACL, to show that every
# entry is handled and that unlock gives back only what lock took.
setfacl -m u:nobody:rw,g:nogroup:r example-tree/Shared/notes.txt
setfacl -d -m g::rwx,o::rx example-tree/Shared

show() {
    echo
    echo "== $1"
    getfacl -R -p example-tree 2>/dev/null | grep -v '^# owner\|^# group' | sed '/^$/d'
}

show "ACLs before"
getfacl -R -p -n example-tree >acls-before.txt 2>/dev/null
"$tolvane" -lock 2>>tolvane.log && status=$? || status=$?
echo "tolvane -lock exited with $status"
show "ACLs after -lock"
"$tolvane" -unlock 2>>tolvane.log && status=$? || status=$?
echo "tolvane -unlock exited with $status"
show "ACLs after -unlock"
echo
if getfacl -R -p -n example-tree 2>/dev/null | cmp -s - acls-before.txt; then
    echo "== the ACLs after -unlock match those before -lock, entry for entry"
else
    echo "== the ACLs after -unlock differ from those before -lock:"
    getfacl -R -p -n example-tree 2>/dev/null | diff acls-before.txt - || true
fi
echo
echo "== tolvane.log"
cat tolvane.log
