#!/usr/bin/env bash
# Cross-builds tolvane.exe for 64-bit Windows with MinGW-w64 and packs it
# with its example files into a zip.
#
#   scripts/build-windows.sh [BUILD_DIR]        (default: build-windows)
#   scripts/build-windows.sh --cached-libraries (prints the prefix of the
#                                                libraries when built, else
#                                                nothing; builds nothing)
#
# The libraries it needs (expat, APR, APR-util, log4cxx, POCO) are built
# from the upstream archives in third_party/ (another folder with
# TOLVANE_THIRD_PARTY), after checking them against their SHA256SUMS, with
# the patches in cmake/windows/patches. They go to a cache
# outside the clone, one folder per hash of everything that shapes them:
# the archives' checksums, the patches, the toolchain file, the recipe
# (cmake/windows/build-libraries.sh) and the compiler and CMake versions.
# The cache is /var/cache/tolvane-windows, or TOLVANE_WINDOWS_CACHE, or
# ~/.cache/tolvane-windows where /var/cache cannot be written. A first run
# takes about ten minutes on two cores; a run with the cache filled, seconds.
#
# Gives BUILD_DIR/tolvane.exe (stripped) and
# BUILD_DIR/tolvane-VERSION-windows-x64.zip, which also holds Tolvane's
# LICENSE.txt and, in licenses/, the licence files and notices of the
# libraries linked into tolvane.exe, taken from their archives.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mode=build
if [ "${1:-}" = --cached-libraries ]; then mode=print; shift; fi
build=$(realpath -m "${1:-$root/build-windows}")
third_party=${TOLVANE_THIRD_PARTY:-$root/third_party}
windows=$root/cmake/windows
mingw=x86_64-w64-mingw32

# The DLLs every Windows installation has; tolvane.exe may import these only.
system_dlls='^(advapi32|kernel32|msvcrt|ws2_32|mswsock|rpcrt4|user32|shell32|ole32)\.dll$'
# System DLLs that are not KnownDLLs, so that Windows looks for them in the
# program's folder first: tolvane.exe may only delay-load these.
delayed_dlls='^iphlpapi\.dll$'
delay_descriptor_size=32

check_archives() {
    (cd "$third_party" && sha256sum --quiet -c SHA256SUMS) || {
        echo "FAILED: the archives in $third_party do not match SHA256SUMS" >&2
        return 1
    }
}

cache_root() {
    if [ -n "${TOLVANE_WINDOWS_CACHE:-}" ]; then
        echo "$TOLVANE_WINDOWS_CACHE"
    elif mkdir -p /var/cache/tolvane-windows 2>/dev/null && [ -w /var/cache/tolvane-windows ]; then
        echo /var/cache/tolvane-windows
    else
        echo "${XDG_CACHE_HOME:-$HOME/.cache}/tolvane-windows"
    fi
}

