#!/usr/bin/env bash
# Start-up under X (Xvfb): time to the first mapped window and peak resident
# memory of frostgauge and frostgauge-history, each against CuteCom (a generic
# Qt serial terminal from Debian, installed here if missing), in alternating
# pairs, each start with a fresh settings folder. Medians and ranges.
# Usage: bench/run-startup-x11.sh BUILD_DIR [PAIRS]
# With QT_XCB_GL_INTEGRATION set in the environment, the programs take it
# (xcb_glx shows what they cost with Qt's default GL integration).
set -euo pipefail
build=$(realpath "${1:-build}")
pairs=${2:-7}
if ! command -v cutecom >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y -qq cutecom >/dev/null; else sudo apt-get install -y -qq cutecom >/dev/null; fi
fi
watch=$build/bench/frostgauge-bench-window-mapped
work=$(mktemp -d)
trap 'kill "${xvfb:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
export DISPLAY=$display
unset QT_QPA_PLATFORM

# A store for the viewer to show: a day of one instrument.
"$build/bench/frostgauge-bench-history-store" "$work/day.db" 1 >/dev/null

# once NAME PROGRAM [ARGUMENTS...]: "ms kib" of one start with fresh settings
once() {
    local name=$1
    shift
    rm -rf "$work/config" && mkdir -p "$work/config"
    XDG_CONFIG_HOME=$work/config HOME=$work/config "$watch" 500 "$@" 2>/dev/null | sed "s/^/$name /"
}
for i in $(seq "$pairs"); do
    if [ $((i % 2)) -eq 1 ]; then
        once frostgauge "$build/bin/frostgauge"; once cutecom cutecom
        once history "$build/bin/frostgauge-history" "$work/day.db"; once cutecom2 cutecom
    else
        once cutecom cutecom; once frostgauge "$build/bin/frostgauge"
        once cutecom2 cutecom; once history "$build/bin/frostgauge-history" "$work/day.db"
    fi
done >"$work/runs"

stats() { # NAME COLUMN: median min max
    awk -v n="$1" -v c="$2" '$1 == n {print $c}' "$work/runs" | sort -n |
        awk '{a[NR]=$1} END {printf "%s %s %s", a[int((NR+1)/2)], a[1], a[NR]}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
report() { # NAME CUTECOM_NAME
    read -r tm tlo thi <<<"$(stats "$1" 2)"
    read -r cm clo chi <<<"$(stats "$2" 2)"
    read -r mm mlo mhi <<<"$(stats "$1" 3)"
    read -r km klo khi <<<"$(stats "$2" 3)"
    printf "%-20s %6.1f ms (%s-%s) against %6.1f ms (%s-%s): %s x   %6.1f MiB (%.1f-%.1f) against %6.1f MiB: %s x\n" \
        "$1" "$tm" "$tlo" "$thi" "$cm" "$clo" "$chi" "$(ratio "$tm" "$cm")" \
        "$(awk -v k="$mm" 'BEGIN {print k / 1024}')" "$(awk -v k="$mlo" 'BEGIN {print k / 1024}')" \
        "$(awk -v k="$mhi" 'BEGIN {print k / 1024}')" "$(awk -v k="$km" 'BEGIN {print k / 1024}')" "$(ratio "$mm" "$km")"
}
echo "first mapped window and peak memory, medians of $pairs alternating pairs against CuteCom"
echo "(QT_XCB_GL_INTEGRATION=${QT_XCB_GL_INTEGRATION:-unset})"
report frostgauge cutecom
report history cutecom2
