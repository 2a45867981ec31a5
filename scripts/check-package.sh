#!/usr/bin/env bash
# Builds the Debian package from an already built tree (default: build),
# checks its contents, conffiles and dependencies and runs lintian on it,
# installs it with apt-get (no unit may come out enabled), runs the
# installed tolvane on the shipped example, runs a lock and an unlock
# exactly as the packaged unit does (its ExecStart=, under its capability
# set, every system call checked against its SystemCallFilter=), validates
# the installed systemd units, reads the lines of a run in /etc/tolvane back
# from a journal as the units' output reaches it (identifier and priority
# of each), validates the logrotate snippet and the man page, removes the
# package while a tree is locked (the removal must say so), installs it
# again to unlock, and purges it. Needs root, as apt-get, the ACL changes
# and the private journal's mounts do.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
# tolvane run as root refuses a working directory or configuration that
# anyone but root could write.
umask 022
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$source_dir/build}" && pwd)
installed_examples=/usr/share/doc/tolvane/examples
tolvane=/usr/sbin/tolvane
config_dir=/etc/tolvane
unit_dir=/lib/systemd/system
units="tolvane-lock.service tolvane-lock.timer tolvane-unlock.service tolvane-unlock.timer tolvane-failed@.service"
conffiles="/etc/logrotate.d/tolvane $config_dir/LogTolvane.xml $config_dir/Tolvane.ini"
work_dir=$(mktemp -d)
installed_by_us=false

fail() {
    echo "check-package: $*" >&2
    exit 1
}

# Runs a command with its output kept aside, shown only if it fails.
quietly() {
    "$@" >"$work_dir/output" 2>&1 || { cat "$work_dir/output" >&2; fail "failed: $*"; }
}

cleanup() {
    if $installed_by_us; then
        apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=120 tolvane >/dev/null
    fi
    rm -rf "$work_dir"
}
trap cleanup EXIT

is_installed() {
    dpkg-query -W -f='${Status}' tolvane 2>/dev/null | grep -q 'ok installed'
}

