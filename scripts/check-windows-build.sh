#!/bin/sh
# Compiles the Windows build's sources, as CMake lists them, with MinGW, so
# that a Windows-only file that no longer builds, or now warns, is caught on Linux. Object files go to
# a temporary directory and are thrown away; nothing is linked.
#
# Files that include log4cxx or POCO headers, directly or through a project
# header (the entry point does, through C_Logger.h), are compiled against the
# Windows libraries scripts/build-windows.sh keeps in its cache. Until that
# cache is filled they are skipped, each skip printed so that it does not
# pass unnoticed.
set -eu

compiler=x86_64-w64-mingw32-g++-posix
source_dir=$(cd "$(dirname "$0")/../src" && pwd)
object_dir=$(mktemp -d)
libraries=$(bash "$source_dir/../scripts/build-windows.sh" --cached-libraries 2>/dev/null || true)
include_libraries=""
[ -z "$libraries" ] || include_libraries="-isystem $libraries/include"
trap 'rm -rf "$object_dir"' EXIT INT TERM

# True if `source` reaches a log4cxx or POCO header. -MG lists the headers
# MinGW cannot find instead of stopping at the first one.
needs_unavailable_library() {
    [ -z "$libraries" ] || return 1
    dependencies=$("$compiler" -std=c++17 -I "$source_dir" -M -MG "$1" 2>/dev/null) || return 1
    printf '%s\n' "$dependencies" | tr ' \\' '\n\n' | grep -Eq '(^|/)(log4cxx|Poco)/'
}

status=0
# Every layer's Windows sources and the Windows entry point.
for source in $(cmake -DPLATFORM=WIN32 -P "$source_dir/../cmake/Layers.cmake") "$source_dir/app/EntryPoint_WIN32.cpp"; do
    [ -e "$source" ] || continue
    if needs_unavailable_library "$source"; then
        echo "skipped (needs log4cxx/POCO): ${source#"$source_dir"/}"
        continue
    fi
    object="$object_dir/$(basename "$source" .cpp).o"
    # shellcheck disable=SC2086
    if "$compiler" -std=c++17 -Wall -Wextra -Werror -c -I "$source_dir" $include_libraries \
        "$source" -o "$object"; then
        echo "ok: ${source#"$source_dir"/}"
    else
        echo "FAILED: ${source#"$source_dir"/}" >&2
        status=1
    fi
done
exit "$status"
