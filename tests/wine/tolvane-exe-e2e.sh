#!/usr/bin/env bash
# Runs the real tolvane.exe under Wine, on a tree on the Wine prefix's C:
# drive, and the Linux build on a tree of its own, through the same scenario:
# -lock, -unlock, a missing folder among others, a bad argument, no
# Tolvane.ini, a second instance while the first runs, a folder with a
# non-ASCII name; under Wine also a -lock beside a planted iphlpapi.dll.
# Each run must end with the expected exit status and print nothing; its
# log (pattern "%p %m%n") must hold the expected line, and the
# two platforms' logs must be the same line for line once the root of the
# tree is written <root>, '\' as '/' and CR LF as LF. After the first -lock,
# the Wine prefix's registry must hold the record of each entry locked, and
# after the -unlock none.
#
#   tests/wine/tolvane-exe-e2e.sh TOLVANE_EXE LINUX_TOLVANE
#
# Wine stores no security descriptor for a file (it maps a DACL to the rwx
# bits and back), so what -lock leaves in the DACLs is not checked here: only
# Windows itself can show it.
set -euo pipefail

# The Linux build's instance guard (as root a lock file under /run, for
# other users an abstract socket, private to a network namespace) would meet
# any other tolvane on the machine and turn a run here into -6. Where unshare
# is allowed, the script runs in a network and mount namespace of its own,
# with an empty /run, as the hardening scripts do.
if [ -z "${TOLVANE_E2E_ISOLATED:-}" ] && unshare --net --mount true 2>/dev/null; then
    TOLVANE_E2E_ISOLATED=1 exec unshare --net --mount --propagation private -- bash -c \
        'mount -t tmpfs -o mode=755 tolvane-guard /run && exec bash "$@"' isolate "$0" "$@"
fi

exe=$(realpath "$1")
planted_dll_source=$(realpath "$(dirname "$0")/planted-iphlpapi.cpp")
linux=$(realpath "$2")
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=""
wine_root_name=tolvane-e2e
nonascii='Färger-Ωmega ǅ'
deep=$(printf 'abcdefghij/%.0s' $(seq 1 30))
failures=0

cleanup() {
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
    fi
    chmod -R u+w "$work" 2>/dev/null || true # the last runs locked the trees
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}

# --- What differs between the platforms: where the tree lives, how
# Tolvane.ini names a folder in it, and how the program is started.

root_of() {
    case $1 in
    linux) echo "$work/linux" ;;
    wine) echo "$WINEPREFIX/drive_c/$wine_root_name" ;;
    esac
}

# The path of tree/NAME as the platform writes it.
folder_of() {
    case $1 in
    linux) echo "$work/linux/tree/$2" ;;
    wine) echo "C:\\$wine_root_name\\tree\\${2//\//\\}" ;;
    esac
}

invoke() {
    local platform=$1
    shift
    case $platform in
    linux) "$linux" "$@" ;;
    wine) timeout 120 wine "$exe" "$@" ;;
    esac
}

# The log with the tree's root as <root>, every '\' as '/', and Unix line
# ends (log4cxx ends a line with CR LF on Windows).
normalised_log() {
    local platform=$1 log=$2
    case $platform in
    linux) sed "s#$work/linux#<root>#g" "$log" ;;
    wine) sed -e 's#\\#/#g' -e "s#C:/$wine_root_name#<root>#g" -e 's#\r$##' "$log" ;;
    esac
}

# --- The scenario, the same on both platforms.

