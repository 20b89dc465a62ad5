#!/usr/bin/env bash
# Shows what KivProxy does, end to end, in a Wine sandbox of its own.
#
#   scripts/sandbox.sh [--scenario LIST] [--ci] [--verbosity V]
#                      [--no-build] [--build-dir DIR] [--prefix DIR] [--help]
#
# Builds what is missing, creates a Wine prefix holding the product's registry
# keys and installation folder (C:\Quellguard\ with KivProxy.exe, Quarn32.dll,
# the component list QGCE_KIV_COMP_LIST.xml and a sample pattern), starts the
# log server stand-in, and runs KivProxy.exe in each scenario with a plug-in
# manager stand-in that plays the scenario. The records the log server
# receives are shown as they arrive; each step ends with KivProxy's exit code
# and duration, the requests the manager received, the registry or INI file
# it left, and a check of all of these. A summary table comes last.
#
# Scenarios (LIST is comma-separated; default all, run in this order):
#   @SCENARIOS@
#
# Options:
#   --scenario LIST  scenarios to run (@NAMES@,all)
#   --ci             plain output without colours or a waiting line (also when
#                    the output is not a terminal)
#   --verbosity V    have the log server publish verbosity V (filter on): 7 shows
#                    failures, warnings and facts, 9 everything (default: no filter)
#   --no-build       use the binaries as they are (no set-up, no build)
#   --build-dir DIR  build folder with bin/ (default build/release)
#   --prefix DIR     Wine prefix of the sandbox (default <build-dir>/sandbox-prefix)
#
# Exit code 0 when every step gave the expected exit code and passed its
# checks, 1 when one did not, 2 for a bad command line or a sandbox that
# cannot be set up, 130 when interrupted. Everything started here (log server,
# plug-in manager, the prefix's wineserver) is stopped at the end, also on Ctrl-C.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$PWD

# ---------------------------------------------------------------- scenarios
# One file per scenario in scripts/sandbox/, NN-NAME.sh, run in the order of NN.
# Its "#: " lines are its --help text; it defines scenario_NAME (dashes as
# underscores), which does one step with the helpers below (step_header, note,
# start_manager, run_kivproxy, stop_standin, check, finish_step, product_setup
# and the other product helpers); it may call `scenario_needs TARGET FILE` for
# a build target and a file in bin/ that it needs beyond those of every run.
build_targets=(KivProxy Quarn32 LogServer PluginManager ProductSetup sample_patterns)
needed_files=(KivProxy.exe Quarn32.dll LogServer.exe PluginManager.exe ProductSetup.exe samples/standard.ptn)
declare -A scenario_targets=() scenario_files_needed=()
scenario_needs() {
    scenario_targets[$scenario_name]+=" $1"
    scenario_files_needed[$scenario_name]+=" $2"
}
scenario_files=("$root"/scripts/sandbox/[0-9]*.sh)
all_scenarios=()
for scenario_file in "${scenario_files[@]}"; do
    scenario_name=$(basename "$scenario_file" .sh)
    scenario_name=${scenario_name#*-}
    all_scenarios+=("$scenario_name")
    source "$scenario_file"
done

usage() {
    local line names
    names=$(IFS=,; printf '%s' "${all_scenarios[*]}")
    sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' | while IFS= read -r line; do
        if [ "$line" = "  @SCENARIOS@" ]; then
            sed -n 's/^#: /  /p' "${scenario_files[@]}"
        else
            printf '%s\n' "${line//@NAMES@/$names}"
        fi
    done
}

scenario_arg="all"
ci=0
verbosity=""
do_build=1
build=""
prefix=""
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --scenario|--scenarios) [ $# -ge 2 ] || { echo "sandbox: $1 needs a value" >&2; exit 2; }
                                scenario_arg="$2"; shift ;;
        --scenario=*) scenario_arg="${1#*=}" ;;
        --ci) ci=1 ;;
        --verbosity) [ $# -ge 2 ] || { echo "sandbox: $1 needs a value" >&2; exit 2; }
                     verbosity="$2"; shift ;;
        --no-build) do_build=0 ;;
        --build-dir) [ $# -ge 2 ] || { echo "sandbox: $1 needs a value" >&2; exit 2; }
                     build="$2"; shift ;;
        --prefix) [ $# -ge 2 ] || { echo "sandbox: $1 needs a value" >&2; exit 2; }
                  prefix="$2"; shift ;;
        *) echo "sandbox: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ -n "$verbosity" ] && ! [[ "$verbosity" =~ ^-?[0-9]+$ ]]; then
    echo "sandbox: --verbosity takes a number" >&2; exit 2
