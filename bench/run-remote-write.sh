#!/usr/bin/env bash
# Remote write at a facility's scale: INSTRUMENTS remote instruments at one
# reading a second (one played source monitor, as bench #13) into an archive
# that pushes every reading to VictoriaMetrics by Prometheus remote write, for
# SECONDS. Prints the archive's share of one core and resident memory, the
# bytes on the wire per sample (HTTP included), and the engine's bytes on disk
# per sample beside the archive store's bytes per reading.
# Usage: bench/run-remote-write.sh BUILD_DIR [INSTRUMENTS] [SECONDS]   (default 1000, 180 s)
set -euo pipefail
build=$(realpath "${1:-build}")
instruments=${2:-1000}
seconds=${3:-180}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
vm_port=$(free_port)
printf 'user %s\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$(id -un)" "$port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >/dev/null 2>&1 &
victoria-metrics -storageDataPath="$work/vm" -httpListenAddr="127.0.0.1:$vm_port" -loggerLevel=ERROR >/dev/null 2>&1 &
vm="http://127.0.0.1:$vm_port"
for _ in $(seq 100); do curl -sf "$vm/health" >/dev/null && break; sleep 0.1; done
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
metric() { curl -s "$vm/metrics" | awk -v m="$1" 'index($0, m) == 1 {sum += $NF} END {print sum + 0}'; }

printf '[store]\npath=%s/archive.db\n[mqtt]\nhost=127.0.0.1\nport=%s\nclient_id=archive\ntopic_prefix=bench/archive\n[source/lab]\nclient_id=lab-monitor\ntopic_prefix=bench/lab\n[remote_write]\nurl=%s/api/v1/write\n' \
    "$work" "$port" "$vm" >"$work/archive.conf"
"$build/bin/frostgauge-monitor" --config "$work/archive.conf" 2>"$work/archive.log" &
archive=$!
sleep 1
"$build/bench/frostgauge-bench-remote-publisher" "$port" bench/lab lab-monitor "$instruments" $((seconds + 5)) >"$work/published.txt" &
publisher=$!
sleep 5
t0=$(ticks $archive); s0=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks $archive); s1=$(date +%s.%N)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$archive/status")
wait $publisher
readings=$(sqlite3 "file:$work/archive.db?mode=ro" 'SELECT count(*) FROM readings')
# Every stored reading in the engine.
for _ in $(seq 600); do
    [ "$(metric 'vm_protoparser_rows_read_total{type="promremotewrite"}')" -ge "$readings" ] && break
    sleep 0.5
done
kill -TERM $archive; wait $archive || true
curl -s "$vm/internal/force_flush" >/dev/null
sleep 1
rows=$(metric 'vm_protoparser_rows_read_total{type="promremotewrite"}')
wire=$(metric 'vm_tcplistener_read_bytes_total')
disk=$(metric 'vm_data_size_bytes')
store=$(stat -c %s "$work/archive.db")
awk -v t="$((t1 - t0))" -v hz="$hz" -v s0="$s0" -v s1="$s1" -v n="$instruments" -v rss="$rss" -v rows="$rows" \
    -v readings="$readings" -v wire="$wire" -v disk="$disk" -v store="$store" 'BEGIN {
    wall = s1 - s0
    printf "%d series at 1 Hz for %.0f s into VictoriaMetrics: archive %.1f %% of a core, %.1f MiB resident\n", n, wall, 100 * t / hz / wall, rss / 1024
    printf "%d readings stored, %d samples taken by the engine; %.2f bytes on the wire per sample\n", readings, rows, wire / rows
    printf "engine %.2f bytes on disk per sample (after a few minutes: its merges shrink it further), our store %.1f\n", disk / rows, store / readings
}'
