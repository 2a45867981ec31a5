#!/usr/bin/env bash
# Builds expat, APR, APR-util, log4cxx and POCO as static x86_64-w64-mingw32
# libraries and installs them into one prefix.
#
#   build-libraries.sh ARCHIVE_DIR PATCH_DIR WORK_DIR PREFIX
#
# ARCHIVE_DIR holds the checked upstream archives, PATCH_DIR the project's
# patches to them (NAME-VERSION.patch, applied with -p1 inside the unpacked
# folder). Each library's output goes to WORK_DIR/NAME.log, shown only when
# it fails. scripts/build-windows.sh keys its cache on this file's contents:
# any change here rebuilds everything.
set -euo pipefail

archives=$1
patches=$2
work=$3
prefix=$4
toolchain=$(cd "$(dirname "$0")" && pwd)/toolchain-mingw64.cmake
jobs=$(nproc)

# Unpacks, patches, configures, builds and installs one library. Every step
# is tested here: the callers run in && chains, where set -e does not act.
build() {
    local name=$1
    shift
    local log="$work/$name.log"
    local started=$SECONDS
    if ! { tar -xJf "$archives/$name.tar.xz" -C "$work" &&
           { [ ! -f "$patches/$name.patch" ] ||
             patch -p1 -d "$work/$name" <"$patches/$name.patch"; } &&
           cmake -S "$work/$name" -B "$work/build-$name" \
               -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
               -DBUILD_SHARED_LIBS=OFF "$@" &&
           cmake --build "$work/build-$name" -j"$jobs" &&
           cmake --install "$work/build-$name"; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "FAILED: $name (full log: $log)" >&2
        return 1
    fi
    echo "built $name in $((SECONDS - started)) s"
}

build_expat() {
    build expat-2.6.4 -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF \
        -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF \
        -DEXPAT_BUILD_FUZZERS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF
}

# COM_NO_WINDOWS_H: APR defines __wtypes_h__ around accctrl.h to keep
# wtypes.h out, which MinGW's headers do not survive. IPv6 is off: its
# interface-name code builds with MSVC only (log4cxx's network appenders
# keep IPv4).
build_apr() {
    build apr-1.7.4 -DAPR_HAVE_IPV6=OFF -DINSTALL_PDB=OFF \
        -DCMAKE_C_FLAGS=-DCOM_NO_WINDOWS_H
}

build_apr_util() {
    build apr-util-1.6.3 -DAPR_INCLUDE_DIR="$prefix/include" \
        -DAPR_LIBRARIES="$prefix/lib/libapr-1.a" -DAPU_HAVE_CRYPTO=OFF \
        -DAPU_HAVE_ODBC=OFF -DAPR_HAS_LDAP=OFF -DINSTALL_PDB=OFF \
        -DCMAKE_C_FLAGS=-DCOM_NO_WINDOWS_H
}

# The config programs named here do not exist, so the build machine's
# apr-1-config and apu-1-config (Linux paths and libraries) are never asked.
# UTF-8 strings: with the default ("locale") a non-ASCII path is logged as '?'.
build_log4cxx() {
    build log4cxx-1.0.0 -DAPR_STATIC=ON -DAPU_STATIC=ON \
        -DAPR_CONFIG_EXECUTABLE=/nonexistent -DAPR_UTIL_CONFIG_EXECUTABLE=/nonexistent \
        -DLOG4CXX_CHARSET=utf-8 -DBUILD_TESTING=OFF -DLOG4CXX_INSTALL_PDB=OFF
}

# Foundation and Util only: Tolvane reads an INI file, so Util is built
# without its XML and JSON configurations.
build_poco() {
    build poco-1.11.8 -DENABLE_ENCODINGS=OFF -DENABLE_XML=OFF -DENABLE_JSON=OFF \
        -DENABLE_NET=OFF -DENABLE_MONGODB=OFF -DENABLE_REDIS=OFF -DENABLE_DATA_SQLITE=OFF \
        -DENABLE_ZIP=OFF -DENABLE_PAGECOMPILER=OFF -DENABLE_PAGECOMPILER_FILE2PAGE=OFF \
        -DENABLE_ACTIVERECORD=OFF -DENABLE_ACTIVERECORD_COMPILER=OFF -DENABLE_TESTS=OFF
}

# POCO needs none of the others, so it builds beside the expat-APR-log4cxx
# chain: their configure steps, which use one core, overlap.
mkdir -p "$work" "$prefix"
build_poco &
poco=$!
status=0
{ build_expat && build_apr && build_apr_util && build_log4cxx; } || status=1
wait "$poco" || status=1
exit "$status"
