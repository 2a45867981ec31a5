#!/usr/bin/env bash
# Times tolvane on one walk thread (TOLVANE_THREADS=1, "one" below) and on
# every core ("all" below), each reading entries through io_uring ("ring")
# and by plain calls (TOLVANE_IO_URING=0, "plain"), against a setfacl -R
# that writes every entry, on
# up to three shapes of tree, the commands alternated in rounds, and prints
# for each shape the medians, the ratios, peak memory, and processor time
# and system calls per entry, first with an empty record store, then with
# one record planted in the store for another file of the same file system.
#
#   bench/bench.sh [--shapes "tree folder chain"] [--files N] [--folders M]
#                  [--folder-files N] [--nest L] [--rounds R] [--tolvane PATH] [--dir DIR]
#
# Shapes: tree, N files (default 100,000) in M folders (default 1,000);
# folder, one folder of --folder-files files (default 200,000); chain, L
# nested folders (default 1,000) with one file at the bottom. Default 3
# rounds, build/tolvane, a fresh directory under /var/tmp, which also holds
# the record store of the runs (STATE_DIRECTORY). Needs root (as tolvane
# runs), strace and GNU time.
set -euo pipefail

shapes="tree folder chain"
files=100000
folders=1000
folder_files=200000
nest=1000
rounds=3
source_dir=$(cd "$(dirname "$0")/.." && pwd)
tolvane=$source_dir/build/tolvane
base=/var/tmp
while [ $# -gt 0 ]; do
    case $1 in
        --shapes) shapes=$2; shift 2 ;;
        --files) files=$2; shift 2 ;;
        --folders) folders=$2; shift 2 ;;
        --folder-files) folder_files=$2; shift 2 ;;
        --nest) nest=$2; shift 2 ;;
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
export STATE_DIRECTORY=$work/state

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
    mkdir -p "$tree"
    for ((f = 0; f < folders; f++)); do
        mkdir "$tree/d$f"
        (cd "$tree/d$f" && seq -f "f%g" 1 "$per_folder" | xargs touch)
    done
}

build_folder() {
    mkdir -p "$tree"
    (cd "$tree" && seq -f "f%g" 1 "$folder_files" | xargs touch)
}

