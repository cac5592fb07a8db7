#!/usr/bin/env bash
# A facility archive (frostgauge-monitor with [source/NAME] sections) against
# Debian's mosquitto on loopback:
#  1. INSTRUMENTS remote instruments at one reading a second for SECONDS, all
#     from one played source monitor: the archive's share of one core, its
#     resident memory, and its store's bytes per reading;
#  2. a replay of N readings: a source monitor whose store holds them (and has
#     published none), an archive that hears of the last one and asks for the
#     rest; the time until the archive holds all of them.
# Usage: bench/run-archive.sh BUILD_DIR [INSTRUMENTS] [SECONDS] [N]   (default 1000, 60 s, 1000000)
set -euo pipefail
build=$(realpath "${1:-build}")
instruments=${2:-1000}
seconds=${3:-60}
replay=${4:-1000000}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'user %s\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$(id -un)" "$port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >/dev/null 2>&1 &
broker=$!
sleep 0.5
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

# 1. Many remote instruments
printf '[store]\npath=%s/archive.db\n[mqtt]\nhost=127.0.0.1\nport=%s\nclient_id=archive\ntopic_prefix=bench/archive\n[source/lab]\nclient_id=lab-monitor\ntopic_prefix=bench/lab\n' \
    "$work" "$port" >"$work/archive.conf"
"$build/bin/frostgauge-monitor" --config "$work/archive.conf" 2>"$work/archive.log" &
archive=$!
sleep 1
"$build/bench/frostgauge-bench-remote-publisher" "$port" bench/lab lab-monitor "$instruments" $((seconds + 5)) >"$work/published.txt" &
publisher=$!
sleep 5 # every instrument heard of, the store's first pages made
t0=$(ticks $archive); b0=$(ticks $broker); s0=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks $archive); b1=$(ticks $broker); s1=$(date +%s.%N)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$archive/status")
wait $publisher
sleep 2
kill -TERM $archive; wait $archive || true
readings=$(sqlite3 "$work/archive.db" 'SELECT count(*) FROM readings')
bytes=$(stat -c %s "$work/archive.db")
awk -v t="$((t1 - t0))" -v b="$((b1 - b0))" -v hz="$hz" -v s0="$s0" -v s1="$s1" -v n="$instruments" -v rss="$rss" \
    -v readings="$readings" -v bytes="$bytes" -v published="$(cut -d' ' -f1 "$work/published.txt")" 'BEGIN {
    wall = s1 - s0
    printf "%d remote instruments at 1 Hz for %.0f s: archive %.1f %% of a core, broker %.1f %%, archive RSS %.1f MiB\n", n, wall, 100 * t / hz / wall, 100 * b / hz / wall, rss / 1024
    printf "stored %d of %d published readings, %.1f store bytes per reading\n", readings, published, bytes / readings
}'

# 2. A replay
"$build/bench/frostgauge-bench-history-store" "$work/source.db" --readings "$replay" --instrument cryo --acknowledged >/dev/null
printf '[store]\npath=%s/source.db\n[mqtt]\nhost=127.0.0.1\nport=%s\nclient_id=src-monitor\ntopic_prefix=bench/src\n[instrument/cryo]\nport=%s/absent\n' \
    "$work" "$port" "$work" >"$work/source.conf"
"$build/bin/frostgauge-monitor" --config "$work/source.conf" 2>"$work/source.log" &
source=$!
printf '[store]\npath=%s/replayed.db\n[mqtt]\nhost=127.0.0.1\nport=%s\nclient_id=archive2\ntopic_prefix=bench/archive2\n[source/src]\nclient_id=src-monitor\ntopic_prefix=bench/src\n' \
    "$work" "$port" >"$work/replay.conf"
sleep 1
replay=$(sqlite3 "$work/source.db" "SELECT count(*) FROM readings") # less the store's hour without readings
last=$(sqlite3 "$work/source.db" "SELECT seq, time_ms FROM readings ORDER BY seq DESC LIMIT 1")
stamp=$(date -u -d "@$(( ${last#*|} / 1000 ))" +%Y-%m-%dT%H:%M:%S)
# The source's last reading, as its monitor left it retained on the broker.
mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -r -t bench/src/cryo/temperature \
    -m "{\"time\":\"$stamp.000Z\",\"kelvin\":4.2,\"seq\":${last%|*}}"
start=$(date +%s.%N)
"$build/bin/frostgauge-monitor" --config "$work/replay.conf" 2>"$work/replay.log" &
replayer=$!
while :; do
    held=$(sqlite3 "file:$work/replayed.db?mode=ro" 'SELECT count(*) FROM readings' 2>/dev/null || echo 0)
    [ "$held" -ge "$replay" ] && break
    sleep 0.5
done
end=$(date +%s.%N)
kill -TERM $replayer $source; wait $replayer $source || true
echo "replay of $replay readings: $(echo "$end - $start" | bc -l | cut -c1-6) s end to end ($(grep -c 'asking for' "$work/replay.log") requests)"
