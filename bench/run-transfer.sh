#!/usr/bin/env bash
# Transfer overhead: the tool against a bare client (the floor), each doing the
# same exchange with a fresh simulator; the median of RUNS runs each.
# Usage: bench/run-transfer.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${2:-5}
sim=$build/bin/frostgauge-sim
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# once PROGRAM MODE SIZE [SIM OPTIONS...]: one exchange with a fresh simulator
once() {
    local program=$1 mode=$2 size=$3
    shift 3
    "$sim" --link "$work/tty" "$@" >/dev/null 2>&1 &
    local pid=$!
    for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.05; done
    "$program" "$mode" "$work/tty" "$size" 2>/dev/null
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true
}
measure() { for _ in $(seq "$runs"); do once "$@"; done | median; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

tool=$build/bench/frostgauge-bench-transfer
bare=$build/bench/bare-client
# The tool and the floor run in turns, so both see the same machine; the
# figure is the median of the per-pair ratios.
paired() { # MODE SIZE
    for _ in $(seq "$runs"); do
        local f t
        f=$(once "$bare" "$1" "$2"); t=$(once "$tool" "$1" "$2")
        echo "$t $f $(ratio "$t" "$f")"
    done | sort -k3 -n | awk '{a[NR]=$0} END {print a[int((NR+1)/2)]}'
}
echo "exchange                        tool s   floor s  ratio  (target; median pair)"
read -r t f r < <(paired upgrade 131072)
echo "firmware upgrade 128 KiB        $t    $f   $r   (<= 1.20 x floor)"
read -r t f r < <(paired curve 2000)
echo "calibration upload 2000 points  $t    $f   $r   (<= 1.20 x floor)"

# Paced to a real 115200-baud line: against the wire time of the bytes that
# cross it (commands out, acknowledgements back; the exchange is lockstep).
payload=131072
chunks=$(( (payload + 111) / 112 ))
out_bytes=$(( chunks * (4 + 6 + 1 + 224 + 1) - (chunks * 112 - payload) * 2 ))
in_bytes=$(( chunks * 10 ))
wire=$(awk -v b=$((out_bytes + in_bytes)) 'BEGIN {printf "%.3f", b * 10 / 115200}')
t=$(measure "$tool" upgrade "$payload" --pace-baud 115200)
echo "paced upgrade 128 KiB           $t    $wire   $(ratio "$t" "$wire")   (<= 1.05 x wire time)"
