#!/usr/bin/env bash
# The shared port of frostgauge-monitor against the simulator's own port:
# a 128 KiB firmware upgrade through the window (frostgauge-bench-transfer), in
# pairs with a fresh simulator each, and the round trip of one query line.
# Usage: bench/run-shared-port.sh BUILD_DIR [RUNS] [PACED_RUNS]
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${2:-7}
paced=${3:-1}
sim=$build/bin/frostgauge-sim
monitor=$build/bin/frostgauge-monitor
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

start_sim() { # SIM OPTIONS...
    rm -f "$work/tty"
    "$sim" --link "$work/tty" "$@" >/dev/null 2>&1 &
    sim_pid=$!
    for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.05; done
}
start_monitor() {
    rm -rf "$work/share" "$work/store.db"*
    mkdir -p "$work/share"
    printf '[store]\npath=%s/store.db\n\n[instrument/sim]\nport=%s/tty\nperiod=100\nshare=%s/share/sim\n' \
        "$work" "$work" "$work" >"$work/monitor.conf"
    "$monitor" --config "$work/monitor.conf" 2>/dev/null &
    monitor_pid=$!
    for _ in $(seq 100); do [ "$(readlink "$work/share/sim" 2>/dev/null)" != "" ] && break; sleep 0.05; done
    sleep 0.5 # the monitor's own read-back at connect
}
stop_all() {
    kill "${monitor_pid:-}" 2>/dev/null || true
    wait "${monitor_pid:-}" 2>/dev/null || true
    monitor_pid=
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
}

# upgrade SHARED SIM OPTIONS...: seconds of one 128 KiB upgrade through the window
upgrade() {
    local shared=$1
    shift
    start_sim "$@"
    local port=$work/tty
    if [ "$shared" = yes ]; then start_monitor; port=$work/share/sim; fi
    "$build/bench/frostgauge-bench-transfer" upgrade "$port" 131072 2>/dev/null
    stop_all
}
paired() { # RUNS SIM OPTIONS...
    local n=$1
    shift
    for _ in $(seq "$n"); do
        local d s
        d=$(upgrade no "$@"); s=$(upgrade yes "$@")
        echo "$s $d $(ratio "$s" "$d")"
    done | sort -k3 -n | awk '{a[NR]=$0} END {print a[int((NR+1)/2)]}'
}

echo "exchange                         shared s  own s  ratio  (median pair of $runs)"
read -r s d r < <(paired "$runs")
printf "upgrade 128 KiB                  %8s %6s  %5s  (<= 1.1)\n" "$s" "$d" "$r"
if [ "$paced" -gt 0 ]; then
    read -r s d r < <(paired "$paced" --pace-baud 115200)
    printf "upgrade 128 KiB at 115200 baud   %8s %6s  %5s  (<= 1.1)\n" "$s" "$d" "$r"
fi

echo "query round trip, 2000 lines     p50 ms  p99 ms  max ms"
start_sim
printf "simulator's own port             %s\n" "$("$build/bench/frostgauge-bench-line-latency" "$work/tty" 2000)"
stop_all
start_sim
start_monitor
printf "shared port (readings flowing)   %s\n" "$("$build/bench/frostgauge-bench-line-latency" "$work/share/sim" 2000)"
stop_all
