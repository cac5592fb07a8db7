#!/usr/bin/env bash
# Line instruments in frostgauge-monitor: N simulated four-channel instruments
# (bench/protocols/four-channels.conf, each channel its own query) polled every
# second, against the same number of readings from VKRHX350s (N instruments at
# 4 readings/s): the monitor's share of one core and resident memory over
# SECONDS, and its CPU per reading on each path.
# Usage: bench/run-line.sh BUILD_DIR [SECONDS] [N]   (default 30 s, 32)
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-30}
n=${3:-32}
here=$(dirname "$(realpath "$0")")
protocol=$here/protocols/four-channels.conf
sim=$build/bin/frostgauge-sim
monitor=$build/bin/frostgauge-monitor
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# run KIND: starts the simulators and the monitor, prints "cpu% rss_mib readings"
run() {
    local kind=$1
    rm -f "$work"/store.db* "$work"/tty*
    {
        printf '[store]\npath=%s/store.db\n' "$work"
        for i in $(seq "$n"); do
            if [ "$kind" = line ]; then
                printf '[instrument/i%d]\ndriver=line\nprotocol=%s\nport=%s/tty%d\nperiod=1000\n' "$i" "$protocol" "$work" "$i"
            else
                printf '[instrument/i%d]\nport=%s/tty%d\nperiod=250\n' "$i" "$work" "$i"
            fi
        done
    } >"$work/monitor.conf"
    for i in $(seq "$n"); do
        if [ "$kind" = line ]; then
            "$sim" --protocol "$protocol" --link "$work/tty$i" --serial "S$i" >/dev/null 2>&1 &
        else
            "$sim" --link "$work/tty$i" --serial "S$i" >/dev/null 2>&1 &
        fi
    done
    for i in $(seq "$n"); do for _ in $(seq 100); do [ -e "$work/tty$i" ] && break; sleep 0.05; done; done
    "$monitor" --config "$work/monitor.conf" 2>/dev/null &
    local pid=$!
    sleep 3 # connected and settled
    local first before after rss last
    first=$(sqlite3 "$work/store.db" 'SELECT count(*) FROM readings' 2>/dev/null || echo 0)
    before=$(cpu_ticks $pid)
    sleep "$seconds"
    after=$(cpu_ticks $pid)
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
    last=$(sqlite3 "$work/store.db" 'SELECT count(*) FROM readings' 2>/dev/null || echo 0)
    kill -TERM $pid
    wait $pid || true
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    echo "$(echo "($after - $before) * 100 / $ticks / $seconds" | bc -l) $(echo "$rss / 1024" | bc -l) $((last - first))"
}

read -r line_cpu line_rss line_readings < <(run line)
read -r vk_cpu vk_rss vk_readings < <(run vkrhx350)
printf '%-10s %10s %10s %12s %16s\n' path "cpu %" "rss MiB" "readings/s" "cpu us/reading"
for path in line vkrhx350; do
    if [ $path = line ]; then cpu=$line_cpu rss=$line_rss readings=$line_readings; else cpu=$vk_cpu rss=$vk_rss readings=$vk_readings; fi
    printf '%-10s %10.2f %10.1f %12.1f %16.1f\n' $path "$cpu" "$rss" "$(echo "$readings / $seconds" | bc -l)" \
        "$(echo "$cpu / 100 * $seconds * 1000000 / $readings" | bc -l)"
done
echo "line against vkrhx350, cpu per reading: $(echo "($line_cpu / $line_readings) / ($vk_cpu / $vk_readings)" | bc -l | cut -c1-5) x"
