#!/usr/bin/env bash
# Fuzzes the in-memory ACL operations, the POSIX ACL <-> DACL mapping and the
# record of what -lock took with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, one target after the other, then minimises each
# target's committed corpus in fuzz/corpus/ to the inputs that still add
# coverage. Not part of the test suite (that only replays the corpus); it
# runs for minutes per target.
#
#   bash scripts/fuzz.sh [seconds per target, default 600] [target...]
#
# Targets: AclMemory PosixAclMapping WriteRecord (default: all three). Builds
# and logs go to $FUZZ_BUILD_DIR (default build-libfuzzer). Exits non-zero on
# a finding; the input that raised it is kept as
# $FUZZ_BUILD_DIR/<target>/finding-*.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -ne 0 ] || targets=(AclMemory PosixAclMapping WriteRecord)
build=${FUZZ_BUILD_DIR:-build-libfuzzer}

# The sources each target needs beyond its own file: only the pure code,
# nothing that touches files, logs or the rest of the program.
sources_of() {
    case "$1" in
        AclMemory) echo src/posixacl/AclMemory.cpp ;;
        PosixAclMapping) echo src/posixacl/PosixAcl.cpp src/posixacl/AclMemory.cpp ;;
        WriteRecord) echo src/winsec/WriteRecord.cpp ;;
        *) echo "unknown target: $1" >&2; return 1 ;;
    esac
}

# Debian ships libFuzzer's runtime in libclang-rt-<version>-dev, which the
# clang package does not always pull in.
install_clang() {
    if ! command -v clang++ >/dev/null; then
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y clang
    fi
    local version
    version=$(clang++ -dumpversion | cut -d. -f1)
    if ! ls "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a" \
            >/dev/null 2>&1; then
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y "libclang-rt-${version}-dev"
    fi
}

compile() {
    local target=$1
    # shellcheck disable=SC2046
    clang++ -std=c++17 -O1 -g -Wall -Wextra -fno-omit-frame-pointer \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -Isrc -Ifuzz "fuzz/${target}_fuzz.cpp" $(sources_of "$target") \
        -o "$build/$target/fuzzer"
}

# Runs from a working copy of the committed corpus, so that the inputs the
# run finds stay out of the tree until the merge picks the few worth keeping.
fuzz() {
    local target=$1 dir=$build/$1
    rm -rf "$dir/work"
    mkdir -p "$dir/work" "fuzz/corpus/$target"
    cp -a "fuzz/corpus/$target/." "$dir/work/"
    echo "== $target: fuzzing for ${seconds}s (log: $dir/fuzz.log)"
    if ! "$dir/fuzzer" "$dir/work" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/finding-" \
            >"$dir/fuzz.log" 2>&1; then
        tail -n 80 "$dir/fuzz.log"
        echo "== $target: FINDING, input kept as $dir/finding-*" >&2
        return 1
    fi
    tail -n 12 "$dir/fuzz.log"
}

# Keeps every covered edge but not every hit count of one (-use_counters=0):
# a few dozen files rather than hundreds that each loop a little longer.
minimise() {
    local target=$1 dir=$build/$1
    rm -rf "$dir/merged"
    mkdir -p "$dir/merged"
    "$dir/fuzzer" -merge=1 -use_counters=0 "$dir/merged" "fuzz/corpus/$target" "$dir/work" \
        >"$dir/merge.log" 2>&1
    rm -rf "fuzz/corpus/$target"
    mv "$dir/merged" "fuzz/corpus/$target"
    echo "== $target: corpus $(find "fuzz/corpus/$target" -type f | wc -l) files," \
        "$(find "fuzz/corpus/$target" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')" \
        "bytes"
}

install_clang
for target in "${targets[@]}"; do
    sources_of "$target" >/dev/null
    mkdir -p "$build/$target"
    compile "$target"
done
for target in "${targets[@]}"; do
    fuzz "$target"
    minimise "$target"
done