# Besides plain entries: names Win32 paths mangle (a trailing dot or blank,
# device names), a file deeper than MAX_PATH, and links out of the tree,
# which no run may follow (Wine 8 shows a link to a file as the file, so
# only links to folders are made).
make_tree() {
    local root=$1 n
    mkdir -p "$root/tree/Documents/Reports" "$root/tree/$nonascii/Sub" "$root/tree/Busy" \
        "$root/outside" "$root/tree/Documents/$deep"
    for n in 1 2 3; do
        echo text >"$root/tree/Documents/file$n.txt"
        echo text >"$root/tree/Documents/Reports/report$n.txt"
        echo text >"$root/tree/$nonascii/Sub/fichier-é$n.txt"
    done
    for n in trail. 'space ' NUL COM1 "$deep/deep.txt"; do
        echo text >"$root/tree/Documents/$n"
    done
    echo text >"$root/outside/target.txt"
    ln -s "$root/outside" "$root/tree/Documents/escape"
    ln -s "$root/nowhere" "$root/tree/Documents/dangling"
    for n in $(seq 1 99); do
        mkdir -p "$root/tree/Busy/$n"
    done
}

log_config() {
    mkdir -p "$1"
    cat >"$1/LogTolvane.xml" <<'EOF'
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="file" class="org.apache.log4j.FileAppender">
    <param name="File" value="tolvane.log"/>
    <layout class="org.apache.log4j.PatternLayout">
      <param name="ConversionPattern" value="%p %m%n"/>
    </layout>
  </appender>
  <root>
    <priority value="DEBUG"/>
    <appender-ref ref="file"/>
  </root>
</log4j:configuration>
EOF
}

# config PLATFORM DIR NAME...: a run folder whose Tolvane.ini lists tree/NAME...
config() {
    local platform=$1 dir=$2 n=0 name
    shift 2
    log_config "$dir"
    {
        printf '[FOLDER]\nNB_FOLDER=%d\n' $#
        for name in "$@"; do
            n=$((n + 1))
            printf 'FOLDER_%d=%s\n' "$n" "$(folder_of "$platform" "$name")"
        done
    } >"$dir/Tolvane.ini"
}

# Starts the program in DIR; its output goes to DIR/output.
start() {
    local platform=$1 dir=$2
    shift 2
    (cd "$dir" && invoke "$platform" "$@") >"$dir/output" 2>&1
}

# run PLATFORM STEP STATUS EXPECTED_LINE ARG: runs in the step's folder and
# checks the exit status (as a shell sees it), the silence and the log line.
run() {
    local platform=$1 step=$2 expected=$3 line=$4 status=0
    local dir
    dir=$(root_of "$platform")/$step
    shift 4
    start "$platform" "$dir" "$@" || status=$?
    record "$platform" "$step" "$expected" "$status" "$line"
}

record() {
    local platform=$1 step=$2 expected=$3 status=$4 line=$5
    local dir log=$work/logs/$platform/$step.log
    dir=$(root_of "$platform")/$step
    mkdir -p "$(dirname "$log")"
    : >"$log"
    if [ -f "$dir/tolvane.log" ]; then
        normalised_log "$platform" "$dir/tolvane.log" >"$log"
    fi
    check "$platform $step: exit status $expected" [ "$status" -eq "$expected" ]
    # A wrong argument gets one usage line on Linux's standard error; the
    # Windows program has no console to say it on.
    if [ "$platform" = linux ] && [ "$expected" -eq 255 ]; then
        check "$platform $step: prints one usage line" [ "$(wc -l <"$dir/output")" -eq 1 ]
    else
        check "$platform $step: prints nothing" [ ! -s "$dir/output" ]
    fi
    check "$platform $step: logs '$line'" grep -qxF -- "$line" "$log"
}

# A Tolvane.ini of 99 folders and 30,000 other keys: the first instance reads
# it 100 times, which takes seconds. The second starts once the first has
# logged its start line, so while the first holds the instance guard.
second_instance() {
    local platform=$1 root first status=0 folders=() n
    root=$(root_of "$platform")
    for n in $(seq 1 99); do folders+=("Busy/$n"); done
    config "$platform" "$root/busy" "${folders[@]}"
    { echo '[PADDING]'; seq -f 'key%g=a value that only makes the file longer' 1 30000; } \
        >>"$root/busy/Tolvane.ini"
    log_config "$root/second"
    start "$platform" "$root/busy" -lock &
    first=$!
    check "$platform busy: logs its start line" \
        wait_for_line "$root/busy/tolvane.log" 'Tolvane Application is running'
    run "$platform" second 250 'ERROR [WinMain]: WinMain :: ReturnCode = -6 : Another instance is running' -lock
    check "$platform busy: still running when the second instance ended" kill -0 "$first"
    wait "$first" || status=$?
    record "$platform" busy 1 "$status" \
        "DEBUG [WinMain]: WinMain :: ReturnCode = 1 : Lock writing Permission for file (<root>/tree/Busy/99) with Success"
}

