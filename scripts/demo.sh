#!/usr/bin/env bash
# Installs the dependencies, builds Tolvane, and shows it at work on a small
# example tree that it creates in ./tolvane-demo, with the shipped examples/
# configuration: the ACLs before, after "-lock" and after "-unlock", and the log.
set -euo pipefail
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
# A named user and a default ACL, to show that every entry is handled.
setfacl -m u:nobody:rw example-tree/Shared/notes.txt
setfacl -d -m g::rwx,o::rx example-tree/Shared

show() {
    echo
    echo "== $1"
    getfacl -R -p example-tree 2>/dev/null | grep -v '^# owner\|^# group' | sed '/^$/d'
}

show "ACLs before"
"$tolvane" -lock && status=$? || status=$?
echo "tolvane -lock exited with $status"
show "ACLs after -lock"
"$tolvane" -unlock && status=$? || status=$?
echo "tolvane -unlock exited with $status"
show "ACLs after -unlock"
echo
echo "== tolvane.log"
cat tolvane.log