# Tolvane.ini naming `$2`, and a log configuration, in folder `$1`.
configure() {
    mkdir -p "$1"
    printf '[FOLDER]\nNB_FOLDER=1\nFOLDER_1=%s\n' "$2" > "$1/Tolvane.ini"
    cat > "$1/LogTolvane.xml" <<'XML'
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

# Runs the command, again while another tolvane holds the instance guard
# (status 250), and fails unless it ends with `expected` ("any": any status).
run_checked() {
    local expected=$1 status=0 tries=0
    shift
    while :; do
        status=0
        "$@" >/dev/null 2>&1 || status=$?
        [ "$status" -eq 250 ] && ((++tries < 20)) || break
        sleep 0.5
    done
    [ "$expected" = any ] || [ "$status" -eq "$expected" ] || { echo "$* failed with $status" >&2; exit 1; }
}

# Seconds of one run of the command.
seconds() {
    local start end
    start=$(date +%s.%N)
    run_checked "$@"
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

tolvane_ring_one=(env -u TOLVANE_IO_URING TOLVANE_THREADS=1 "$tolvane")
tolvane_ring_all=(env -u TOLVANE_IO_URING -u TOLVANE_THREADS "$tolvane")
tolvane_plain_one=(env TOLVANE_IO_URING=0 TOLVANE_THREADS=1 "$tolvane")
tolvane_plain_all=(env -u TOLVANE_THREADS TOLVANE_IO_URING=0 "$tolvane")
tolvane_all=("${tolvane_ring_all[@]}")
paths="ring_all ring_one plain_all plain_one"

median() {
    sort -n | awk '{v[NR] = $1} END {printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

declare -A times
run_path() {
    local -n command=tolvane_$1
    times[$1_lock]+="$(seconds 1 "${command[@]}" -lock) "
    times[$1_relock]+="$(seconds 1 "${command[@]}" -lock) "
    times[$1_unlock]+="$(seconds 1 "${command[@]}" -unlock) "
}

# Each round runs every command once; odd rounds start with the other
# setting, so that a drift of the machine weighs on both alike. setfacl
# skips entries whose ACL would not change: this pair changes every entry,
# as tolvane does. It stops at PATH_MAX: in a deeper chain its time counts
# to there.
run_round() {
    local p order=$paths
    (($1 % 2)) && order=$(tr ' ' '\n' <<<"$paths" | tac | tr '\n' ' ')
    for p in $order; do run_path "$p"; done
    times[setfacl_write]+="$(seconds any setfacl -R -m o::- "$tree") "
    times[setfacl_write]+="$(seconds any setfacl -R -m o::r "$tree") "
}

# The lock and unlock of all threads with the store holding one record.
run_stored_round() {
    local p
    for p in ring_all plain_all; do
        local -n command=tolvane_$p
        times[${p}_stored_lock]+="$(seconds 1 "${command[@]}" -lock) "
        times[${p}_stored_unlock]+="$(seconds 1 "${command[@]}" -unlock) "
        times[${p}_empty_lock]+="$(seconds 1 env STATE_DIRECTORY="$work/empty" "${command[@]}" -lock) "
        run_checked 1 env STATE_DIRECTORY="$work/empty" "${command[@]}" -unlock
    done
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

row() {
    printf '  %-44s %8s\n' "$1" "$2"
}

# One record in the store: a file of the tree's file system locked by a run
# whose bounding set lacks CAP_SYS_ADMIN, so that no trusted attribute takes
# it.
plant_record() {
    mkdir -p "$work/planted"
    : > "$work/planted/p"
    configure "$work/plant" "$work/planted"
    (cd "$work/plant" && run_checked 1 setpriv --bounding-set=-sys_admin "$tolvane" -lock)
    [ -f "$STATE_DIRECTORY/records.sqlite" ] || { echo "no record planted in the store" >&2; exit 1; }
}

# Processor time and system calls per entry of a first lock, a second lock
# and an unlock, each run once, on both paths.
per_entry_figures() {
    local label=$1 measure=$2 p
    for p in ring plain; do
        local -n one=tolvane_${p}_one all=tolvane_${p}_all
        run_checked 1 "${one[@]}" -unlock
        row "tolvane -lock ($p one)$label" "$($measure "${one[@]}" -lock)"
        row "tolvane -lock again ($p one)$label" "$($measure "${one[@]}" -lock)"
        row "tolvane -unlock ($p one)$label" "$($measure "${one[@]}" -unlock)"
        row "tolvane -lock ($p all)$label" "$($measure "${all[@]}" -lock)"
        run_checked 1 "${all[@]}" -unlock
    done
}

bench_shape() {
    local shape=$1 r n
    rm -rf "$tree" "$work/planted" "$STATE_DIRECTORY" "$work/empty"
    times=()
    case $shape in
        tree) build_tree ;;
        folder) build_folder ;;
        chain) build_chain ;;
        *) echo "unknown shape $shape" >&2; exit 2 ;;
    esac
    configure "$work" "$tree"
    cd "$work"
    entries=$(find "$tree" | wc -l)
    printf '\n== %s: %d entries; %s cores, %s, %s; %d rounds\n' "$shape" "$entries" "$(nproc)" \
        "$(uname -r)" "$(df -T "$work" | awk 'NR == 2 {print $2}')" "$rounds"

    for ((r = 1; r <= rounds; r++)); do
        run_round "$r"
    done
    plant_record
    for ((r = 1; r <= rounds; r++)); do
        run_stored_round
    done
    declare -A med
    for n in "${!times[@]}"; do
        med[$n]=$(tr ' ' '\n' <<<"${times[$n]}" | sed '/^$/d' | median)
    done

    printf 'medians (seconds)\n'
    for p in $paths; do
        row "tolvane -lock ($p)" "${med[${p}_lock]}"
        row "tolvane -lock again ($p)" "${med[${p}_relock]}"
        row "tolvane -unlock ($p)" "${med[${p}_unlock]}"
    done
    row "setfacl -R, every entry written" "${med[setfacl_write]}"
    for p in ring_all plain_all; do
        row "tolvane -lock ($p), empty store" "${med[${p}_empty_lock]}"
        row "tolvane -lock ($p), one record" "${med[${p}_stored_lock]}"
        row "tolvane -unlock ($p), one record" "${med[${p}_stored_unlock]}"
    done

    printf 'ratios to setfacl (goals, ring: lock (all) <= 0.4, unlock (all) <= 0.45, one <= 0.6;\n'
    printf '        plain: lock (all) <= 0.6, unlock (all) <= 0.65, one <= 1.15; all >= 1.7 x one;\n'
    printf '        one record <= 1.1 of the empty store)\n'
    for p in $paths; do
        row "lock ($p)" "$(ratio "${med[${p}_lock]}" "${med[setfacl_write]}")"
        row "lock again ($p)" "$(ratio "${med[${p}_relock]}" "${med[setfacl_write]}")"
        row "unlock ($p)" "$(ratio "${med[${p}_unlock]}" "${med[setfacl_write]}")"
    done
    for p in ring plain; do
        row "one / all, lock ($p, gain)" "$(ratio "${med[${p}_one_lock]}" "${med[${p}_all_lock]}")"
        row "lock ($p all), one record / empty" \
            "$(ratio "${med[${p}_all_stored_lock]}" "${med[${p}_all_empty_lock]}")"
    done

    printf 'peak memory (KiB)\n'
    row "tolvane -lock (all)" "$(peak_memory_kib "${tolvane_all[@]}" -lock)"
    run_checked 1 "${tolvane_all[@]}" -unlock

    printf 'processor time per entry (microseconds, user and system)\n'
    per_entry_figures ", one record" cpu_per_entry
    STATE_DIRECTORY=$work/empty per_entry_figures ", empty store" cpu_per_entry
    row "setfacl -R -m o::-" "$(cpu_per_entry setfacl -R -m o::- "$tree")"
    printf 'system calls per entry\n'
    per_entry_figures ", one record" syscalls_per_entry
    STATE_DIRECTORY=$work/empty per_entry_figures ", empty store" syscalls_per_entry
    row "setfacl -R -m o::-" "$(syscalls_per_entry setfacl -R -m o::- "$tree")"
}

echo "tolvane: $tolvane; work: $work"
for shape in $shapes; do
    bench_shape "$shape"
done
