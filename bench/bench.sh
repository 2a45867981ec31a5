#!/usr/bin/env bash
# Times tolvane against the standard tools on one tree, in one run, and prints
# the medians, the ratios, peak memory and system calls per entry.
#
#   bench/bench.sh [--files N] [--folders M] [--rounds R] [--tolvane PATH] [--dir DIR]
#
# Defaults: 100,000 files in 1,000 folders, 5 rounds, build/tolvane, a fresh
# directory under /var/tmp. Needs root (as tolvane runs), strace and GNU time.
set -euo pipefail

files=100000
folders=1000
rounds=5
source_dir=$(cd "$(dirname "$0")/.." && pwd)
tolvane=$source_dir/build/tolvane
base=/var/tmp
while [ $# -gt 0 ]; do
    case $1 in
        --files) files=$2; shift 2 ;;
        --folders) folders=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --tolvane) tolvane=$(realpath "$2"); shift 2 ;;
        --dir) base=$2; shift 2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
command -v strace >/dev/null && command -v bc >/dev/null && [ -x /usr/bin/time ] || {
    echo "installing strace and time" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq strace time bc >/dev/null
}

work=$(mktemp -d "$base/tolvane-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$work/tree

build_tree() {
    local per_folder=$((files / folders)) f
    mkdir -p "$tree"
    for ((f = 0; f < folders; f++)); do
        mkdir "$tree/d$f"
        (cd "$tree/d$f" && seq -f "f%g" 1 "$per_folder" | xargs touch)
    done
}

configure() {
    cd "$work"
    printf '[FOLDER]\nNB_FOLDER=1\nFOLDER_1=%s\n' "$tree" > Tolvane.ini
    cat > LogTolvane.xml <<'XML'
<?xml version="1.0" encoding="UTF-8" ?>
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="file" class="org.apache.log4j.FileAppender">
    <param name="File" value="tolvane.log"/>
    <layout class="org.apache.log4j.PatternLayout"><param name="ConversionPattern" value="%p %m%n"/></layout>
  </appender>
  <root><priority value="DEBUG"/><appender-ref ref="file"/></root>
</log4j:configuration>
XML
}

# Seconds of one run of the command, which must succeed (tolvane: exit 1).
seconds() {
    local start end status=0
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || status=$?
    end=$(date +%s.%N)
    case "$1:$status" in
        "$tolvane:1" | *:0) ;;
        *) echo "$* failed with $status" >&2; exit 1 ;;
    esac
    echo "$end - $start" | bc -l
}

median() {
    sort -n | awk '{v[NR] = $1} END {printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

declare -A times
names=(lock relock unlock chmod_minus chmod_plus setfacl setfacl_write)
run_round() {
    times[lock]+="$(seconds "$tolvane" -lock) "
    times[relock]+="$(seconds "$tolvane" -lock) "
    times[unlock]+="$(seconds "$tolvane" -unlock) "
    times[chmod_minus]+="$(seconds chmod -R a-w "$tree") "
    times[chmod_plus]+="$(seconds chmod -R u+w "$tree") "
    times[setfacl]+="$(seconds setfacl -R -m o::r "$tree") "
    # setfacl skips entries whose ACL would not change, as o::r after the
    # chmod runs above; this pair changes every entry, as tolvane does.
    times[setfacl_write]+="$(seconds setfacl -R -m o::- "$tree") "
    times[setfacl_write]+="$(seconds setfacl -R -m o::r "$tree") "
}

peak_memory_kib() {
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'
}

syscalls_per_entry() {
    local total
    total=$(strace -c -f -o /dev/stdout "$@" 2>/dev/null | awk '$NF == "total" {print $(NF - 2)}')
    echo "scale=2; $total / $entries" | bc -l
}

echo "building $files files in $folders folders under $work ..."
build_tree
configure
entries=$(find "$tree" | wc -l)
echo "entries: $entries; machine: $(nproc) cores, $(uname -r), $(df -T "$work" | awk 'NR == 2 {print $2}')"

for ((r = 1; r <= rounds; r++)); do
    run_round
done
declare -A med
for n in "${names[@]}"; do
    med[$n]=$(tr ' ' '\n' <<<"${times[$n]}" | sed '/^$/d' | median)
done

printf '\nmedian of %d runs (seconds)\n' "$rounds"
printf '  tolvane -lock            %8s\n' "${med[lock]}"
printf '  tolvane -lock (again)    %8s\n' "${med[relock]}"
printf '  tolvane -unlock          %8s\n' "${med[unlock]}"
printf '  chmod -R a-w             %8s\n' "${med[chmod_minus]}"
printf '  chmod -R u+w             %8s\n' "${med[chmod_plus]}"
printf '  setfacl -R -m o::r       %8s\n' "${med[setfacl]}"
printf '  setfacl -R, every entry  %8s\n' "${med[setfacl_write]}"
printf '\nratios (target: lock / setfacl <= 1.0)\n'
printf '  lock / setfacl -R        %8.2f\n' "$(echo "${med[lock]} / ${med[setfacl]}" | bc -l)"
printf '  unlock / setfacl -R      %8.2f\n' "$(echo "${med[unlock]} / ${med[setfacl]}" | bc -l)"
printf '  lock / setfacl, writing  %8.2f\n' "$(echo "${med[lock]} / ${med[setfacl_write]}" | bc -l)"
printf '  lock / chmod -R a-w      %8.2f\n' "$(echo "${med[lock]} / ${med[chmod_minus]}" | bc -l)"
printf '  relock / lock            %8.2f\n' "$(echo "${med[relock]} / ${med[lock]}" | bc -l)"

printf '\npeak memory (KiB, target < 16384)\n'
printf '  tolvane -lock            %8s\n' "$(peak_memory_kib "$tolvane" -lock)"
printf '  setfacl -R -m o::r       %8s\n' "$(peak_memory_kib setfacl -R -m o::r "$tree")"

printf '\nsystem calls per entry\n'
printf '  tolvane -lock            %8s\n' "$(syscalls_per_entry "$tolvane" -lock)"
printf '  setfacl -R -m o::r       %8s\n' "$(syscalls_per_entry setfacl -R -m o::r "$tree")"
printf '  chmod -R a-w             %8s\n' "$(syscalls_per_entry chmod -R a-w "$tree")"
