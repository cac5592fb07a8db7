#!/usr/bin/env bash
# MQTT publishing of frostgauge-monitor against Debian's mosquitto on loopback:
#  1. latency from a reading's arrival at the monitor (its time stamp, taken as
#     the simulator's line is read) to a subscriber receiving it, p50 and p99,
#     at 10 readings/s over SECONDS;
#  2. the rate at which a backlog of N readings in the store is published after
#     the broker was away (the subscriber counts them).
# Usage: bench/run-mqtt.sh BUILD_DIR [SECONDS] [N]   (default 30 s, 100000)
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-30}
backlog=${3:-100000}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'user %s\nlistener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n' "$(id -un)" "$port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >/dev/null 2>&1 &
sleep 0.5

# 1. Latency
echo '{"rs232:period": 100}' >"$work/state.json"
"$build/bin/frostgauge-sim" --link "$work/tty" --state "$work/state.json" >/dev/null 2>&1 &
for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
printf '[store]\npath=%s/live.db\n[mqtt]\nhost=127.0.0.1\nport=%s\nclient_id=bench\n[instrument/cryo]\nport=%s/tty\n' \
    "$work" "$port" "$work" >"$work/live.conf"
mosquitto_sub -h 127.0.0.1 -p "$port" -t frostgauge/cryo/temperature -F '%U %p' >"$work/received.txt" &
sub=$!
sleep 0.3
"$build/bin/frostgauge-monitor" --config "$work/live.conf" 2>/dev/null &
mon=$!
sleep "$seconds"
kill -TERM $mon; wait $mon || true
kill $sub; wait $sub 2>/dev/null || true
python3 - "$work/received.txt" <<'PY'
import json, sys, datetime
lat = []
for line in open(sys.argv[1]):
    stamp, payload = line.split(' ', 1)
    sent = datetime.datetime.fromisoformat(json.loads(payload)['time'].replace('Z', '+00:00')).timestamp()
    lat.append((float(stamp) - sent) * 1000)
lat.sort()
pick = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))]
print(f"latency over {len(lat)} readings: p50 {pick(0.5):.2f} ms, p99 {pick(0.99):.2f} ms, max {lat[-1]:.2f} ms")
PY

# 2. Backlog
"$build/bench/frostgauge-bench-history-store" "$work/backlog.db" --readings "$backlog" --instrument cryo >/dev/null
printf '[store]\npath=%s/backlog.db\n[mqtt]\nhost=127.0.0.1\nport=%s\nclient_id=bench2\n[instrument/cryo]\nport=%s/absent\n' \
    "$work" "$port" "$work" >"$work/backlog.conf"
mosquitto_sub -h 127.0.0.1 -p "$port" -t frostgauge/cryo/temperature -C "$backlog" -q 1 >/dev/null &
sub=$!
sleep 0.3
start=$(date +%s.%N)
"$build/bin/frostgauge-monitor" --config "$work/backlog.conf" 2>/dev/null &
mon=$!
wait $sub
end=$(date +%s.%N)
kill -TERM $mon; wait $mon || true
echo "backlog of $backlog readings published and received in $(echo "$end - $start" | bc -l | cut -c1-6) s: $(echo "$backlog / ($end - $start)" | bc -l | cut -d. -f1) readings/s"
