# shellcheck shell=bash
# Shared by the hardening scripts; sourced, not run.
#
# Every run of tolvane takes the machine-wide instance guard: as root a lock
# file under /run, as any other user an abstract Unix socket, whose names are
# private to a network namespace. The scripts therefore re-run themselves in
# a network and mount namespace of their own with an empty /run (unless
# given --shared-guard): a tolvane started elsewhere on the machine, a test
# suite for instance, then neither refuses these runs nor is refused by them.

hardening_source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
hardening_script_dir=$hardening_source_dir/scripts/hardening

die() {
    echo "$(basename "$0"): $*" >&2
    exit 2
}

require_root() {
    [ "$(id -u)" -eq 0 ] || die "must run as root"
}

# The variable an option of LIST sets (NAME, dashes as underscores, or VAR
# for NAME:VAR); fails when LIST has no such option.
option_variable() {
    local option
    for option in $1; do
        if [ "${option%%:*}" = "$2" ]; then
            if [ "$option" = "${option#*:}" ]; then echo "${2//-/_}"; else echo "${option#*:}"; fi
            return 0
        fi
    done
    return 1
}

# Call as: parse_options "VALUE OPTIONS" "FLAGS" "$@" (the script's own
# arguments). Each --OPTION VALUE sets its variable to VALUE, each --FLAG sets
# its variable to 1; anything else ends the script.
parse_options() {
    local values=$1 flags=$2 variable
    shift 2
    while [ $# -gt 0 ]; do
        [[ $1 == --* ]] || die "unknown argument: $1"
        if [ $# -ge 2 ] && variable=$(option_variable "$values" "${1#--}"); then
            printf -v "$variable" '%s' "$2"
            shift 2
        elif variable=$(option_variable "$flags" "${1#--}"); then
            printf -v "$variable" '%s' 1
            shift
        else
            die "unknown argument: $1"
        fi
    done
}

# Call as: isolate_guard "$shared_guard" "$0" "$@" (the script's own arguments).
isolate_guard() {
    local shared=$1
    shift
    if [ "$shared" = 1 ] || [ -n "${TOLVANE_HARDENING_ISOLATED:-}" ]; then
        return 0
    fi
    command -v unshare >/dev/null || die "unshare is missing; use --shared-guard"
    export TOLVANE_HARDENING_ISOLATED=1
    # shellcheck disable=SC2016 # expanded by the inner shell
    exec unshare --net --mount --propagation private -- bash -c \
        'mount -t tmpfs -o mode=755 tolvane-guard /run && exec bash "$@"' isolate "$@"
}

# The program to test: the given path, or build/tolvane (built if missing).
resolve_tolvane() {
    local given=$1
    if [ -n "$given" ]; then
        [ -x "$given" ] || die "not an executable: $given"
        (cd "$(dirname "$given")" && echo "$PWD/$(basename "$given")")
        return
    fi
    if [ ! -x "$hardening_source_dir/build/tolvane" ]; then
        bash "$hardening_source_dir/scripts/build.sh" "$hardening_source_dir/build" >/dev/null
    fi
    echo "$hardening_source_dir/build/tolvane"
}

# Compiles scripts/hardening/NAME.cpp to OUT_DIR/NAME.
compile_helper() {
    local name=$1 out_dir=$2
    g++ -std=c++17 -O2 -Wall -Wextra -o "$out_dir/$name" "$hardening_script_dir/$name.cpp"
}

# A run directory for tolvane: Tolvane.ini naming FOLDER, and a log
# configuration writing "%p %m%n" to tolvane.log beside it.
prepare_run_dir() {
    local dir=$1 folder=$2
    mkdir -p "$dir"
    printf '[FOLDER]\nNB_FOLDER=1\nFOLDER_1=%s\n' "$folder" >"$dir/Tolvane.ini"
    cat >"$dir/LogTolvane.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8" ?>
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="file" class="org.apache.log4j.FileAppender">
    <param name="File" value="tolvane.log"/>
    <param name="Append" value="false"/>
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

# shellcheck disable=SC2034 # for the scripts that source this file
refused_line='ERROR [WinMain]: WinMain :: ReturnCode = -6 : Another instance is running'
# shellcheck disable=SC2034
end_line='DEBUG [WinMain]: WinMain :: Tolvane Application ended running'

machine_line() {
    echo "machine: nproc $(nproc), kernel $(uname -r)"
}

now_seconds() {
    date +%s.%N
}

elapsed_since() {
    awk -v start="$1" -v end="$(now_seconds)" 'BEGIN { printf "%.1f", end - start }'
}