wait_for_line() {
    local tries=0
    until grep -qF "$2" "$1" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 1200 ] || return 1
        sleep 0.05
    done
}

scenario() {
    local p=$1 root
    root=$(root_of "$p")
    make_tree "$root"
    config "$p" "$root/lock" Documents "$nonascii"
    run "$p" lock 1 "DEBUG [WinMain]: WinMain :: ReturnCode = 1 : Lock writing Permission for file (<root>/tree/Documents) with Success" -lock
    check_nonascii_name "$p"
    [ "$p" != wine ] || check_records "$root"
    cp -r "$root/lock" "$root/unlock" && rm "$root/unlock/tolvane.log"
    run "$p" unlock 1 "DEBUG [WinMain]: WinMain :: ReturnCode = 1 : Unlock writing Permission for file (<root>/tree/Documents) with Success" -unlock
    [ "$p" != wine ] || check_records "$root" 0
    [ "$p" != wine ] || link_on_path "$root"
    [ "$p" != wine ] || link_out_of_tree "$root"
    config "$p" "$root/missing-folder" Documents Missing "$nonascii"
    run "$p" missing-folder 253 "ERROR [C_TolvaneManager::isFileExists]: C_TolvaneManager::isFileExists :: ReturnCode = -3 : File <root>/tree/Missing doesn't exist" -lock
    config "$p" "$root/bad-argument" Documents
    run "$p" bad-argument 255 "ERROR [WinMain]: WinMain :: ReturnCode = -1 : Passed argument is incorrect, try '-lock' or '-unlock' " -LOCK
    log_config "$root/no-ini"
    run "$p" no-ini 254 "ERROR [WinMain]: WinMain :: ReturnCode = -2 : Empty Folder list" -lock
    second_instance "$p"
    [ "$p" != wine ] || planted_dll "$root"
}

# tolvane.exe copied beside an iphlpapi.dll that Wine is told to prefer to
# its own, as Windows would find one planted in the program's folder: a
# whole -lock must run without loading it, at start or later.
planted_dll() {
    local root=$1 dir=$1/planted
    mkdir -p "$root/tree/Planted" "$dir"
    echo text >"$root/tree/Planted/file.txt"
    config wine "$dir" Planted
    cp "$exe" "$dir/"
    x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -shared -static \
        "$planted_dll_source" -o "$dir/iphlpapi.dll"
    local exe=$dir/tolvane.exe
    local -x WINEDLLOVERRIDES="$WINEDLLOVERRIDES;iphlpapi=n"
    run wine planted 1 "DEBUG [WinMain]: WinMain :: ReturnCode = 1 : Lock writing Permission for file (<root>/tree/Planted) with Success" -lock
    check "wine planted: the iphlpapi.dll beside tolvane.exe never loaded" [ ! -e "$dir/planted-dll-loaded" ]
}

# A configured folder that is a link the administrators alone do not hold
# (under Wine every file is the user's) is refused with its -4 lines, and
# nothing below it is touched: no record is made. Linux follows a link root
# owns, so this step is Windows' alone.
link_on_path() {
    local root=$1
    config wine "$root/link-on-path" Documents/escape
    run wine link-on-path 252 "ERROR [C_TolvaneManager::filePermissionModification]: C_TolvaneManager::filePermissionModification :: ReturnCode = -4 : Locking writing permission for File ( <root>/tree/Documents/escape ) failed " -lock
    check_records "$root" 0
}

