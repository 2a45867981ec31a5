#!/usr/bin/env bash
# Builds the Debian package from an already built tree (default: build),
# checks its contents and dependencies, installs it with apt-get, runs the
# installed tolvane on the shipped example, validates the shipped systemd
# units and the man page, and removes the package again. Needs root, as
# apt-get and the ACL changes do.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$source_dir/build}" && pwd)
installed_examples=/usr/share/doc/tolvane/examples
units="tolvane-lock.service tolvane-lock.timer tolvane-unlock.service tolvane-unlock.timer"
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

check_contents() {
    local listing expected
    listing=$(dpkg-deb -c "$package")
    local paths
    paths=$(awk '{ print $6 }' <<<"$listing")
    for expected in /usr/bin/tolvane /usr/share/man/man1/tolvane.1.gz \
        $installed_examples/Tolvane.ini $installed_examples/LogTolvane.xml; do
        grep -Fxq ".$expected" <<<"$paths" || fail "package lacks $expected"
    done
    for expected in $units; do
        grep -Fxq ".$installed_examples/$expected" <<<"$paths" || fail "package lacks $expected"
    done
    grep -q '^-rwxr-xr-x root/root .* \./usr/bin/tolvane$' <<<"$listing" \
        || fail "usr/bin/tolvane is not an executable owned by root"
    ! grep -vq '^\./usr/' <<<"$paths" || fail "package installs outside /usr"
}

check_control() {
    local depends field
    depends=$(dpkg-deb -f "$package" Depends)
    for field in liblog4cxx libpocofoundation libpocoutil libacl liburing libc6 libstdc++; do
        grep -q "$field" <<<"$depends" || fail "Depends lacks $field: $depends"
    done
    for field in Maintainer Section Description; do
        [ -n "$(dpkg-deb -f "$package" "$field")" ] || fail "control field $field is empty"
    done
}

install_package() {
    ! is_installed || fail "tolvane is already installed; remove it before running this check"
    installed_by_us=true
    quietly apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=120 "$package"
    is_installed || fail "apt-get did not install the package"
}

# Another instance anywhere on the machine (a test run, say) makes tolvane
# refuse with 250 without doing anything; that is waited out, not a failure.
run_tolvane() {
    local status
    for _ in 1 2 3 4 5; do
        /usr/bin/tolvane "$1" >/dev/null 2>&1 && status=0 || status=$?
        [ "$status" -ne 250 ] && break
        sleep 1
    done
    [ "$status" -eq 1 ] || { cat tolvane.log >&2 || true; fail "tolvane $1 exited with $status, not 1"; }
}

# Prints the ACL entries of the example tree that grant write.
writable_entries() {
    getfacl -R -p example-tree/Documents example-tree/Shared 2>/dev/null \
        | cut -d'#' -f1 | awk -F: 'NF >= 3 && $NF ~ /w/'
}

run_example() {
    mkdir -p "$work_dir/run/example-tree/Documents/2026" "$work_dir/run/example-tree/Shared"
    cp "$installed_examples/Tolvane.ini" "$installed_examples/LogTolvane.xml" "$work_dir/run/"
    cd "$work_dir/run"
    echo "figures" >example-tree/Documents/report.txt
    echo "minutes" >example-tree/Documents/2026/minutes.txt
    echo "notes" >example-tree/Shared/notes.txt
    chmod -R g+w example-tree
    setfacl -m u:nobody:rw example-tree/Shared/notes.txt
    setfacl -d -m g::rwx example-tree/Shared

    [ -n "$(writable_entries)" ] || fail "the example tree grants no write to take away"
    run_tolvane -lock
    [ -z "$(writable_entries)" ] || fail "entries still grant write after -lock: $(writable_entries)"
    run_tolvane -unlock
    getfacl -p example-tree/Shared/notes.txt | grep -q '^user:nobody:rw-$' \
        || fail "-unlock did not give the write right back"
    grep -q 'ReturnCode = 1' tolvane.log || fail "tolvane.log holds no success line"
    # A refusal met by run_tolvane (status 250) is logged as an error too.
    ! grep 'ERROR\|FATAL' tolvane.log | grep -qv 'ReturnCode = -6 ' \
        || { cat tolvane.log >&2; fail "tolvane.log reports failures"; }
    cd "$source_dir"
}

# verify exits 0 on some warnings (an unknown key, for one), so any output
# is a failure too. It does not check that a timer's unit exists.
check_units() {
    local output unit files=()
    for unit in $units; do
        files+=("$installed_examples/$unit")
    done
    output=$(systemd-analyze verify "${files[@]}" 2>&1) \
        || fail "systemd-analyze verify failed: $output"
    [ -z "$output" ] || fail "systemd-analyze verify warned: $output"
    for unit in tolvane-lock tolvane-unlock; do
        grep -qx "Unit=$unit.service" "$installed_examples/$unit.timer" \
            || fail "$unit.timer does not start $unit.service"
    done
}

check_man_page() {
    [ "$(man -w tolvane)" = /usr/share/man/man1/tolvane.1.gz ] || fail "man tolvane finds no page"
    local warnings
    warnings=$(man --warnings tolvane 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the man page renders with warnings: $warnings"
}

remove_package() {
    quietly apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=120 tolvane
    installed_by_us=false
    ! is_installed && [ ! -e /usr/bin/tolvane ] || fail "the package was not removed"
}

build_package
check_contents
check_control
install_package
run_example
check_units
check_man_page
remove_package
echo "package ok: $(basename "$package")"