fi

# Scenarios to run, in their fixed order.
declare -A wanted=()
IFS=',' read -r -a _asked <<<"$scenario_arg"
for s in "${_asked[@]}"; do
    s="${s// /}"
    [ -z "$s" ] && continue
    if [ "$s" = all ]; then
        for a in "${all_scenarios[@]}"; do wanted[$a]=1; done
    elif [[ " ${all_scenarios[*]} " == *" $s "* ]]; then
        wanted[$s]=1
    else
        echo "sandbox: unknown scenario '$s' ($(printf '%s, ' "${all_scenarios[@]}")all)" >&2
        exit 2
    fi
done
scenarios=()
for a in "${all_scenarios[@]}"; do
    [ -n "${wanted[$a]:-}" ] || continue
    scenarios+=("$a")
    build_targets+=(${scenario_targets[$a]:-}) needed_files+=(${scenario_files_needed[$a]:-})
done
[ ${#scenarios[@]} -gt 0 ] || { echo "sandbox: no scenario given" >&2; exit 2; }

build="$(realpath -m "${build:-$root/build/release}")"
prefix="$(realpath -m "${prefix:-$build/sandbox-prefix}")"
bin="$build/bin"

# ---------------------------------------------------------------- output
tty=0
[ $ci -eq 0 ] && [ -t 1 ] && tty=1
if [ $tty -eq 1 ] && [ -z "${NO_COLOR:-}" ]; then
    B=$'\e[1m' D=$'\e[2m' R=$'\e[31m' G=$'\e[32m' Y=$'\e[33m' M=$'\e[35m' C=$'\e[36m' N=$'\e[0m'
else
    B="" D="" R="" G="" Y="" M="" C="" N=""
fi
say()  { printf '%s\n' "$*"; }
head1() { printf '\n%s==> %s%s\n' "$B" "$*" "$N"; }
note() { printf '    %s\n' "$*"; }
die()  { printf '%ssandbox: %s%s\n' "$R" "$*" "$N" >&2; exit 2; }

# ---------------------------------------------------------------- the prefix, ours alone
mkdir -p "$prefix" || die "cannot create $prefix"
exec 8>"$prefix/.sandbox.lock"
flock -n 8 || die "another sandbox run is using $prefix"

export KIV_WINEPREFIX="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# ---------------------------------------------------------------- processes
# Everything started from here on is stopped by cleanup, also on Ctrl-C.
declare -A proc_pid=() hold_pid=()
current_pid=""
viewer_pid=""
cleaned=0

# True while `pid` (a child of this shell) runs.
alive() { kill -0 "$1" 2>/dev/null; }

# Waits up to `tenths` tenths of a second for `pid` to end.
wait_gone() {
    local pid=$1 tenths=$2 i
    for ((i = 0; i < tenths; i++)); do
        alive "$pid" || return 0
        sleep 0.1
    done
    ! alive "$pid"
}

# Ends a child: asks first (already done by the caller), then TERM, then KILL.
reap() {
    local pid=$1 tenths=${2:-50}
    [ -n "$pid" ] || return 0
    if ! wait_gone "$pid" "$tenths"; then
        kill "$pid" 2>/dev/null
        wait_gone "$pid" 20 || kill -9 "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    return 0
}

# Starts a stand-in whose standard input is a FIFO held open by a `sleep`
# of our own: ending that sleep gives the stand-in end of file, and no other
# process ever holds the FIFO's write end. Waits until `ready` shows in its
# output. start_standin TAG READY-REGEX OUT-FILE PROGRAM [ARGS...]
start_standin() {
    local tag=$1 ready=$2 out=$3 i
    shift 3
    local fifo="$run/$tag.stdin"
    rm -f "$fifo" "$out" "$run/$tag.err"
    mkfifo "$fifo" || die "cannot create $fifo"
    wine "$@" <"$fifo" >"$out" 2>"$run/$tag.err" 8>&- &
    proc_pid[$tag]=$!
    sleep infinity >"$fifo" 8>&- &
    hold_pid[$tag]=$!
    for ((i = 0; i < 150; i++)); do
        grep -qs -- "$ready" "$out" "$run/$tag.err" && return 0
        alive "${proc_pid[$tag]}" || break
        sleep 0.1
    done
    say "${R}$tag did not start:${N}"
    sed 's/^/    /' "$run/$tag.err" "$out" 2>/dev/null
    return 1
}

# Closes a stand-in's standard input and waits for it to stop (killing it
# after 5 s).
stop_standin() {
    local tag=$1
    local pid=${proc_pid[$tag]:-} hold=${hold_pid[$tag]:-}
    if [ -n "$hold" ]; then
        kill "$hold" 2>/dev/null
        wait "$hold" 2>/dev/null
    fi
    reap "$pid" 50
    unset "proc_pid[$tag]" "hold_pid[$tag]"
    rm -f "$run/$tag.stdin"
}

cleanup() {
    [ $cleaned -eq 1 ] && return
    cleaned=1
    if [ -n "$viewer_pid" ]; then kill "$viewer_pid" 2>/dev/null; wait "$viewer_pid" 2>/dev/null; fi
    if [ -n "$current_pid" ]; then kill "$current_pid" 2>/dev/null; reap "$current_pid" 20; fi
    local tag
    for tag in "${!proc_pid[@]}"; do stop_standin "$tag"; done
    wineserver -k 2>/dev/null 8>&-
    [ $tty -eq 1 ] && printf '%s' "$N"
}
on_signal() {
    trap - INT TERM
    printf '\n%sinterrupted: stopping what the sandbox started%s\n' "$Y" "$N" >&2
    cleanup
    exit 130
}
trap cleanup EXIT
trap on_signal INT TERM

# ---------------------------------------------------------------- build
if [ $do_build -eq 1 ]; then
    head1 "Building what is missing (the first time installs packages and takes a few minutes)"
    ./scripts/setup.sh 8>&- || die "set-up failed"
    if [ "$build" = "$root/build/release" ]; then
        cmake --preset release >/dev/null 8>&- || die "configuring failed"
    fi
    # PatternTool runs under Wine while building the samples: in this prefix.
    cmake --build "$build" --target "${build_targets[@]}" 8>&- || die "build failed"
fi
for f in "${needed_files[@]}"; do
    [ -f "$bin/$f" ] || die "$bin/$f is missing (build first, or leave out --no-build)"
done

# ---------------------------------------------------------------- the product
run="$prefix/drive_c/sandbox"              # files of this run, C:\sandbox
product="$prefix/drive_c/Quellguard"       # the product folder, C:\Quellguard\
product_win='C:\Quellguard\'
pattern_win='C:\Quellguard\Pattern\standard.ptn'
ini="$product/Pattern/PatternInfo.ini"
ini_win='C:\Quellguard\Pattern\PatternInfo.ini'

# ---------------------------------------------------------------- Windows helpers
# Runs a Windows tool of the prefix with its output through files.
wtool() { "$root/scripts/wine-run.sh" "$@" 8>&-; }

# The product's registry keys, component list and installed components are
# set up and read by the stand-ins' set-up program, which holds their one
# description (standins/common/product_setup.h).
product_setup() { wtool "$bin/ProductSetup.exe" "$@" | tr -d '\r'; }
note_lines() { sed 's/^/    /'; }

listed_dlp_version=""
write_component_list() { # write_component_list DLP-VERSION: shows what it wrote
    listed_dlp_version=$1
    product_setup list "$product_win" "SampleDLP=$1" SampleAntiSpam=1.0.0100
}
is_installed() { product_setup check "$1" "$2"; } # is_installed ID VERSION
show_component_key() { product_setup show "$1" "$2" | note_lines; } # show_component_key ID VERSION
# Marks ID VERSION installed, as the manager would have left it, unless a step before did.
ensure_installed() { # ensure_installed ID VERSION
    if is_installed "$1" "$2"; then
        note "$1 $2 is installed (by the step before)."
    else
        product_setup installed "$1" "$2" 'C:\Quellguard\Plugins' || die "cannot seed the installed version"
        note "$1 $2 marked installed, as the manager would have left it."
    fi
}

# ---------------------------------------------------------------- live view
log_display="$run/logserver.out"   # LogServer's standard output (coloured on a terminal)
log_plain="$run/logserver.log"     # the same records, plain (LogServer --file)
manager_out="$run/manager.out"     # the running manager's standard output

lines_of() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# Shortens a record line for reading: time only, no process/thread ids, no
# "[][KivProxy.exe]" text prefix. Lines of another shape pass unchanged.
shorten_records() {
    sed -u -e 's/\r$//' -e 's/^\(\x1b\[[0-9;]*m\)\{0,1\}[0-9]\{4\}-[0-9][0-9]-[0-9][0-9] \([0-9:]*\)Z pid=[0-9]* tid=[0-9]* /\1\2 /' \
           -e 's/\[\]\[[^]]*\]//' -e 's/^/      /'
}
shorten_manager() {
    sed -u -e 's/\r$//' -e 's/^PluginManager: //' -e "s/^/      ${M}[manager]${N} /"
}

# Prints new complete lines of the log server and manager outputs until the
# stop file appears (then prints what is left and ends). On a terminal it
# keeps a waiting line while nothing arrives.
follow() { # follow STOP-FILE LOG-FROM MANAGER-FROM
    local stop=$1 lfrom=$2 mfrom=$3 n final quiet_since waiting=0 now
    quiet_since=${EPOCHREALTIME/./}
    while :; do
        final=0
        [ -e "$stop" ] && final=1
        local got=0
        n=$(lines_of "$log_display")
        if [ "$n" -gt "$lfrom" ]; then
            [ $waiting -eq 1 ] && printf '\r\e[K' && waiting=0
            sed -n "$((lfrom + 1)),${n}p" "$log_display" | shorten_records
            lfrom=$n got=1
        fi
        n=$(lines_of "$manager_out")
        if [ "$n" -gt "$mfrom" ]; then
            [ $waiting -eq 1 ] && printf '\r\e[K' && waiting=0
            sed -n "$((mfrom + 1)),${n}p" "$manager_out" | shorten_manager
            mfrom=$n got=1
        fi
        if [ $final -eq 1 ]; then
            [ $waiting -eq 1 ] && printf '\r\e[K'
            return 0
        fi
        now=${EPOCHREALTIME/./}
        [ $got -eq 1 ] && quiet_since=$now
        if [ $tty -eq 1 ] && [ $((now - quiet_since)) -ge 1000000 ]; then
            printf '\r\e[K      %s... %d s without a record (KivProxy pauses 5 s between status polls)%s' \
                "$D" $(((now - quiet_since) / 1000000)) "$N"
            waiting=1
        fi
        sleep 0.1
    done
}

# Waits until the log server has shown no new record for 0.3 s (at most 3 s).
settle_log() {
    local last n i stable=0
    last=$(lines_of "$log_plain")
    for ((i = 0; i < 30 && stable < 3; i++)); do
        sleep 0.1
        n=$(lines_of "$log_plain")
        if [ "$n" = "$last" ]; then stable=$((stable + 1)); else stable=0 last=$n; fi
    done
}

# ---------------------------------------------------------------- one step
# Results for the summary table.
res_name=() res_cmd=() res_exp=() res_got=() res_time=() res_reqs=() res_verdict=()
failures=0
step_no=0

# The manager's requests of this step from its --log file, one per line:
# "DOWNLOAD SampleDLP 2.0.1000".
manager_requests() { # manager_requests LOG-FILE
    [ -f "$1" ] || return 0
    tr -d '\r' <"$1" | sed -n 's/^command=kivmgr_KIV_COMPONENT_\([A-Z]*\) id=[^ ]* component=\([^ ]*\) version=\(.*\)$/\1 \2 \3/p'
}
request_names() { manager_requests "$1" | awk '{print $1}' | paste -sd, -; }

# Runs KivProxy.exe with the arguments and shows what happens; sets
# step_rc (exit code as the program returned it), step_secs and step_log_from.
run_kivproxy() { run_program "$product/KivProxy.exe" "$@"; }
run_program() { # run_program PATH ARGS...: the same for any program
    local stop="$run/.follow-stop" exe=$1 t0 t1 rc
    shift
    step_program=${exe##*/}
    printf '\n    %s$ %s %s%s\n' "$C" "$step_program" "$*" "$N"
    rm -f "$stop" "$run/kivproxy.out" "$run/kivproxy.err"
    step_log_from=$(lines_of "$log_plain")
    follow "$stop" "$(lines_of "$log_display")" "$(lines_of "$manager_out")" &
    viewer_pid=$!
    t0=${EPOCHREALTIME/./}
    wine "$exe" "$@" </dev/null >"$run/kivproxy.out" 2>"$run/kivproxy.err" 8>&- &
    current_pid=$!
    local limit=$((t0 + 120000000)) timed_out=0
    while alive "$current_pid"; do
        sleep 0.05
        if [ "${EPOCHREALTIME/./}" -gt "$limit" ]; then
            timed_out=1
            kill "$current_pid" 2>/dev/null
            break
        fi
    done
    t1=${EPOCHREALTIME/./}
    wait "$current_pid" 2>/dev/null
    rc=$?
    current_pid=""
    settle_log
    : >"$stop"
    wait "$viewer_pid" 2>/dev/null
    viewer_pid=""
    [ $rc -eq 255 ] && rc=-1
    [ $timed_out -eq 1 ] && rc="timeout"
    step_rc=$rc
    step_secs=$(printf '%d.%d' $(((t1 - t0) / 1000000)) $((((t1 - t0) / 100000) % 10)))
    if [ -s "$run/kivproxy.out" ] && [ "$(wc -l <"$run/kivproxy.out")" -le 1 ]; then
        note "console: $(tr -d '\r' <"$run/kivproxy.out")"
    elif [ -s "$run/kivproxy.out" ]; then
        note "console:"
        tr -d '\r' <"$run/kivproxy.out" | sed 's/^/        /'
    fi
    if [ -s "$run/kivproxy.err" ]; then
        note "standard error:"
        tr -d '\r' <"$run/kivproxy.err" | sed 's/^/        /'
    fi
}

# Lines the log server received during this step (plain form).
step_records() { sed -n "$((step_log_from + 1)),\$p" "$log_plain" 2>/dev/null; }

# The step's verdict: exit code first, then the extra checks (each adds a
# reason to `problems` when it fails).
problems=()
check() { # check "what is wrong when it fails" COMMAND...
    local why=$1
    shift
    "$@" || problems+=("$why")
}
records_have() { step_records | grep -qF -- "$1"; }
traces_shown() { [ -z "$verbosity" ] || [ "$verbosity" -ge 9 ]; }

finish_step() { # finish_step NAME COMMAND-TEXT EXPECTED-RC REQUESTS-TEXT
    local name=$1 cmd=$2 expected=$3 reqs=$4 verdict
    if [ "$step_rc" != "$expected" ]; then
        problems=("exit code $step_rc, expected $expected" "${problems[@]}")
    fi
    if traces_shown && [ "$step_rc" != timeout ] && [ "$step_program" = KivProxy.exe ]; then
        check "the log server did not receive the exit record 'wmain - <<< $step_rc'" records_have "wmain - <<< $step_rc"
    fi
    local rc_colour=$G
    [ "$step_rc" != "$expected" ] && rc_colour=$R
    note "exit code ${rc_colour}${step_rc}${N} (expected $expected) after $step_secs s"
    if [ ${#problems[@]} -eq 0 ]; then
        verdict="ok"
        note "${G}ok${N}"
    else
        verdict="FAILED"
        failures=$((failures + 1))
        local p
        for p in "${problems[@]}"; do note "${R}FAILED: $p${N}"; done
    fi
    res_name+=("$name") res_cmd+=("$cmd") res_exp+=("$expected") res_got+=("$step_rc")
    res_time+=("$step_secs") res_reqs+=("$reqs") res_verdict+=("$verdict")
    problems=()
}

# Starts a plug-in manager stand-in for one step, logging its requests to
# C:\sandbox\manager-<step>.log.
start_manager() { # start_manager STEP ARGS...
    local step=$1
    shift
    manager_log="$run/manager-$step.log"
    rm -f "$manager_log"
    : >"$manager_out"
    start_standin manager "listening on" "$manager_out" "$bin/PluginManager.exe" \
        --plugin-dir 'C:\Quellguard\Plugins' --log "C:\\sandbox\\manager-$step.log" "$@" || die "the plug-in manager stand-in did not start"
    note "plug-in manager stand-in: PluginManager.exe $* (pid ${proc_pid[manager]})"
}

show_requests() {
    local reqs
    reqs=$(manager_requests "$manager_log")
    if [ -z "$reqs" ]; then
        note "requests the manager received: none"
    else
        note "requests the manager received (C:\\sandbox\\$(basename "$manager_log")):"
        printf '%s\n' "$reqs" | sed 's/^\([A-Z]*\) \([^ ]*\) \(.*\)$/          \1  component=\2 version=\3/'
    fi
}

step_header() { # step_header NAME TEXT
    step_no=$((step_no + 1))
    head1 "$step_no/${#scenarios[@]} $1: $2"
}

# ---------------------------------------------------------------- sandbox
head1 "Sandbox: Wine prefix $prefix"
note "creating or warming the prefix and its wineserver (a new prefix takes about 15 s)"
wtool cmd /c exit >/dev/null 2>&1 || die "Wine does not start in $prefix"
mkdir -p "$run" "$product/Pattern" "$product/Plugins" || die "cannot create the product folder"
rm -f "$run"/*.log "$run"/*.out "$run"/*.err "$run"/*.stdin "$run/.follow-stop"

# The product: registry keys, installation folder, component list, pattern.
product_shown=$(product_setup fresh "$product_win") || die "cannot write the product's registry keys"
kiv_key=$(product_setup where)
rm -f "$product/Plugins"/* "$ini"
cp "$bin/KivProxy.exe" "$bin/Quarn32.dll" "$product/" || die "cannot copy the program"
for lib in bxnotify.dll ZorIVA.dll; do
    [ -f "$bin/$lib" ] && cp "$bin/$lib" "$product/"
done
cp "$bin/samples/standard.ptn" "$product/Pattern/" || die "cannot copy the sample pattern"
write_component_list 2.0.1000 >"$run/components.shown" || die "cannot write the component list"
note_lines <<<"$product_shown"
note "$product_win holds: $(cd "$product" && ls -d -- * | paste -sd' ' -)"
note_lines <"$run/components.shown"

# The log server stand-in, for the whole run.
log_args=(--instances 1 --file 'C:\sandbox\logserver.log')
[ $tty -eq 1 ] && [ -n "$R" ] && log_args+=(--color)
[ -n "$verbosity" ] && log_args+=(--verbosity "$verbosity")
start_standin logserver "listening on" "$log_display" "$bin/LogServer.exe" "${log_args[@]}" \
    || die "the log server stand-in did not start"
note "log server stand-in: LogServer.exe ${log_args[*]} (pid ${proc_pid[logserver]}),"
note "serving \\\\.\\pipe\\Log_ServerNamePipe; records below as 'time level(code) source:line text'"
[ -n "$verbosity" ] && note "verbosity $verbosity published in Global\\log_level_map_file (filter on)"

for s in "${scenarios[@]}"; do "scenario_${s//-/_}"; done

stop_standin logserver
total=$(lines_of "$log_plain")

# ---------------------------------------------------------------- summary
head1 "Summary"
w=7
for c in "${res_cmd[@]}"; do [ "${#c}" -gt "$w" ] && w=${#c}; done
printf "    %-10s %-${w}s %5s %8s %7s  %-17s %s\n" scenario "KivProxy.exe ..." exit expected time "manager requests" result
for i in "${!res_name[@]}"; do
    v=${res_verdict[$i]}
    colour=$G
    [ "$v" != ok ] && colour=$R
    printf "    %-10s %-${w}s %5s %8s %6ss  %-17s %s\n" "${res_name[$i]}" "${res_cmd[$i]}" \
        "${res_got[$i]}" "${res_exp[$i]}" "${res_time[$i]}" "${res_reqs[$i]}" "${colour}${v}${N}"
done
say ""
note "The log server received $total records: C:\\sandbox\\logserver.log"
note "  = $log_plain"
note "Look around the prefix: WINEPREFIX=$prefix wine reg query '$kiv_key' /s"
cleanup
if [ $failures -ne 0 ]; then
    say "${R}$failures of ${#res_name[@]} step(s) failed${N}"
    exit 1
fi
say "${G}${#res_name[@]} of ${#res_name[@]} step(s) as expected${N}"
exit 0