build_package() {
    [ -f "$build_dir/CPackConfig.cmake" ] || fail "$build_dir is not a configured build"
    rm -f "$build_dir"/tolvane_*.deb
    (cd "$build_dir" && quietly cpack -G DEB)
    local packages=("$build_dir"/tolvane_*_"$(dpkg --print-architecture)".deb)
    [ ${#packages[@]} -eq 1 ] && [ -f "${packages[0]}" ] || fail "cpack made no single tolvane_*.deb"
    # A folder that _apt can read, so that apt-get need not fall back to
    # reading the file as root.
    chmod 755 "$work_dir"
    cp "${packages[0]}" "$work_dir/"
    package=$work_dir/$(basename "${packages[0]}")
}

# The mode and owner column of a path in the package's listing.
listed_mode() {
    awk -v path=".$2" '$6 == path || $6 == path "/" { print $1, $2 }' <<<"$1"
}

check_contents() {
    local listing expected
    listing=$(dpkg-deb -c "$package")
    local paths
    paths=$(awk '{ sub("/$", "", $6); print $6 }' <<<"$listing")
    for expected in $tolvane /usr/share/man/man8/tolvane.8.gz \
        /usr/share/doc/tolvane/copyright /usr/share/doc/tolvane/changelog.gz \
        $conffiles $installed_examples/Tolvane.ini \
        $installed_examples/LogTolvane.xml $installed_examples/LogTolvane-file.xml; do
        grep -Fxq ".$expected" <<<"$paths" || fail "package lacks $expected"
    done
    for expected in $units; do
        grep -Fxq ".$unit_dir/$expected" <<<"$paths" || fail "package lacks $unit_dir/$expected"
    done
    [ "$(listed_mode "$listing" $tolvane)" = "-rwxr-xr-x root/root" ] \
        || fail "$tolvane is not an executable owned by root"
    # tolvane refuses a working directory or configuration anyone but root
    # could write.
    [ "$(listed_mode "$listing" $config_dir)" = "drwxr-xr-x root/root" ] \
        || fail "$config_dir is not root's folder, writable by root only"
    for expected in $conffiles; do
        [ "$(listed_mode "$listing" "$expected")" = "-rw-r--r-- root/root" ] \
            || fail "$expected is not root's file, writable by root only"
    done
    local path
    while read -r path; do
        case $path in
        . | ./etc | ./lib | ./lib/systemd | ./usr | ./usr/* | ./etc/logrotate.d \
            | ./etc/logrotate.d/tolvane | ".$config_dir" | ".$config_dir"/* | ".$unit_dir" \
            | ".$unit_dir"/tolvane*) ;;
        *) fail "package installs $path, outside /usr, $unit_dir, $config_dir and logrotate.d" ;;
        esac
    done <<<"$paths"
    # Every file in /etc is a conffile, and the conffiles are those.
    [ "$(dpkg-deb --ctrl-tarfile "$package" | tar -xO ./conffiles | sort)" \
        = "$(tr ' ' '\n' <<<"$conffiles" | sort)" ] \
        || fail "DEBIAN/conffiles does not list exactly $conffiles"
    [ "$(awk '$1 ~ /^-/ && $6 ~ "^./etc/" { print substr($6, 2) }' <<<"$listing" | sort)" \
        = "$(tr ' ' '\n' <<<"$conffiles" | sort)" ] \
        || fail "the package has files in /etc that are not conffiles"
}

# Errors and warnings fail the check; the rest is shown. Lintian's remark
# that it runs as root is not about the package.
check_lintian() {
    local output
    output=$(lintian --fail-on error,warning "$package" 2>&1) \
        || fail "lintian reports errors or warnings: $output"
    output=$(grep -v '^running with root privileges' <<<"$output" || true)
    [ -z "$output" ] || echo "lintian: $output"
}

check_control() {
    local depends field
    depends=$(dpkg-deb -f "$package" Depends)
    for field in liblog4cxx libpocofoundation libpocoutil libacl libsqlite3 libexpat libc6 libstdc++; do
        grep -q "$field" <<<"$depends" || fail "Depends lacks $field: $depends"
    done
    for field in Maintainer Section Description; do
        [ -n "$(dpkg-deb -f "$package" "$field")" ] || fail "control field $field is empty"
    done
}

# The units and their enabling links, drop-ins and masks in /etc.
local_units() {
    find /etc/systemd/system -name 'tolvane*' 2>/dev/null | sort
}

install_package() {
    ! is_installed || fail "tolvane is already installed; remove it before running this check"
    local before
    before=$(local_units)
    installed_by_us=true
    quietly apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=120 "$package"
    is_installed || fail "apt-get did not install the package"
    [ "$(local_units)" = "$before" ] || fail "installing enabled or changed units: $(local_units)"
}

# Runs a command that ends in tolvane, its log (standard error, with the
# packaged LogTolvane.xml) appended to tolvane.log. Another instance anywhere
# on the machine (a test run, say) makes tolvane refuse with 250 without
# doing anything; that is waited out, as the units do, not a failure.
run_tolvane() {
    local status
    for _ in $(seq 30); do
        "$@" >/dev/null 2>>tolvane.log && status=0 || status=$?
        [ "$status" -ne 250 ] && break
        sleep 1
    done
    [ "$status" -eq 1 ] || { cat tolvane.log >&2 || true; fail "$* exited with $status, not 1"; }
}

# Prints the ACL entries below the given folders that grant write.
writable_entries() {
    getfacl -R -p "$@" 2>/dev/null | cut -d'#' -f1 | awk -F: 'NF >= 3 && $NF ~ /w/'
}

# A log with no failure in it; a refusal met by run_tolvane (status 250) is
# logged as an error too.
check_log() {
    grep -q '^<6>DEBUG .*ReturnCode = 1 ' tolvane.log \
        || { cat tolvane.log >&2; fail "tolvane.log holds no success line at priority 6"; }
    ! grep '^<[0-3]>' tolvane.log | grep -qv 'ReturnCode = -6 ' \
        || { cat tolvane.log >&2; fail "tolvane.log reports failures"; }
}

run_example() {
    mkdir -p "$work_dir/run/example-tree/Documents/2026" "$work_dir/run/example-tree/Shared"
    cp "$installed_examples/Tolvane.ini" "$config_dir/LogTolvane.xml" "$work_dir/run/"
    cd "$work_dir/run"
    echo "figures" >example-tree/Documents/report.txt
    echo "minutes" >example-tree/Documents/2026/minutes.txt
    echo "notes" >example-tree/Shared/notes.txt
    chmod -R g+w example-tree
    setfacl -m u:nobody:rw example-tree/Shared/notes.txt
    setfacl -d -m g::rwx example-tree/Shared

    local folders="example-tree/Documents example-tree/Shared"
    [ -n "$(writable_entries $folders)" ] || fail "the example tree grants no write to take away"
    run_tolvane $tolvane -lock
    [ -z "$(writable_entries $folders)" ] \
        || fail "entries still grant write after -lock: $(writable_entries $folders)"
    run_tolvane $tolvane -unlock
    getfacl -p example-tree/Shared/notes.txt | grep -q '^user:nobody:rw-$' \
        || fail "-unlock did not give the write right back"
    check_log
    cd "$source_dir"
}

# The value of a unit setting, every line of it joined, from the lock unit;
# the unlock unit must say the same.
unit_setting() {
    local lock unlock
    lock=$(sed -n "s/^$1=//p" "$unit_dir/tolvane-lock.service" | paste -sd' ')
    unlock=$(sed -n "s/^$1=//p" "$unit_dir/tolvane-unlock.service" | paste -sd' ')
    [ "${unlock//-unlock/-lock}" = "$lock" ] || fail "the units differ in $1="
    echo "$lock"
}

# The system calls that SystemCallFilter= items stand for, groups expanded.
expand_syscalls() {
    local item
    for item in "$@"; do
        if [[ $item == @* ]]; then
            expand_syscalls $(systemd-analyze syscall-filter "$item" | awk '/^    [^#]/ { print $1 }')
        else
            echo "$item"
        fi
    done
}

allowed_syscalls() {
    local item allowed=() denied=()
    for item in $(unit_setting SystemCallFilter); do
        if [[ $item == ~* ]]; then denied+=("${item#\~}"); else allowed+=("$item"); fi
    done
    [ ${#allowed[@]} -gt 0 ] || fail "the unit's SystemCallFilter= allows no list"
    expand_syscalls "${allowed[@]}" | sort -u \
        | grep -vxF -f <(expand_syscalls "${denied[@]}" /dev/null | sort -u)
}

# The unit's command as root with only the capabilities its
# CapabilityBoundingSet= leaves (bounding, inheritable, and so permitted and
# effective), no new privileges, traced; then every system call made must be
# one its SystemCallFilter= allows.
run_as_unit() {
    local caps command trace=$work_dir/trace unexpected
    caps=$(unit_setting CapabilityBoundingSet | tr ' ' '\n' | sed -n 's/^CAP_\(.*\)/+\L\1/p' | paste -sd,)
    [ -n "$caps" ] || fail "the unit sets no CapabilityBoundingSet="
    command=$(unit_setting ExecStart)
    [ "$1" = -lock ] || command=${command//-lock/$1}
    run_tolvane setpriv --bounding-set=-all,"$caps" --inh-caps=-all,"$caps" --no-new-privs \
        strace -f -qq -o "$trace" $command
    unexpected=$(sed -nE 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$trace" | sort -u \
        | grep -vxF -f <(allowed_syscalls) || true)
    [ -z "$unexpected" ] || fail "$command makes system calls SystemCallFilter= refuses:" $unexpected
    # Where the kernel allows io_uring, the unit's walk takes it.
    [ "$(cat /proc/sys/kernel/io_uring_disabled 2>/dev/null || echo 0)" != 0 ] \
        || grep -qE '^[0-9]+ +io_uring_enter\(' "$trace" \
        || fail "$command makes no io_uring call where the kernel allows it"
}

# Walking a folder only its owner may enter, rewriting ACLs of files root
# does not own, keeping their set-group-ID bit and writing the records all
# need one of the unit's capabilities: the round trip must still give back
# every ACL as it was, and nothing may be writable while locked.
run_with_unit_capabilities() {
    local run=$work_dir/unit-run
    mkdir -p "$run/tree/private/deep" "$run/tree/setgid"
    cp "$config_dir/LogTolvane.xml" "$run/"
    printf '[FOLDER]\nNB_FOLDER=1\nFOLDER_1=tree\n' >"$run/Tolvane.ini"
    cd "$run"
    echo "secret" >tree/private/deep/secret.txt
    echo "form" >tree/setgid/form.txt
    chown -R nobody:nogroup tree/private tree/setgid
    chmod 0700 tree/private tree/private/deep
    chmod 0600 tree/private/deep/secret.txt
    chmod 2775 tree/setgid
    chmod 2770 tree/setgid/form.txt
    setfacl -m u:daemon:rwx tree/private/deep tree/setgid/form.txt
    setfacl -d -m g:adm:rwx tree/setgid
    getfacl -Rpn tree >acls-before.txt

    run_as_unit -lock
    [ -z "$(writable_entries tree)" ] || fail "entries still grant write after -lock: $(writable_entries tree)"
    run_as_unit -unlock
    getfacl -Rpn tree | diff acls-before.txt - >&2 \
        || fail "the round trip under the unit's capabilities changed ACLs"
    check_log
    cd "$source_dir"
}

# verify exits 0 on some warnings (an unknown key, for one), so any output
# is a failure too. It does not check that a timer's unit exists.
check_units() {
    local output unit files=()
    for unit in $units; do
        files+=("$unit_dir/$unit")
    done
    output=$(systemd-analyze verify "${files[@]}" 2>&1) \
        || fail "systemd-analyze verify failed: $output"
    [ -z "$output" ] || fail "systemd-analyze verify warned: $output"
    for unit in tolvane-lock tolvane-unlock; do
        grep -qx "Unit=$unit.service" "$unit_dir/$unit.timer" \
            || fail "$unit.timer does not start $unit.service"
    done
    # The journal tags a line with the name of the program that wrote it.
    [[ $(unit_setting ExecStart) == "$tolvane "* ]] || fail "ExecStart= does not run $tolvane itself"
    [ -n "$(unit_setting TimeoutStartSec)" ] || fail "the units set no TimeoutStartSec="
    grep -qx 'After=tolvane-lock.service' "$unit_dir/tolvane-unlock.service" \
        || fail "an unlock does not wait for a running lock"
    systemd-analyze security --offline=yes "$unit_dir/tolvane-lock.service" 2>&1 \
        | grep 'Overall exposure'
}

# A journald of its own, in the private mount namespace this runs in (tmpfs
# over its sockets and journal folders), reads the lines of the command as
# it reads a unit's: standard output and error on one stream, with the
# unit's SyslogIdentifier= and SyslogLevel=, and "<N>" prefixes read.
# Prints each line the identifier tagged as "priority: text".
journal_of() {
    local identifier=$1 level=$2 journald priority
    shift 2
    mount -t tmpfs tmpfs /run/systemd && mkdir -p /run/systemd/journal /run/log \
        && mount -t tmpfs tmpfs /run/log && mount -t tmpfs tmpfs /var/log || return 1
    /lib/systemd/systemd-journald &
    journald=$!
    for _ in $(seq 100); do
        [ -S /run/systemd/journal/stdout ] && break
        sleep 0.1
    done
    systemd-cat --identifier="$identifier" --priority="$level" --level-prefix=true "$@" || true
    journalctl --sync
    for priority in emerg alert crit err warning notice info debug; do
        journalctl --quiet --identifier="$identifier" --priority="$priority..$priority" --output=cat \
            | sed "s/^/$priority: /"
    done
    kill "$journald"
    wait "$journald" || true
}

# A run in /etc/tolvane as installed, its folder list still empty, passes
# tolvane's checks of its inputs and logs a failure at err and its progress
# at info; a refusal to start (a working directory others could write),
# which the program writes without a prefix, comes out at err too.
check_journal() {
    local refused=$work_dir/refused journal
    # As run_tolvane does, in sh.
    local waiting_out_others="for _ in \$(seq 30); do $tolvane -lock; [ \$? -ne 250 ] && break; sleep 1; done"
    mkdir -p "$refused"
    cp "$config_dir/Tolvane.ini" "$config_dir/LogTolvane.xml" "$refused/"
    chmod 0777 "$refused"
    export -f journal_of
    journal=$(unshare --mount --propagation private bash -c 'journal_of "$@"' _ \
        "$(unit_setting SyslogIdentifier)" "$(unit_setting SyslogLevel)" \
        sh -c "cd $config_dir && $waiting_out_others; cd $refused && $tolvane -lock")
    grep -q '^info: DEBUG .*Tolvane Application is running' <<<"$journal" \
        && grep -q '^err: ERROR .*ReturnCode = -2 : Empty Folder list$' <<<"$journal" \
        && grep -q '^err: .*Refusing to run: the working directory' <<<"$journal" \
        || fail "the journal has not the lines at their priorities: $journal"
    [ "$(grep -c 'Refusing to run' <<<"$journal")" -eq 1 ] \
        || fail "tolvane refuses the inputs in $config_dir: $journal"
}

check_logrotate() {
    quietly logrotate --debug /etc/logrotate.d/tolvane
}

check_man_page() {
    [ "$(man -w tolvane)" = /usr/share/man/man8/tolvane.8.gz ] || fail "man tolvane finds no page"
    local warnings
    warnings=$(man --warnings tolvane 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the man page renders with warnings: $warnings"
}

# Removing the package leaves a locked tree locked, and says so on standard
# error; installed again, it keeps the edited Tolvane.ini and unlocks the
# tree.
check_removal_of_locked() {
    local tree=$work_dir/locked-tree output
    mkdir -p "$tree/folder"
    echo "draft" >"$tree/folder/draft.txt"
    setfacl -m u:nobody:rwx "$tree/folder"
    getfacl -Rpn "$tree" >"$work_dir/acls-unlocked.txt"
    printf '[FOLDER]\nNB_FOLDER=1\nFOLDER_1=%s\n' "$tree" >"$config_dir/Tolvane.ini"
    cd "$work_dir"
    run_tolvane env --chdir=$config_dir $tolvane -lock
    # apt-get runs dpkg on a terminal of its own, whose lines end in CR LF.
    output=$(apt-get remove -y -qq -o DPkg::Lock::Timeout=120 tolvane 2>&1 | tr -d '\r') \
        || fail "apt-get remove failed: $output"
    grep -q "^tolvane: removing tolvane gives no write right back" <<<"$output" \
        && grep -Fxq "tolvane:   $tree" <<<"$output" \
        || fail "removing the package did not say that $tree is locked: $output"
    quietly apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=120 "$package"
    grep -q "^FOLDER_1=$tree\$" "$config_dir/Tolvane.ini" || fail "installing again lost Tolvane.ini"
    run_tolvane env --chdir=$config_dir $tolvane -unlock
    getfacl -Rpn "$tree" | diff "$work_dir/acls-unlocked.txt" - >&2 \
        || fail "-unlock after installing again did not give back what -lock took"
    cd "$source_dir"
}

# Nothing is locked now, so a purge says nothing and leaves nothing of the
# package behind.
remove_package() {
    local output
    output=$(apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=120 tolvane 2>&1 | tr -d '\r') \
        || fail "apt-get purge failed: $output"
    installed_by_us=false
    ! grep -q '^tolvane:' <<<"$output" || fail "the purge warned with nothing locked: $output"
    ! is_installed && [ ! -e $tolvane ] && [ ! -e /etc/logrotate.d/tolvane ] \
        && [ ! -e $config_dir ] && [ ! -e /var/lib/tolvane ] \
        || fail "the package was not purged"
}

build_package
check_contents
check_control
check_lintian
install_package
run_example
run_with_unit_capabilities
check_units
check_journal
check_logrotate
check_man_page
check_removal_of_locked
remove_package
echo "package ok: $(basename "$package")"
