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
#   install    fresh install: download, Status 3, install request, Status 7 (about 10 s)
#   upgrade    the component list names a newer version than the installed one:
#              download, Status 5, upgrade request, Status 7 (about 10 s)
#   not-ready  the manager never makes the package ready: seven status polls,
#              then a warning and exit code -1 (about 35 s)
#   installed  the listed version is installed already: no request, exit code 0
#   pattern    PostPatternUpdate with the sample pattern; shows the INI written
#
# Options:
#   --scenario LIST  scenarios to run (install,upgrade,not-ready,installed,pattern,all)
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

usage() { sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

all_scenarios=(install upgrade not-ready installed pattern)
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
        echo "sandbox: unknown scenario '$s' (install, upgrade, not-ready, installed, pattern, all)" >&2
        exit 2
    fi
done
scenarios=()
for a in "${all_scenarios[@]}"; do [ -n "${wanted[$a]:-}" ] && scenarios+=("$a"); done
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
    cmake --build "$build" --target KivProxy Quarn32 LogServer PluginManager sample_patterns 8>&- \
        || die "build failed"
fi
for f in KivProxy.exe Quarn32.dll LogServer.exe PluginManager.exe samples/standard.ptn; do
    [ -f "$bin/$f" ] || die "$bin/$f is missing (build first, or leave out --no-build)"
done

# ---------------------------------------------------------------- the product
run="$prefix/drive_c/sandbox"              # files of this run, C:\sandbox
product="$prefix/drive_c/Quellguard"       # the product folder, C:\Quellguard\
product_win='C:\Quellguard\'
info_key='HKLM\SOFTWARE\Brontide\Quellguard\service\Information'
kiv_key='HKLM\SOFTWARE\Brontide\Quellguard\service\Kiv'
complist="$product/QGCE_KIV_COMP_LIST.xml"
pattern_win='C:\Quellguard\Pattern\standard.ptn'
ini="$product/Pattern/PatternInfo.ini"
ini_win='C:\Quellguard\Pattern\PatternInfo.ini'
language=1033

# ---------------------------------------------------------------- Windows helpers
# Runs a Windows tool of the prefix with its output through files.
wtool() { "$root/scripts/wine-run.sh" "$@" 8>&-; }

# Registry of the 32-bit view, which KivProxy and the stand-ins use.
reg_set() { wtool reg add "$1" /v "$2" /t REG_SZ /d "$3" /f /reg:32 >/dev/null; }
reg_delete() { wtool reg delete "$1" /f /reg:32 >/dev/null 2>&1; return 0; }
reg_get() {
    wtool reg query "$1" /v "$2" /reg:32 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$2 \{2,\}REG_[A-Z_]* \{2,\}//p; s/^ *$2 \{2,\}REG_[A-Z_]* *\$//p" | head -1
}
component_key() { printf '%s\\%s\\1_%s_%s' "$kiv_key" "$1" "$language" "$2"; }
unix_of_c() { local p="${1#[Cc]:\\}"; printf '%s/drive_c/%s' "$prefix" "${p//\\//}"; }

write_component_list() { # write_component_list DLP-VERSION
    cat >"$complist" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!-- Add-on components of this Quellguard server (sandbox) -->
<QGCE_COMPONENT_ID_LIST>
    <Component ID="SampleDLP" Version="$1" Language="$language"/>
    <Component ID="SampleAntiSpam" Version="1.0.0100" Language="$language"/>
</QGCE_COMPONENT_ID_LIST>
EOF
}
listed_version() { # version of component $1 in the component list
    sed -n "s/.*<Component ID=\"$1\" Version=\"\([^\"]*\)\".*/\1/p" "$complist" | head -1
}

# Marks a component version as installed, as the manager would have left it.
seed_installed() { # seed_installed ID VERSION
    local key lib_win
    key=$(component_key "$1" "$2")
    lib_win="C:\\Quellguard\\Plugins\\${1}_${2}.dll"
    mkdir -p "$product/Plugins"
    printf 'plug-in library placed by the sandbox\r\n' >"$(unix_of_c "$lib_win")"
    reg_set "$key" _KIV_PluginDllPathname "$lib_win" && reg_set "$key" Status 7
}
is_installed() { # is_installed ID VERSION: Status 7 and the library file there
    local key lib
    key=$(component_key "$1" "$2")
    [ "$(reg_get "$key" Status)" = 7 ] || return 1
    lib=$(reg_get "$key" _KIV_PluginDllPathname)
    [ -n "$lib" ] && [ -f "$(unix_of_c "$lib")" ]
}
show_component_key() { # show_component_key ID VERSION
    local key status lib
    key=$(component_key "$1" "$2")
    status=$(reg_get "$key" Status)
    lib=$(reg_get "$key" _KIV_PluginDllPathname)
    if [ -z "$status" ] && [ -z "$lib" ]; then
        note "registry: no value under ${key#HKLM\\SOFTWARE\\Brontide\\Quellguard\\service\\}"
        return
    fi
    note "registry ${key#HKLM\\SOFTWARE\\Brontide\\Quellguard\\service\\}:"
    note "    Status = ${status:-(none)}"
    if [ -n "$lib" ]; then
        local there="file missing"
        [ -f "$(unix_of_c "$lib")" ] && there="file present"
        note "    _KIV_PluginDllPathname = $lib ($there)"
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
run_kivproxy() {
    local stop="$run/.follow-stop" t0 t1 rc
    printf '\n    %s$ KivProxy.exe %s%s\n' "$C" "$*" "$N"
    rm -f "$stop" "$run/kivproxy.out" "$run/kivproxy.err"
    step_log_from=$(lines_of "$log_plain")
    follow "$stop" "$(lines_of "$log_display")" "$(lines_of "$manager_out")" &
    viewer_pid=$!
    t0=${EPOCHREALTIME/./}
    wine "$product/KivProxy.exe" "$@" </dev/null >"$run/kivproxy.out" 2>"$run/kivproxy.err" 8>&- &
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
    if [ -s "$run/kivproxy.out" ]; then
        note "console: $(tr -d '\r' <"$run/kivproxy.out")"
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
    if traces_shown && [ "$step_rc" != timeout ]; then
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
        --plugin-dir 'C:\Quellguard\Plugins' --language "$language" \
        --log "C:\\sandbox\\manager-$step.log" "$@" || die "the plug-in manager stand-in did not start"
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

# ---------------------------------------------------------------- scenarios
scenario_install() {
    step_header install "fresh install of SampleDLP"
    write_component_list 2.0.1000
    reg_delete "$kiv_key\\SampleDLP"
    rm -f "$product/Plugins"/SampleDLP_*
    note "The component list names SampleDLP 2.0.1000 and the registry has no key for it: not installed."
    note "Expect a download request, Status 3 (ready to install), an install request, Status 7,"
    note "exit code 0 after about 10 s (KivProxy pauses 5 s after each request)."
    start_manager install --scenario install --ready-delay 500 --complete-delay 500
    run_kivproxy SampleDLP Install
    stop_standin manager
    show_requests
    show_component_key SampleDLP 2.0.1000
    local reqs
    reqs=$(request_names "$manager_log")
    check "requests were '$reqs', expected DOWNLOAD,INSTALL" [ "$reqs" = DOWNLOAD,INSTALL ]
    check "SampleDLP 2.0.1000 is not installed afterwards" is_installed SampleDLP 2.0.1000
    finish_step install "SampleDLP Install" 0 "${reqs:-none}"
}

scenario_upgrade() {
    step_header upgrade "SampleDLP 2.0.1000 installed, the component list names 2.1.2000"
    write_component_list 2.0.1000
    if is_installed SampleDLP 2.0.1000; then
        note "SampleDLP 2.0.1000 is installed (by the step before)."
    else
        seed_installed SampleDLP 2.0.1000 || die "cannot seed the installed version"
        note "SampleDLP 2.0.1000 marked installed, as the manager would have left it."
    fi
    show_component_key SampleDLP 2.0.1000
    reg_delete "$(component_key SampleDLP 2.1.2000)"
    write_component_list 2.1.2000
    note "The component list now names SampleDLP 2.1.2000: KivProxy finds no library for that"
    note "version and asks for a download; the manager, having 2.0.1000 installed, reports Status 5"
    note "(ready to upgrade; the stand-in plays this with --scenario upgrade)."
    note "Expect download and upgrade requests for 2.1.2000, exit code 0 after about 10 s."
    start_manager upgrade --scenario upgrade --ready-delay 500 --complete-delay 500
    run_kivproxy SampleDLP Install
    stop_standin manager
    show_requests
    show_component_key SampleDLP 2.1.2000
    local reqs
    reqs=$(request_names "$manager_log")
    check "requests were '$reqs', expected DOWNLOAD,UPGRADE" [ "$reqs" = DOWNLOAD,UPGRADE ]
    check "the requests did not name version 2.1.2000" \
        [ "$(manager_requests "$manager_log" | awk '{print $3}' | sort -u)" = 2.1.2000 ]
    check "SampleDLP 2.1.2000 is not installed afterwards" is_installed SampleDLP 2.1.2000
    finish_step upgrade "SampleDLP Install" 0 "${reqs:-none}"
}

scenario_not_ready() {
    step_header not-ready "the manager never makes SampleAntiSpam ready"
    reg_delete "$kiv_key\\SampleAntiSpam"
    note "SampleAntiSpam 1.0.0100 is listed and not installed; the manager sets Status 1 after the"
    note "download request and nothing more. KivProxy polls seven times, 5 s apart, then gives up:"
    note "expect a warning, exit code -1 after about 35 s, and no install or upgrade request."
    start_manager not-ready --scenario never-ready
    run_kivproxy SampleAntiSpam Install
    stop_standin manager
    show_requests
    show_component_key SampleAntiSpam 1.0.0100
    local reqs
    reqs=$(request_names "$manager_log")
    check "requests were '$reqs', expected DOWNLOAD" [ "$reqs" = DOWNLOAD ]
    if [ -z "$verbosity" ] || [ "$verbosity" -ge 5 ]; then
        check "the log server did not receive the 'package is not ready' warning" \
            records_have "Vreb package is not ready, skip install/upgrade"
    fi
    finish_step not-ready "SampleAntiSpam Install" -1 "${reqs:-none}"
}

scenario_installed() {
    local version
    version=$(listed_version SampleDLP)
    step_header installed "SampleDLP $version is installed already"
    if is_installed SampleDLP "$version"; then
        note "SampleDLP $version is installed (by the step before)."
    else
        seed_installed SampleDLP "$version" || die "cannot seed the installed version"
        note "SampleDLP $version marked installed, as the manager would have left it."
    fi
    show_component_key SampleDLP "$version"
    note "Expect no request to the manager, no pause, exit code 0 at once."
    start_manager installed --scenario none
    run_kivproxy SampleDLP Install
    stop_standin manager
    show_requests
    local reqs
    reqs=$(request_names "$manager_log")
    check "the manager received requests ($reqs)" [ -z "$reqs" ]
    finish_step installed "SampleDLP Install" 0 "${reqs:-none}"
}

scenario_pattern() {
    step_header pattern "export the sample pattern's facts to an INI file"
    rm -f "$ini"
    local description="$root/samples/patterns/standard.txt" types extlist
    types=$(grep -c '^type ' "$description")
    extlist=$(sed -n 's/^extlist //p' "$description")
    note "$pattern_win: built by PatternTool from samples/patterns/standard.txt"
    note "($types major virus types, extension list $extlist). No manager is involved."
    note "Expect exit code 0 and $ini_win with Count=$types and the list in four scan sections."
    manager_out="$run/none.out"
    run_kivproxy SampleDLP PostPatternUpdate "$pattern_win" "$ini_win"
    manager_out="$run/manager.out"
    if [ -f "$ini" ]; then
        note "$ini_win:"
        tr -d '\r' <"$ini" | sed 's/^/          /'
    else
        note "$ini_win was not written"
    fi
    # What the readers of the INI file should find, from the description.
    local want_list="${extlist#\{\*;}"
    want_list="${want_list%?}"
    want_list="${want_list//;/,.}"
    local ini_text
    ini_text=$(tr -d '\r' <"$ini" 2>/dev/null)
    check "the INI file has no Count=$types" grep -qx "Count=$types" <<<"$ini_text"
    check "the INI file lacks Name_$(printf '%03d' "$types")" grep -q "^Name_$(printf '%03d' "$types")=" <<<"$ini_text"
    check "DefaultExtList=$want_list is not in all four scan sections" \
        [ "$(grep -cx "DefaultExtList=$want_list" <<<"$ini_text")" = 4 ]
    finish_step pattern "SampleDLP PostPatternUpdate standard.ptn PatternInfo.ini" 0 "-"
}

# ---------------------------------------------------------------- sandbox
head1 "Sandbox: Wine prefix $prefix"
note "creating or warming the prefix and its wineserver (a new prefix takes about 15 s)"
wtool cmd /c exit >/dev/null 2>&1 || die "Wine does not start in $prefix"
mkdir -p "$run" "$product/Pattern" "$product/Plugins" || die "cannot create the product folder"
rm -f "$run"/*.log "$run"/*.out "$run"/*.err "$run"/*.stdin "$run/.follow-stop"

# The product: registry keys, installation folder, component list, pattern.
reg_set "$info_key" Local_Path "$product_win" || die "cannot write $info_key"
reg_delete "$kiv_key"
rm -f "$product/Plugins"/* "$ini"
cp "$bin/KivProxy.exe" "$bin/Quarn32.dll" "$product/" || die "cannot copy the program"
for lib in bxnotify.dll ZorIVA.dll; do
    [ -f "$bin/$lib" ] && cp "$bin/$lib" "$product/"
done
cp "$bin/samples/standard.ptn" "$product/Pattern/" || die "cannot copy the sample pattern"
write_component_list 2.0.1000
note "$info_key"
note "    Local_Path = $(reg_get "$info_key" Local_Path)"
note "$product_win holds: $(cd "$product" && ls -d -- * | paste -sd' ' -)"
note "${product_win}QGCE_KIV_COMP_LIST.xml:"
sed -n 's/^ *\(<Component .*\)$/        \1/p' "$complist"

# The log server stand-in, for the whole run.
log_args=(--instances 1 --file 'C:\sandbox\logserver.log')
[ $tty -eq 1 ] && [ -n "$R" ] && log_args+=(--color)
[ -n "$verbosity" ] && log_args+=(--verbosity "$verbosity")
start_standin logserver "listening on" "$log_display" "$bin/LogServer.exe" "${log_args[@]}" \
    || die "the log server stand-in did not start"
note "log server stand-in: LogServer.exe ${log_args[*]} (pid ${proc_pid[logserver]}),"
note "serving \\\\.\\pipe\\Log_ServerNamePipe; records below as 'time level(code) source:line text'"
[ -n "$verbosity" ] && note "verbosity $verbosity published in Global\\log_level_map_file (filter on)"

for s in "${scenarios[@]}"; do
    case "$s" in
        install) scenario_install ;;
        upgrade) scenario_upgrade ;;
        not-ready) scenario_not_ready ;;
        installed) scenario_installed ;;
        pattern) scenario_pattern ;;
    esac
done

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
