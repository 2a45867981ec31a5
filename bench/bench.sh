#!/usr/bin/env bash
# Times tolvane on one walk thread (TOLVANE_THREADS=1, "one" below) and on
# every core ("all" below), against the standard tools on one tree, in one
# run, the commands alternated, and prints the medians, the ratios to a
# setfacl -R that writes every entry, the gain of all threads over one, peak
# memory, processor time and system calls per entry. With --nest L the tree
# is one chain of L nested folders instead.
#
#   bench/bench.sh [--files N] [--folders M] [--nest L] [--rounds R] [--tolvane PATH] [--dir DIR]
#
# Defaults: 100,000 files in 1,000 folders, 5 rounds, build/tolvane, a fresh
# directory under /var/tmp. Needs root (as tolvane runs), strace and GNU time.
set -euo pipefail

files=100000
folders=1000
rounds=5
nest=0
source_dir=$(cd "$(dirname "$0")/.." && pwd)
tolvane=$source_dir/build/tolvane
base=/var/tmp
while [ $# -gt 0 ]; do
    case $1 in
        --files) files=$2; shift 2 ;;
        --folders) folders=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --nest) nest=$2; shift 2 ;;
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

# One folder inside the other, each made from the open one above it, so that
# no path handed to the system grows with the depth.
build_chain() {
    python3 - "$tree" "$nest" <<'PY'
import os, sys
os.makedirs(sys.argv[1])
fd = os.open(sys.argv[1], os.O_RDONLY)
for _ in range(int(sys.argv[2])):
    os.mkdir("d", dir_fd=fd)
    below = os.open("d", os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    fd = below
os.close(os.open("f", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
PY
}

build_tree() {
    local per_folder=$((files / folders)) f
    if ((nest > 0)); then
        build_chain
        return
    fi
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

# Seconds of one run of the command, which must end with `expected` (any
# status for "any").
seconds() {
    local expected=$1 start end status=0
    shift
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || status=$?
    end=$(date +%s.%N)
    [ "$expected" = any ] || [ "$status" -eq "$expected" ] || { echo "$* failed with $status" >&2; exit 1; }
    echo "$end - $start" | bc -l
}

tolvane_one=(env TOLVANE_THREADS=1 "$tolvane")
tolvane_all=(env -u TOLVANE_THREADS "$tolvane")

median() {
    sort -n | awk '{v[NR] = $1} END {printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

declare -A times
names=(all_lock all_relock all_unlock one_lock one_relock one_unlock chmod_minus chmod_plus
       setfacl setfacl_write)
run_path() {
    local -n command=tolvane_$1
    times[$1_lock]+="$(seconds 1 "${command[@]}" -lock) "
    times[$1_relock]+="$(seconds 1 "${command[@]}" -lock) "
    times[$1_unlock]+="$(seconds 1 "${command[@]}" -unlock) "
}
# setfacl stops at PATH_MAX, so a chain deeper than that makes it fail after
# the part it reaches: its time then counts to there.
tool_status=0
if ((nest > 0)); then
    tool_status=any
fi

# Each round runs every command once; odd rounds start with the other
# setting, so that a drift of the machine weighs on both alike.
run_round() {
    if (($1 % 2)); then run_path all; run_path one; else run_path one; run_path all; fi
    times[chmod_minus]+="$(seconds $tool_status chmod -R a-w "$tree") "
    times[chmod_plus]+="$(seconds $tool_status chmod -R u+w "$tree") "
    times[setfacl]+="$(seconds $tool_status setfacl -R -m o::r "$tree") "
    # setfacl skips entries whose ACL would not change, as o::r after the
    # chmod runs above; this pair changes every entry, as tolvane does.
    times[setfacl_write]+="$(seconds $tool_status setfacl -R -m o::- "$tree") "
    times[setfacl_write]+="$(seconds $tool_status setfacl -R -m o::r "$tree") "
}

peak_memory_kib() {
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'
}

# Processor time (user and system) of one run, in microseconds per entry.
cpu_per_entry() {
    /usr/bin/time -f '%U %S' "$@" 2>&1 >/dev/null | tail -1 |
        awk -v n="$entries" '{printf "%.1f", ($1 + $2) * 1e6 / n}'
}

syscalls_per_entry() {
    strace -c -f -o /dev/stdout "$@" 2>/dev/null |
        awk -v n="$entries" '$NF == "total" {t = $(NF - 2)} END {printf "%.2f", t / n}'
}

ratio() {
    printf '%.2f' "$(echo "$1 / $2" | bc -l)"
}

echo "building $files files in $folders folders under $work ..."
build_tree
configure
entries=$(find "$tree" | wc -l)
echo "entries: $entries; machine: $(nproc) cores, $(uname -r), $(df -T "$work" | awk 'NR == 2 {print $2}')"

for ((r = 1; r <= rounds; r++)); do
    run_round "$r"
done
declare -A med
for n in "${names[@]}"; do
    med[$n]=$(tr ' ' '\n' <<<"${times[$n]}" | sed '/^$/d' | median)
done
threads=$(nproc)

printf '\nmedian of %d alternated rounds (seconds); all: %s threads\n' "$rounds" "$threads"
for p in all one; do
    printf '  tolvane -lock (%s)             %8s\n' "$p" "${med[${p}_lock]}"
    printf '  tolvane -lock again (%s)       %8s\n' "$p" "${med[${p}_relock]}"
    printf '  tolvane -unlock (%s)           %8s\n' "$p" "${med[${p}_unlock]}"
done
printf '  chmod -R a-w                     %8s\n' "${med[chmod_minus]}"
printf '  chmod -R u+w                     %8s\n' "${med[chmod_plus]}"
printf '  setfacl -R -m o::r               %8s\n' "${med[setfacl]}"
printf '  setfacl -R, every entry written  %8s\n' "${med[setfacl_write]}"

printf '\nratios to a setfacl -R writing every entry (goals on 2 cores: all lock <= 0.6, unlock <= 0.65; one <= 1.2)\n'
for p in all one; do
    printf '  lock (%s)                      %8s\n' "$p" "$(ratio "${med[${p}_lock]}" "${med[setfacl_write]}")"
    printf '  unlock (%s)                    %8s\n' "$p" "$(ratio "${med[${p}_unlock]}" "${med[setfacl_write]}")"
    printf '  relock / lock (%s)             %8s\n' "$p" "$(ratio "${med[${p}_relock]}" "${med[${p}_lock]}")"
done
printf '  one / all, lock (gain)           %8s\n' "$(ratio "${med[one_lock]}" "${med[all_lock]}")"
printf '  one / all, unlock (gain)         %8s\n' "$(ratio "${med[one_unlock]}" "${med[all_unlock]}")"

printf '\npeak memory (KiB)\n'
printf '  tolvane -lock (all)              %8s\n' "$(peak_memory_kib "${tolvane_all[@]}" -lock)"
printf '  tolvane -lock (one)              %8s\n' "$(peak_memory_kib "${tolvane_one[@]}" -lock)"
printf '  setfacl -R -m o::r               %8s\n' "$(peak_memory_kib setfacl -R -m o::r "$tree")"

printf '\nprocessor time per entry (microseconds, user and system)\n'
printf '  tolvane -lock (all)              %8s\n' "$(cpu_per_entry "${tolvane_all[@]}" -lock)"
printf '  tolvane -lock (one)              %8s\n' "$(cpu_per_entry "${tolvane_one[@]}" -lock)"
printf '  setfacl -R -m o::-               %8s\n' "$(cpu_per_entry setfacl -R -m o::- "$tree")"

printf '\nsystem calls per entry\n'
"${tolvane_one[@]}" -unlock >/dev/null 2>&1 || true
printf '  tolvane -lock (one)              %s\n' "$(syscalls_per_entry "${tolvane_one[@]}" -lock)"
printf '  tolvane -unlock (one)            %s\n' "$(syscalls_per_entry "${tolvane_one[@]}" -unlock)"
printf '  setfacl -R -m o::-               %s\n' "$(syscalls_per_entry setfacl -R -m o::- "$tree")"
printf '  chmod -R a-w                     %s\n' "$(syscalls_per_entry chmod -R a-w "$tree")"
