#!/usr/bin/env bash
# Runs tolvane on thousands of generated malformed Tolvane.ini files (binary
# bytes, CRLF and CR line ends, byte-order marks, duplicate keys and
# sections, huge, overflowing and non-numeric NB_FOLDER, very long lines and
# values, NUL bytes in values, multi-megabyte files). The generator and the
# checks are those of the end-to-end test
# HostileInput.GeneratedMalformedConfigurationFiles, run here with more
# files and several seeds: every run must end within its timeout with a
# documented exit status equal to the one its own log implies, write only
# documented lines, print nothing, and leave the ACLs beside the configured
# folders unchanged. Prints the exit-status histogram of each seed.
#
# usage: ini-fuzz.sh [--files N] [--seeds N] [--first-seed S]
#                    [--build DIR] [--shared-guard]
# Exit status 0 when every run passed, 1 otherwise.
set -euo pipefail
source "$(dirname "$0")/common.sh"

files=2500
seeds=2
first_seed=1
build=
shared_guard=0
original_arguments=("$@")
parse_options "files seeds first-seed build" "shared-guard" "$@"
require_root
isolate_guard "$shared_guard" "$0" "${original_arguments[@]}"
build=${build:-$hardening_source_dir/build}
if [ ! -x "$build/tests/tolvane_e2e_tests" ]; then
    cmake -S "$hardening_source_dir" -B "$build" >/dev/null
    cmake --build "$build" -j2 --target tolvane tolvane_e2e_tests >/dev/null
fi
output=$(mktemp /tmp/tolvane-ini-fuzz.XXXXXX)
trap 'rm -f "$output"' EXIT

machine_line
failed=0
total_start=$(now_seconds)
for seed in $(seq "$first_seed" $((first_seed + seeds - 1))); do
    start=$(now_seconds)
    # Every program run inside has its own 60 s timeout; this one bounds the lot.
    if TOLVANE_INI_FUZZ_FILES=$files TOLVANE_INI_FUZZ_SEED=$seed \
        timeout $((files * 60 + 60)) "$build/tests/tolvane_e2e_tests" \
        --gtest_filter=HostileInput.GeneratedMalformedConfigurationFiles >"$output" 2>&1; then
        echo "$(grep -E '^[0-9]+ files, seed' "$output") -- $(elapsed_since "$start") s"
    else
        failed=1
        echo "seed $seed FAILED after $(elapsed_since "$start") s:"
        grep -vE '^\[ *(RUN|OK|=+|-+) *\]' "$output" | cut -c1-400 | head -40
    fi
done
echo "total: $((files * seeds)) files in $(elapsed_since "$total_start") s"
exit "$failed"