# Everything the libraries are made from, hashed; file names are part of
# it, so a renamed patch counts as a change.
cache_key() {
    {
        cat "$third_party/SHA256SUMS"
        (cd "$windows" && sha256sum toolchain-mingw64.cmake build-libraries.sh patches/*.patch)
        "$mingw-g++-posix" --version | head -n 1
        "$mingw-gcc-posix" --version | head -n 1
        cmake --version | head -n 1
    } | sha256sum | cut -c1-16
}

# The libraries' CMake packages name their files by absolute path, so they
# are built in place; a prefix counts only once it holds the stamp written
# last, and a run that finds one without it starts again. The lock keeps two
# runs on one machine from building the same prefix at once.
libraries_in() {
    local prefix=$1
    exec 9>"$prefix.lock"
    flock 9
    if [ -f "$prefix/.complete" ]; then
        echo "libraries: cached in $prefix"
    else
        echo "libraries: building into $prefix"
        rm -rf "$prefix" "$prefix.work"
        bash "$windows/build-libraries.sh" "$third_party" "$windows/patches" \
            "$prefix.work" "$prefix"
        rm -rf "$prefix.work"
        touch "$prefix/.complete"
    fi
    exec 9>&-
}

build_program() {
    local prefix=$1
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$windows/toolchain-mingw64.cmake" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release -DTOLVANE_TESTS=OFF >/dev/null
    cmake --build "$build" --target tolvane -j"$(nproc)"
    "$mingw-strip" "$build/tolvane.exe"
}

# A console program would open a window when a scheduled task starts it.
check_subsystem() {
    local headers
    headers=$("$mingw-objdump" -p "$build/tolvane.exe")
    grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || {
        echo "FAILED: tolvane.exe is not a Windows GUI program" >&2
        return 1
    }
}

# The offset in tolvane.exe of the byte the image holds at ADDRESS.
file_offset() {
    local address=$1 size vma offset
    while read -r _ _ size vma _ offset _; do
        if ((address >= 16#$vma && address < 16#$vma + 16#$size)); then
            echo $((16#$offset + address - 16#$vma))
            return
        fi
    done < <("$mingw-objdump" -h "$build/tolvane.exe" | grep -E '^ +[0-9]+ ')
    echo "FAILED: tolvane.exe holds no byte at $address" >&2
    return 1
}

# The DLLs named in the delay-import directory, read from the file: objdump
# shows only where the directory is. It must end with a zero descriptor.
delay_imports() {
    local headers=$1 exe=$build/tolvane.exe base rva size entry offset name_rva
    base=$((16#$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")))
    read -r rva size < <(awk '/Delay Import Directory/ { print $3, $4 }' <<<"$headers")
    ((16#$size > 0)) || return 0
    for ((entry = 16#$rva; entry < 16#$rva + 16#$size - delay_descriptor_size;
          entry += delay_descriptor_size)); do
        offset=$(file_offset $((base + entry + 4))) || return 1
        name_rva=$(od -An -tu4 -j "$offset" -N 4 "$exe" | tr -d ' ')
        offset=$(file_offset $((base + name_rva))) || return 1
        dd if="$exe" bs=1 skip="$offset" count=256 status=none | tr '\0A-Z' '\na-z' | sed -n 1p
    done
    offset=$(file_offset $((base + entry))) || return 1
    if od -An -tx1 -j "$offset" -N "$delay_descriptor_size" "$exe" | grep -q '[1-9a-f]'; then
        echo "FAILED: the delay-import directory of tolvane.exe has no zero descriptor at its end" >&2
        return 1
    fi
}

check_imports() {
    local headers dlls delayed early foreign
    headers=$("$mingw-objdump" -p "$build/tolvane.exe")
    dlls=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers")
    delayed=$(delay_imports "$headers")
    early=$(printf '%s\n' "$dlls" | grep -E "$delayed_dlls" || true)
    if [ -n "$early" ]; then
        echo "FAILED: tolvane.exe imports" $early "at start; it may only delay-load it" >&2
        return 1
    fi
    foreign=$(printf '%s\n' "$dlls" | grep -Ev "$system_dlls" || true)
    if [ -n "$foreign" ]; then
        echo "FAILED: tolvane.exe needs DLLs that Windows does not have:" $foreign >&2
        return 1
    fi
    foreign=$(printf '%s\n' "$delayed" | grep -Ev "$delayed_dlls" | grep . || true)
    if [ -n "$foreign" ]; then
        echo "FAILED: tolvane.exe delay-loads DLLs it should not:" $foreign >&2
        return 1
    fi
    echo "tolvane.exe imports only" $dlls "and delay-loads" ${delayed:-nothing}
}

with_windows_line_ends() {
    sed 's/\r*$/\r/'
}

# tolvane.exe holds every library statically, so their licences travel with
# it: each archive's top-level LICENSE, NOTICE and COPYING files.
add_notices() {
    local stage=$1 archive name file found
    with_windows_line_ends <"$root/LICENSE" >"$stage/LICENSE.txt"
    mkdir -p "$stage/licenses"
    for archive in "$third_party"/*.tar.xz; do
        name=$(basename "$archive" .tar.xz)
        found=false
        for file in $(tar -tJf "$archive" | grep -E "^$name/(LICENSE|NOTICE|COPYING)$"); do
            tar -xJOf "$archive" "$file" | with_windows_line_ends \
                >"$stage/licenses/$name-$(basename "$file").txt"
            found=true
        done
        $found || { echo "FAILED: $archive holds no licence file" >&2; return 1; }
    done
}

# Text files get Windows line ends. The files carry the time of the last
# commit rather than of the build, which says nothing about the sources.
make_zip() {
    local version stage zip stamp
    version=$(sed -n 's/^project(Tolvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
    stage=$build/zip
    zip=$build/tolvane-$version-windows-x64.zip
    stamp=$(git -C "$root" log -1 --format=%cd --date=format:'%Y-%m-%d %H:%M:%S' 2>/dev/null ||
            echo '2000-01-01 00:00:00')
    rm -rf "$stage" "$zip"
    mkdir -p "$stage"
    cp "$build/tolvane.exe" "$stage/"
    for text in "$root"/examples/windows/*; do
        with_windows_line_ends <"$text" >"$stage/$(basename "$text")"
    done
    add_notices "$stage"
    (cd "$stage" && cmake -E tar cf "$zip" --format=zip --mtime="$stamp" -- *)
    echo "$zip"
}

print_cached_libraries() {
    local prefix
    prefix=$(cache_root)/$(cache_key)
    if [ -f "$prefix/.complete" ]; then echo "$prefix"; fi
}

main() {
    local started=$SECONDS prefix
    check_archives
    prefix=$(cache_root)/$(cache_key)
    mkdir -p "$(dirname "$prefix")"
    libraries_in "$prefix"
    build_program "$prefix"
    check_subsystem
    check_imports
    make_zip
    echo "Windows build done in $((SECONDS - started)) s"
}

if [ "$mode" = print ]; then print_cached_libraries; else main; fi
