#!/usr/bin/env bash
# Builds and runs every benchmark under Wine and prints one table.
#   bench/run.sh [--runs N] [--quick] [--unpinned]
#     --runs N     runs per figure (default 9; process starts get 3N, exports of
#                  1000 types (N+1)/2, of 5000 types 3)
#     --quick      3 runs and patterns up to 1000 types (a few minutes)
#     --unpinned   run everything a second time without CPU pinning and show
#                  those medians and ratios beside the pinned ones
# Each figure is timed several times together with its limit, alternating
# which goes first; the table gives the best and the median of each and the
# ratio of the medians. Wine's server and the programs run on one CPU
# (taskset -c 0): a wake-up across this machine's CPUs costs tens of
# microseconds and would swamp every pipe and registry figure. The raw rows
# are kept in build/release/bench-results/.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=9
largest=5000
unpinned=0
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --quick) runs=3; largest=1000; shift ;;
        --unpinned) unpinned=1; shift ;;
        -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done

./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build build/release --target log_bench process_bench lookup_bench pattern_bench >/dev/null
export KIV_WINEPREFIX="$PWD/build/release/bench-prefix"
export WINEPREFIX="$KIV_WINEPREFIX" WINEDEBUG=-all
bin=build/release/bin
results=build/release/bench-results
mkdir -p "$results"
trap 'wineserver -k 2>/dev/null || true' EXIT

# Runs every benchmark once; $1 is "pinned" or "unpinned". The prefix's server
# is restarted so that it (and Wine's service processes) get the same CPU set.
run_pass() {
    local pass="$1" pin=()
    [ "$pass" = pinned ] && pin=(taskset -c 0)
    wineserver -k 2>/dev/null || true
    "${pin[@]}" ./scripts/wine-run.sh cmd /c exit >/dev/null 2>&1
    : >"$results/$pass.txt"
    echo "load $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/$pass.txt"
    local b
    for b in "log_bench $runs 2000" "process_bench $runs" "lookup_bench $runs" "pattern_bench $runs $largest"; do
        set -- $b
        echo "== $1 ($pass)" >&2
        "${pin[@]}" ./scripts/wine-run.sh "$bin/$1.exe" "${@:2}" >>"$results/$pass.txt"
        echo "load $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/$pass.txt"
    done
}

run_pass pinned
[ "$unpinned" = 1 ] && run_pass unpinned

python3 - "$results" "$unpinned" "$runs" "$(nproc)" "$(wine --version)" <<'EOF'
import sys

results, unpinned, runs, cpus, wine = sys.argv[1], sys.argv[2] == "1", sys.argv[3], sys.argv[4], sys.argv[5]

def read(name):
    rows, notes, loads = [], [], []
    for line in open(f"{results}/{name}.txt", encoding="utf-8", errors="replace"):
        f = line.rstrip("\r\n").split("\t")
        if f[0] == "@row" and len(f) == 14:
            rows.append(dict(group=f[1], figure=f[2], setup=f[3], unit=f[4], best=float(f[5]), median=float(f[6]),
                             limit=f[7], lbest=float(f[8]), lmedian=float(f[9]), goal=float(f[10]),
                             peak=float(f[11]), lpeak=float(f[12]), runs=int(f[13])))
        elif f[0] == "@note" and len(f) > 1:
            notes.append(f[1])
        elif line.startswith("load "):
            loads.append(line.split()[1])
    return rows, notes, loads

def ratio(r):
    return r["median"] / r["lmedian"] if r["lmedian"] > 0 else float("nan")

def num(v):
    return f"{v:.3g}" if v < 10 else f"{v:.1f}" if v < 1000 else f"{v:.0f}"

pinned, notes, loads = read("pinned")
free = {}
if unpinned:
    urows, unotes, uloads = read("unpinned")
    free = {(r["group"], r["figure"], r["setup"], r["limit"]): r for r in urows}

print(f"KivProxy benchmarks: {wine}, {cpus} CPUs; wineserver and programs pinned to CPU 0 (taskset -c 0)")
print(f"{runs} runs per figure unless the runs column says otherwise; figure and limit timed in the same runs,")
print("ratio = median / limit median (lower is better); load average (1 min) during the pinned pass: "
      + " -> ".join(loads))
if unpinned:
    print("unpinned: the same run again without taskset; load average: " + " -> ".join(uloads))
print()

head = ["figure", "set-up", "best", "median", "limit", "best", "median", "ratio", "goal", "peak WS MB", "runs"]
if unpinned:
    head += ["unpinned median", "ratio"]
table = []
group = None
for r in pinned:
    if r["group"] != group:
        group = r["group"]
        table.append([f"[{group}]"] + [""] * (len(head) - 1))
    q = ratio(r)
    if r["goal"] > 0:
        verdict = f"<= {r['goal']:g} " + ("met" if q <= r["goal"] else "MISSED")
    else:
        verdict = "(reference)"
    peak = ""
    if r["peak"] >= 0:
        peak = f"{r['peak']:.1f}" + (f" / {r['lpeak']:.1f}" if r["lpeak"] >= 0 else "")
    u = r["unit"]
    line = [r["figure"], r["setup"], f"{num(r['best'])} {u}", f"{num(r['median'])} {u}", r["limit"],
            f"{num(r['lbest'])} {u}", f"{num(r['lmedian'])} {u}", f"{q:.2f}", verdict, peak, str(r["runs"])]
    if unpinned:
        o = free.get((r["group"], r["figure"], r["setup"], r["limit"]))
        line += [f"{num(o['median'])} {u}", f"{ratio(o):.2f}"] if o else ["-", "-"]
    table.append(line)

widths = [max(len(str(row[i])) for row in table + [head]) for i in range(len(head))]
right = {2, 3, 5, 6, 7, 10, 11, 12}
def fmt(row):
    if row[0].startswith("[") and all(c == "" for c in row[1:]):
        return row[0]
    return "  ".join(str(c).rjust(widths[i]) if i in right else str(c).ljust(widths[i])
                     for i, c in enumerate(row)).rstrip()
print(fmt(head))
print("  ".join("-" * w for w in widths))
for row in table:
    print(fmt(row))
print()
print("peak WS: peak working set (GetProcessMemoryInfo of the child at its exit call) of the command / of its limit")
for n in notes:
    print("note: " + n)
EOF
