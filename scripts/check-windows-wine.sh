#!/bin/sh
# Runs the Windows security layer for real: cross-compiles the test program in
# tests/wine/ with MinGW-w64 (statically, so Wine needs no MinGW DLLs) and
# runs it under Wine in a throwaway prefix. Wine is installed from Debian's
# packages when missing; where it cannot be installed the check is skipped
# and says so, since the rest of the suite does not need it.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
compiler=x86_64-w64-mingw32-g++-posix
work=$(mktemp -d)

# The prefix's wineserver lingers after the program ends; it is stopped
# before its prefix is removed.
cleanup() {
    if [ -d "$work/prefix" ] && command -v wineserver >/dev/null 2>&1; then
        WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

wine_present() {
    command -v wine >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]
}

wine_candidate() {
    apt-cache policy wine64 2>/dev/null | awk '/Candidate:/ { print $2 }'
}

install_wine() {
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    candidate=$(wine_candidate)
    [ -n "$candidate" ] && [ "$candidate" != "(none)" ] || return 1
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=300 install \
        -y -qq --no-install-recommends wine wine64 >/dev/null 2>&1
}

started=$(date +%s)
if ! wine_present; then
    if ! install_wine || ! wine_present; then
        echo "skipped: wine not installable"
        exit 0
    fi
    echo "wine installed in $(($(date +%s) - started)) s"
fi

started=$(date +%s)
# The Windows security model and backend as CMake lists them, the walk's
# Windows half that opens and lists folders, and the check of the run's
# inputs built on them.
winsec_sources="$(cmake -DPLATFORM=WIN32 -DLAYERS='winsec;win32' -P "$root/cmake/Layers.cmake") $root/src/walk/OpenFolder_WIN32.cpp $root/src/app/InputTrust_WIN32.cpp"
# shellcheck disable=SC2086
"$compiler" -std=c++17 -Wall -Wextra -Werror -static -I "$root/src" \
    "$root/tests/wine/WindowsBackend_wine.cpp" $winsec_sources \
    -ladvapi32 -o "$work/WindowsBackend_wine.exe"
echo "cross-compiled in $(($(date +%s) - started)) s"

# No display, no Mono or Gecko prompts, no debug chatter; a hung Wine is
# killed rather than left to stall the run.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=""

# Creating the prefix prints notes of its own (a 64-bit-only Wine misses the
# 32-bit rundll32, which is harmless); they are shown only if it fails.
started=$(date +%s)
if ! timeout 300 wine wineboot --init </dev/null >"$work/wineboot.log" 2>&1; then
    cat "$work/wineboot.log" >&2
    echo "FAILED: could not create a Wine prefix" >&2
    exit 1
fi
echo "Wine prefix created in $(($(date +%s) - started)) s"

started=$(date +%s)
status=0
timeout 300 wine "$work/WindowsBackend_wine.exe" </dev/null || status=$?
echo "ran under Wine in $(($(date +%s) - started)) s"
if [ "$status" -ne 0 ]; then
    echo "FAILED: Windows backend under Wine (exit status $status)" >&2
    exit 1
fi
