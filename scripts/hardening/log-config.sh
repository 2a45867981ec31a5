#!/usr/bin/env bash
# Runs tolvane -lock and -unlock with a LogTolvane.xml that is missing,
# empty, truncated, binary, an entity bomb, a directory, or that sends the
# log to a missing folder, below a plain file, into /proc or into an
# immutable folder, in bounded time. A set-up that cannot be read whole
# stops the run before it starts: status 254, the tree untouched. With any
# other, whatever becomes of the log, every run must do its work (the tree's
# ACLs locked, then restored) and end with status 1. Each variant is run
# --rounds times.
#
# usage: log-config.sh [--rounds N] [--timeout SECONDS] [--tolvane PATH]
#                      [--keep] [--shared-guard]
# Exit status 0 when every run passed, 1 otherwise.
set -euo pipefail
source "$(dirname "$0")/common.sh"

rounds=20
run_timeout=60
tolvane=
keep=0
shared_guard=0
original_arguments=("$@")
parse_options "rounds timeout:run_timeout tolvane" "keep shared-guard" "$@"
require_root
isolate_guard "$shared_guard" "$0" "${original_arguments[@]}"
tolvane=$(resolve_tolvane "$tolvane")

work=$(mktemp -d /tmp/tolvane-logconfig.XXXXXX)
cleanup() {
    chattr -i "$work/immutable" 2>/dev/null || true
    [ "$keep" = 1 ] && { echo "kept $work"; return; }
    rm -rf "$work"
}
trap cleanup EXIT

prepare_run_dir "$work" "$work/tree"
good_xml=$(cat "$work/LogTolvane.xml")
mkdir -p "$work/tree/sub" "$work/immutable"
: >"$work/tree/f"
: >"$work/tree/sub/g"
chmod -R a+w "$work/tree"
total=$(find "$work/tree" | wc -l)
immutable=0
chattr +i "$work/immutable" 2>/dev/null && immutable=1

bomb() {
    printf '<?xml version="1.0"?>\n<!DOCTYPE l [\n<!ENTITY l0 "lol">\n'
    for level in $(seq 1 12); do
        printf '<!ENTITY l%d "%s">\n' "$level" "$(printf "&l$((level - 1));%.0s" $(seq 10))"
    done
    printf ']>\n<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/"><root>'
    printf '<priority value="&l12;"/></root></log4j:configuration>\n'
}
log_to() { echo "${good_xml//tolvane.log/$1}"; }

# Writes LogTolvane.xml for variant $1.
write_variant() {
    local xml=$work/LogTolvane.xml
    rm -rf "$xml" "$work/new"
    case $1 in
        missing) ;;
        empty) : >"$xml" ;;
        truncated) head -c $((${#good_xml} / 2)) <<<"$good_xml" >"$xml" ;;
        binary) head -c 4096 /dev/urandom >"$xml" ;;
        entity-bomb) bomb >"$xml" ;;
        directory) mkdir "$xml" ;;
        missing-folder) log_to "$work/new/folder/tolvane.log" >"$xml" ;;
        below-a-file) log_to "$work/Tolvane.ini/tolvane.log" >"$xml" ;;
        proc) log_to "/proc/tolvane-hardening/tolvane.log" >"$xml" ;;
        immutable) log_to "$work/immutable/tolvane.log" >"$xml" ;;
    esac
}

variants=(missing empty truncated binary entity-bomb directory missing-folder below-a-file proc)
refused=" empty truncated binary entity-bomb directory "
[ "$immutable" = 1 ] && variants+=(immutable)

machine_line
failed=0
start=$(now_seconds)
runs=0
for variant in "${variants[@]}"; do
    for round in $(seq 1 "$rounds"); do
        write_variant "$variant"
        for direction in -lock -unlock; do
            set +e
            (cd "$work" && timeout "$run_timeout" "$tolvane" "$direction") >/dev/null 2>&1
            status=$?
            set -e
            runs=$((runs + 1))
            writable=$(find "$work/tree" -perm /222 | wc -l)
            want_status=1
            expected=$([ "$direction" = -lock ] && echo 0 || echo "$total")
            if [[ $refused == *" $variant "* ]]; then
                want_status=254
                expected=$total
            fi
            if [ "$status" != "$want_status" ] || [ "$writable" != "$expected" ]; then
                echo "FAIL: $variant round $round $direction: exit $status (want $want_status)," \
                    "$writable writable (want $expected)"
                failed=1
            fi
        done
    done
    echo "$variant: $((rounds * 2)) runs done"
done
echo "$runs runs over ${#variants[@]} log configurations in $(elapsed_since "$start") s," \
    "$([ "$failed" = 0 ] && echo 'every one done or refused whole as it should be' || echo 'some FAILED')"
exit "$failed"
