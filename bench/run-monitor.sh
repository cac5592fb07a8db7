#!/usr/bin/env bash
# frostgauge-monitor under load: N simulated instruments at 10 readings/s each;
# the monitor's share of one core and its resident memory over SECONDS, and
# the store's bytes per reading.
# Usage: bench/run-monitor.sh BUILD_DIR [SECONDS] [N...]   (default 20 s; 1 8 32)
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-20}
shift 2 || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 8 32)
sim=$build/bin/frostgauge-sim
monitor=$build/bin/frostgauge-monitor
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

echo '{"rs232:period": 100}' >"$work/state.json"
printf '%-12s %12s %12s %14s %12s\n' instruments "cpu %" "rss MiB" "bytes/reading" readings
for n in "${counts[@]}"; do
    rm -f "$work"/store.db* "$work"/tty*
    {
        printf '[store]\npath=%s/store.db\n' "$work"
        for i in $(seq "$n"); do printf '[instrument/i%d]\nport=%s/tty%d\n' "$i" "$work" "$i"; done
    } >"$work/monitor.conf"
    for i in $(seq "$n"); do
        "$sim" --link "$work/tty$i" --serial "S$i" --state "$work/state.json" >/dev/null 2>&1 &
    done
    for i in $(seq "$n"); do for _ in $(seq 100); do [ -e "$work/tty$i" ] && break; sleep 0.05; done; done
    "$monitor" --config "$work/monitor.conf" 2>/dev/null &
    pid=$!
    sleep 3 # connected and settled
    before=$(cpu_ticks $pid)
    sleep "$seconds"
    after=$(cpu_ticks $pid)
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
    kill -TERM $pid
    wait $pid || true
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    readings=$(sqlite3 "$work/store.db" 'SELECT count(*) FROM readings')
    # After the stop the WAL is checkpointed into the file: its pages are the cost.
    bytes=$(sqlite3 "$work/store.db" 'PRAGMA page_count' | awk -v s="$(sqlite3 "$work/store.db" 'PRAGMA page_size')" '{print $1 * s}')
    printf '%-12s %12.2f %12.1f %14.1f %12d\n' "$n" \
        "$(echo "($after - $before) * 100 / $ticks / $seconds" | bc -l)" "$(echo "$rss / 1024" | bc -l)" \
        "$(echo "$bytes / $readings" | bc -l)" "$readings"
done
