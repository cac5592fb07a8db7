#!/usr/bin/env bash
# Start-up time to the first shown window and peak resident memory, the
# program against a minimal Qt Widgets + Qwt window; medians of RUNS runs.
# Usage: bench/run-startup.sh BUILD_DIR [RUNS]
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${2:-10}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} XDG_CONFIG_HOME=$(mktemp -d)
program=$build/bench/frostgauge-bench-startup
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
measure() { # FIELD ARGS...
    local field=$1; shift
    for _ in $(seq "$runs"); do /usr/bin/time -f "%e %M" "$program" "$@" 2>&1 >/dev/null | tail -1; done |
        awk -v f="$field" '{print $f}' | median
}
# Time: the whole of RUNS starts, divided (finer than /usr/bin/time's 10 ms).
elapsed() {
    local start end
    start=$(date +%s%N)
    for _ in $(seq "$runs"); do "$program" "$@" >/dev/null 2>&1; done
    end=$(date +%s%N)
    awk -v ns=$((end - start)) -v n="$runs" 'BEGIN {printf "%.4f", ns / n / 1e9}'
}
t=$(elapsed); m=$(measure 2)
tf=$(elapsed minimal); mf=$(measure 2 minimal)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
echo "                 frostgauge   minimal window   ratio  (target)"
echo "time to window   ${t} s       ${tf} s           $(ratio "$t" "$tf")   (<= 1.30)"
echo "peak resident    ${m} KiB   ${mf} KiB       $(ratio "$m" "$mf")   (<= 1.20)"
