#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test: the normal build
# with one walk thread of plain calls and with four through io_uring, the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, the runs
# of the program under ThreadSanitizer with four walk threads, a compile of
# the Windows sources with MinGW-w64, tolvane.exe built and run under Wine,
# the round trip on real file systems and through Samba, and the Debian
# package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

bash scripts/build.sh build
# The whole suite must hold with the walk on one thread of plain calls and
# on several opening entries through io_uring.
(cd build && TOLVANE_THREADS=1 TOLVANE_IO_URING=0 ctest --output-on-failure -j2)
(cd build && TOLVANE_THREADS=4 ctest --output-on-failure -j2)

bash scripts/build.sh build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=ON
(cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j2)

# The threads of the walk meet only in the runs of the program. They take
# plain calls here: ThreadSanitizer cannot see the descriptors io_uring
# closes, so a number the kernel gives out again afterwards reads to it as
# one closed on one thread while another still uses it. Each ring belongs to
# one thread and shares nothing with the others.
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_TSAN=ON
(cd build-tsan && TOLVANE_THREADS=4 TOLVANE_IO_URING=0 TSAN_OPTIONS=halt_on_error=1 \
    ctest --output-on-failure -j2 -R '^(ProgramTest|HostileInput|HardeningTest)\.')

if [ -x scripts/check-windows-build.sh ]; then
    bash scripts/check-windows-build.sh
fi
bash scripts/check-windows-wine.sh

# tolvane.exe itself, its libraries cached outside the clone, run under Wine
# through the same steps as the Linux build.
bash scripts/build-windows.sh build-windows
bash tests/wine/tolvane-exe-e2e.sh build-windows/tolvane.exe build/tolvane

# The round trip on XFS, Btrfs, ext4 with 128-byte inodes and tmpfs, and
# through a Samba share written to by smbclient.
bash scripts/check-filesystems.sh build/tolvane
bash scripts/check-samba.sh build/tolvane

bash scripts/check-package.sh build
