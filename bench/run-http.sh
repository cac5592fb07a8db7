#!/usr/bin/env bash
# frostgauge-monitor's HTTP side on the loopback:
#  1. the dashboard's first load (page, styles, script, /api/instruments and the
#     eight sparklines' history) and one instrument's 7-day chart page, for a
#     store of 8 instruments over 7 days at 1 Hz; the median of ROUNDS loads;
#  2. /metrics of a monitor configured with 100 instruments, median of 200,
#     and its resident memory through a flood of 20,000 requests;
#  3. 50 clients on the event stream while 32 simulated instruments report at
#     10 readings/s: the monitor's share of a core and resident memory over
#     SECONDS, against the same without clients.
# Usage: bench/run-http.sh BUILD_DIR [ROUNDS] [SECONDS]   (default 20, 20)
set -euo pipefail
build=$(realpath "${1:-build}")
rounds=${2:-20}
seconds=${3:-20}
sim=$build/bin/frostgauge-sim
monitor=$build/bin/frostgauge-monitor
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
ticks=$(getconf CLK_TCK)
port=18351
url=http://127.0.0.1:$port

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
serve() { # CONFIG: starts the monitor and waits until it serves
    "$monitor" --config "$1" 2>"$work/monitor.log" &
    pid=$!
    for _ in $(seq 100); do grep -q "http: serving" "$work/monitor.log" 2>/dev/null && return; sleep 0.1; done
    cat "$work/monitor.log"
    exit 1
}
stop() { kill -TERM "$pid"; wait "$pid" || true; }

echo "== 1. first load, 8 instruments over 7 days"
"$build/bench/frostgauge-bench-history-store" "$work/week.db" 7 --instruments 8 >/dev/null
names=$(sqlite3 "$work/week.db" 'SELECT name FROM instruments ORDER BY id')
{
    printf '[store]\npath=%s/week.db\n' "$work"
    for name in $names; do printf '[instrument/%s]\nport=%s/none-%s\n' "$name" "$work" "$name"; done
    printf '[http]\nlisten=127.0.0.1:%d\n' "$port"
} >"$work/week.conf"
serve "$work/week.conf"
first=$(echo "$names" | head -1)
now=$(($(date +%s) * 1000))
overview=("$url/" "$url/assets/style.css" "$url/assets/dashboard.js" "$url/api/instruments")
for name in $names; do overview+=("$url/api/history?points=240&instrument=$name"); done
chart=("$url/instrument/$first" "$url/assets/dygraph.min.css" "$url/assets/style.css" "$url/assets/dygraph.min.js"
    "$url/assets/instrument.js" "$url/api/history?points=1280&instrument=$first&from=$((now - 7 * 86400000))&to=$now"
    "$url/api/events?instrument=$first&from=$((now - 7 * 86400000))&to=$now")
load() { # URLS...: one client, one connection, every request in turn; seconds in all
    local start end
    start=$(date +%s%N)
    curl -s "$@" >/dev/null
    end=$(date +%s%N)
    echo "($end - $start) / 1000000" | bc -l
}
for _ in $(seq "$rounds"); do load "${overview[@]}"; done | median | xargs printf "overview first load: %.1f ms (median of $rounds)\n"
for _ in $(seq "$rounds"); do load "${chart[@]}"; done | median | xargs printf 'chart page, 7 days: %.1f ms\n'
curl -s -o /dev/null -w 'history of 7 days at 1280 columns: %{size_download} bytes\n' "${chart[5]}"
stop

echo "== 2. /metrics with 100 instruments"
{
    printf '[store]\npath=%s/hundred.db\n' "$work"
    for i in $(seq 100); do printf '[instrument/i%d]\nport=%s/none%d\n' "$i" "$work" "$i"; done
    printf '[http]\nlisten=127.0.0.1:%d\n' "$port"
} >"$work/hundred.conf"
serve "$work/hundred.conf"
for _ in $(seq 200); do curl -s -o /dev/null -w '%{time_total}\n' "$url/metrics"; done | median |
    awk '{printf "/metrics: %.2f ms (median of 200, curl'"'"'s own time)\n", $1 * 1000}'
curl -s "$url/metrics" | wc -l | xargs printf '/metrics: %d lines\n'
# A flood: 20,000 requests over 10 connections at once; resident memory before and after.
rss_before=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
urls=()
for _ in $(seq 1000); do urls+=("$url/api/instruments" "$url/api/history?instrument=i1&points=2"); done
start=$(date +%s%N)
for _ in $(seq 10); do curl -s "${urls[@]}" >/dev/null & done
wait $(jobs -p | grep -v "^$pid$") 2>/dev/null || true
end=$(date +%s%N)
rss_after=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
printf 'flood of 20,000 requests from 10 clients: %.1f s, resident %.1f -> %.1f MiB\n' \
    "$(echo "($end - $start) / 1000000000" | bc -l)" "$(echo "$rss_before / 1024" | bc -l)" "$(echo "$rss_after / 1024" | bc -l)"
stop

echo "== 3. 50 stream clients, 32 instruments at 10 readings/s"
echo '{"rs232:period": 100}' >"$work/state.json"
for i in $(seq 32); do
    "$sim" --link "$work/tty$i" --serial "S$i" --state "$work/state.json" >/dev/null 2>&1 &
done
for i in $(seq 32); do for _ in $(seq 100); do [ -e "$work/tty$i" ] && break; sleep 0.05; done; done
{
    printf '[store]\npath=%s/live.db\n' "$work"
    for i in $(seq 32); do printf '[instrument/i%d]\nport=%s/tty%d\n' "$i" "$work" "$i"; done
    printf '[http]\nlisten=127.0.0.1:%d\n' "$port"
} >"$work/live.conf"
printf '%-10s %10s %10s\n' clients "cpu %" "rss MiB"
for clients in 0 50; do
    rm -f "$work"/live.db*
    serve "$work/live.conf"
    sleep 3
    streams=()
    for _ in $(seq "$clients"); do
        curl -s -N "$url/api/stream" >/dev/null &
        streams+=($!)
    done
    sleep 2
    before=$(cpu_ticks "$pid")
    sleep "$seconds"
    after=$(cpu_ticks "$pid")
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
    [ ${#streams[@]} -eq 0 ] || kill "${streams[@]}" 2>/dev/null || true
    stop
    printf '%-10s %10.2f %10.1f\n' "$clients" "$(echo "($after - $before) * 100 / $ticks / $seconds" | bc -l)" \
        "$(echo "$rss / 1024" | bc -l)"
done