# The lines the program has always written; its own INFO and WARN lines
# carry timings and each system's own words for an error.
specified_lines() {
    grep -v -E '^(INFO|WARN) ' "$1" || true
}

compare_logs() {
    local log step
    for log in "$work"/logs/linux/*.log; do
        step=$(basename "$log" .log)
        check "$step: the same log lines on Linux and under Wine" \
            diff -u <(specified_lines "$log") <(specified_lines "$work/logs/wine/$step.log")
    done
}

# The folder's name exactly as Tolvane.ini gives it, in UTF-8.
check_nonascii_name() {
    check "$1 lock: logs the non-ASCII folder name exactly" grep -qxF \
        "DEBUG [WinMain]: WinMain :: ReturnCode = 1 : Lock writing Permission for file (<root>/tree/$nonascii) with Success" \
        "$work/logs/$1/lock.log"
}

# On Windows -lock keeps what it took from each entry in the registry, one
# value per entry, for -unlock to give back; the prefix's registry starts
# empty, so after the first -lock there is one value per entry of its trees
# but the links, and after the -unlock that gives them back, none.
# A file that also has a name outside every configured folder (a hard link
# to a file outside the tree) is neither changed nor recorded, by the lock
# or the unlock; the rest of its folder is. Wine cannot list a file's names,
# so every file with several links is refused there; real Windows lists
# them. Linux keeps its own rule for links, so this is Windows'.
link_out_of_tree() {
    local root=$1
    mkdir -p "$root/tree/Linked"
    echo text >"$root/tree/Linked/own.txt"
    ln "$root/outside/target.txt" "$root/tree/Linked/inside.txt"
    config wine "$root/link-out" Linked
    run wine link-out 252 "ERROR [C_TolvaneManager::lockWritingPermission]: C_TolvaneManager::lockWritingPermission :: ReturnCode = -4 : Getting Security Information Failed for <root>/tree/Linked/inside.txt" -lock
    check "wine link-out: the folder and its own file recorded, the linked one not" \
        [ "$(wine reg query 'HKLM\SOFTWARE\Tolvane\WriteRecords' 2>/dev/null | grep -c REG_BINARY)" -eq 2 ]
    config wine "$root/link-back" Linked
    run wine link-back 252 "ERROR [C_TolvaneManager::unlockWritingPermission]: C_TolvaneManager::unlockWritingPermission :: ReturnCode = -4 : Getting Security Information Failed for <root>/tree/Linked/inside.txt" -unlock
    check_records "$root" 0
}

check_records() {
    local root=$1 expected=${2:-} values entries
    values=$(wine reg query 'HKLM\SOFTWARE\Tolvane\WriteRecords' 2>/dev/null | grep -c REG_BINARY || true)
    entries=${expected:-$(find "$root/tree/Documents" "$root/tree/$nonascii" ! -type l | wc -l)}
    check "wine: $entries records in the registry (found $values)" [ "$values" -eq "$entries" ]
}

# No display, no Mono or Gecko prompts, no debug chatter. Creating the prefix
# prints notes of its own; they are shown only if it fails.
make_prefix() {
    if ! timeout 300 wine wineboot --init </dev/null >"$work/wineboot.log" 2>&1; then
        cat "$work/wineboot.log" >&2
        echo "FAILED: could not create a Wine prefix" >&2
        exit 1
    fi
}

main() {
    local started=$SECONDS
    if ! command -v wine >/dev/null 2>&1; then
        echo "skipped: wine not installed (scripts/check-windows-wine.sh installs it)"
        exit 0
    fi
    make_prefix
    echo "Wine prefix created in $((SECONDS - started)) s"
    started=$SECONDS
    scenario wine
    scenario linux
    compare_logs
    echo "scenario run in $((SECONDS - started)) s"
    if [ "$failures" -ne 0 ]; then
        echo "FAILED: $failures checks of tolvane.exe under Wine" >&2
        exit 1
    fi
    echo "tolvane.exe under Wine: all checks passed"
}

main
