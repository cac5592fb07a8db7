#!/usr/bin/env bash
# What the monitor's fan-out costs where nobody listens, and what publishing
# adds, side by side with the same N simulated instruments at 10 readings/s:
#  - its share of one core over SECONDS (after 3 s to connect), in ROUNDS
#    that take the configurations in turn (so that the machine's drift falls
#    on each alike): the floor (frostgauge-bench-floor-logger: the readings
#    into the same SQLite table with no framework), the plain monitor, the
#    monitor with [http] and no page open, the monitor with [mqtt] and a broker;
#  - MQTT latency at 10 readings/s, from a reading's time stamp to a
#    subscriber, against a bare `mosquitto_pub -l` on the same broker fed
#    stamped lines at the same rate. Both stamps are whole milliseconds, cut
#    down as the monitor's are (which adds half a millisecond on average to
#    both figures).
# Usage: bench/run-fanout.sh BUILD_DIR [SECONDS] [ROUNDS] [N]   (default 60 s, 10 rounds, 32)
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-60}
rounds=${3:-10}
n=${4:-32}
sim=$build/bin/frostgauge-sim
monitor=${MONITOR:-$build/bin/frostgauge-monitor} # MONITOR= another build's, to compare
floor=$build/bench/frostgauge-bench-floor-logger
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

broker_port=$(free_port)
printf 'user %s\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$(id -un)" "$broker_port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >/dev/null 2>&1 &
http_port=$(free_port)

echo '{"rs232:period": 100}' >"$work/state.json"
for i in $(seq "$n"); do
    "$sim" --link "$work/tty$i" --serial "S$i" --state "$work/state.json" >/dev/null 2>&1 &
done
for i in $(seq "$n"); do for _ in $(seq 100); do [ -e "$work/tty$i" ] && break; sleep 0.05; done; done

instruments() { for i in $(seq "$n"); do printf '[instrument/i%d]\nport=%s/tty%d\n' "$i" "$work" "$i"; done; }
{ printf '[store]\npath=%s/store.db\n' "$work"; instruments; } >"$work/plain.conf"
{ cat "$work/plain.conf"; printf '[http]\nlisten=127.0.0.1:%s\n' "$http_port"; } >"$work/http.conf"
{ cat "$work/plain.conf"; printf '[mqtt]\nhost=127.0.0.1\nport=%s\nclient_id=fanout\n' "$broker_port"; } >"$work/mqtt.conf"

# One round of one configuration: its share of a core, in percent.
measure() {
    rm -f "$work"/store.db*
    if [ "$1" = floor ]; then
        "$floor" "$work/store.db" $(for i in $(seq "$n"); do echo "$work/tty$i"; done) 2>/dev/null &
    else
        "$monitor" --config "$work/$1.conf" 2>/dev/null &
    fi
    local pid=$!
    sleep 3
    local before; before=$(cpu_ticks $pid)
    sleep "$seconds"
    local after; after=$(cpu_ticks $pid)
    kill -TERM $pid
    wait $pid || true
    echo "($after - $before) * 100 / $ticks / $seconds" | bc -l
}

configs=(floor plain http mqtt)
declare -A samples
for round in $(seq "$rounds"); do
    for config in "${configs[@]}"; do
        samples[$config]+="$(measure "$config") "
    done
    echo "round $round done" >&2
done
median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
floor_median=$(echo "${samples[floor]}" | median)
printf '%-8s %10s %10s   %s\n' config "cpu % p50" "x floor" "rounds"
for config in "${configs[@]}"; do
    m=$(echo "${samples[$config]}" | median)
    printf '%-8s %10.3f %10.2f   %s\n' "$config" "$m" "$(echo "$m / $floor_median" | bc -l)" "${samples[$config]}"
done

# MQTT latency: the monitor's readings of one instrument, then a bare publisher.
latency() {
    python3 - "$1" <<'PY'
import json, sys
lat = []
for line in open(sys.argv[1]):
    stamp, payload = line.split(' ', 1)
    try:
        sent = json.loads(payload)['sent']
    except (ValueError, KeyError):
        import datetime
        sent = datetime.datetime.fromisoformat(json.loads(payload)['time'].replace('Z', '+00:00')).timestamp()
    lat.append((float(stamp) - sent) * 1000)
lat.sort()
pick = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))]
print(f"p50 {pick(0.5):.2f} ms, p99 {pick(0.99):.2f} ms over {len(lat)}")
PY
}
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t frostgauge/i1/temperature -F '%U %p' >"$work/monitor-latency.txt" &
sub=$!
sleep 0.3
"$monitor" --config "$work/mqtt.conf" 2>/dev/null &
mon=$!
sleep "$seconds"
kill -TERM $mon; wait $mon || true
kill $sub; wait $sub 2>/dev/null || true
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t bench/bare -F '%U %p' >"$work/bare-latency.txt" &
sub=$!
sleep 0.3
python3 -c "
import time, sys
end = time.time() + $seconds
while time.time() < end:
    print('{\"sent\": %.3f}' % (int(time.time() * 1000) / 1000), flush=True)
    time.sleep(0.1)
" | mosquitto_pub -h 127.0.0.1 -p "$broker_port" -t bench/bare -q 1 -l
sleep 0.5
kill $sub; wait $sub 2>/dev/null || true
echo "MQTT latency, monitor (QoS 1):  $(latency "$work/monitor-latency.txt")"
echo "MQTT latency, mosquitto_pub -l: $(latency "$work/bare-latency.txt")"
