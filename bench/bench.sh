#!/usr/bin/env bash
# Times tolvane on its synchronous path (the default, "sync" below) and with
# its reads fetched ahead through io_uring (TOLVANE_IO_URING=1, "fast" below),
# against the standard tools on one tree, in one run, the commands alternated,
# and prints the medians, the ratios to a setfacl -R that writes every entry,
# peak memory and system calls per entry.
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

# Seconds of one run of the command, which must end with `expected`.
seconds() {
    local expected=$1 start end status=0
    shift
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || status=$?
    end=$(date +%s.%N)
    [ "$status" -eq "$expected" ] || { echo "$* failed with $status" >&2; exit 1; }
    echo "$end - $start" | bc -l
}

# The two paths of the program: io_uring where the kernel allows it, and the
# synchronous one it falls back to.
tolvane_fast() { env TOLVANE_IO_URING=1 "$tolvane" "$@"; }
tolvane_sync() { env -u TOLVANE_IO_URING "$tolvane" "$@"; }

median() {
    sort -n | awk '{v[NR] = $1} END {printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

declare -A times
names=(fast_lock fast_relock fast_unlock sync_lock sync_relock sync_unlock chmod_minus chmod_plus
       setfacl setfacl_write)
run_path() {
    times[$1_lock]+="$(seconds 1 "tolvane_$1" -lock) "
    times[$1_relock]+="$(seconds 1 "tolvane_$1" -lock) "
    times[$1_unlock]+="$(seconds 1 "tolvane_$1" -unlock) "
}
# Each round runs every command once; odd rounds start with the other path,
# so that a drift of the machine weighs on both alike.
run_round() {
    if (($1 % 2)); then run_path fast; run_path sync; else run_path sync; run_path fast; fi
    times[chmod_minus]+="$(seconds 0 chmod -R a-w "$tree") "
    times[chmod_plus]+="$(seconds 0 chmod -R u+w "$tree") "
    times[setfacl]+="$(seconds 0 setfacl -R -m o::r "$tree") "
    # setfacl skips entries whose ACL would not change, as o::r after the
    # chmod runs above; this pair changes every entry, as tolvane does.
    times[setfacl_write]+="$(seconds 0 setfacl -R -m o::- "$tree") "
    times[setfacl_write]+="$(seconds 0 setfacl -R -m o::r "$tree") "
}

peak_memory_kib() {
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'
}

# System calls of one run per entry, and how many of them were io_uring_enter.
syscalls_per_entry() {
    strace -c -f -o /dev/stdout "$@" 2>/dev/null |
        awk -v n="$entries" '$NF == "total" {t = $(NF - 2)} $NF == "io_uring_enter" {u = $4}
            END {printf "%.2f (io_uring_enter %.3f)", t / n, u / n}'
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
fast_path=synchronous
traced=$(TOLVANE_IO_URING=1 strace -f -e trace=io_uring_enter -o /dev/stdout "$tolvane" -unlock 2>/dev/null || true)
if grep -q io_uring_enter <<<"$traced"; then
    fast_path=io_uring
fi

printf '\nmedian of %d alternated rounds (seconds); fast path: %s\n' "$rounds" "$fast_path"
for p in fast sync; do
    printf '  tolvane -lock (%s)            %8s\n' "$p" "${med[${p}_lock]}"
    printf '  tolvane -lock again (%s)      %8s\n' "$p" "${med[${p}_relock]}"
    printf '  tolvane -unlock (%s)          %8s\n' "$p" "${med[${p}_unlock]}"
done
printf '  chmod -R a-w                     %8s\n' "${med[chmod_minus]}"
printf '  chmod -R u+w                     %8s\n' "${med[chmod_plus]}"
printf '  setfacl -R -m o::r               %8s\n' "${med[setfacl]}"
printf '  setfacl -R, every entry written  %8s\n' "${med[setfacl_write]}"

printf '\nratios to a setfacl -R writing every entry (goals: fast lock <= 0.5, unlock <= 0.6; synchronous <= 1.0)\n'
for p in fast sync; do
    printf '  lock (%s)                     %8s\n' "$p" "$(ratio "${med[${p}_lock]}" "${med[setfacl_write]}")"
    printf '  unlock (%s)                   %8s\n' "$p" "$(ratio "${med[${p}_unlock]}" "${med[setfacl_write]}")"
    printf '  relock / lock (%s)            %8s\n' "$p" "$(ratio "${med[${p}_relock]}" "${med[${p}_lock]}")"
done
printf '  fast lock / setfacl -R -m o::r   %8s\n' "$(ratio "${med[fast_lock]}" "${med[setfacl]}")"
printf '  fast lock / chmod -R a-w         %8s\n' "$(ratio "${med[fast_lock]}" "${med[chmod_minus]}")"

printf '\npeak memory (KiB, goal < 16384)\n'
printf '  tolvane -lock (fast)             %8s\n' "$(TOLVANE_IO_URING=1 peak_memory_kib "$tolvane" -lock)"
printf '  tolvane -lock (sync)             %8s\n' "$(peak_memory_kib "$tolvane" -lock)"
printf '  setfacl -R -m o::r               %8s\n' "$(peak_memory_kib setfacl -R -m o::r "$tree")"

printf '\nsystem calls per entry\n'
"$tolvane" -unlock >/dev/null 2>&1 || true
printf '  tolvane -lock (fast)             %s\n' "$(TOLVANE_IO_URING=1 syscalls_per_entry "$tolvane" -lock)"
printf '  tolvane -unlock (fast)           %s\n' "$(TOLVANE_IO_URING=1 syscalls_per_entry "$tolvane" -unlock)"
printf '  tolvane -lock (sync)             %s\n' "$(syscalls_per_entry "$tolvane" -lock)"
printf '  tolvane -unlock (sync)           %s\n' "$(syscalls_per_entry "$tolvane" -unlock)"
printf '  setfacl -R -m o::-               %s\n' "$(syscalls_per_entry setfacl -R -m o::- "$tree")"
printf '  chmod -R a-w                     %s\n' "$(syscalls_per_entry chmod -R a-w "$tree")"
