#!/usr/bin/env bash
# Builds the .deb, unpacks it into a scratch root and runs the installed tools
# from there; validates the desktop entry and the AppStream file when the
# validators are installed.
set -euo pipefail
build_dir=$1
source_dir=$2
scratch=$(mktemp -d)
trap 'kill "${sim:-}" 2>/dev/null || true; rm -rf "$scratch"' EXIT

cd "$build_dir"
cpack -G DEB -B "$scratch/out" >/dev/null
# Three packages: the window and viewer, the service with the command-line
# client, the developer aids.
declare -A wants=(
    [frostgauge]="libqt5widgets5 libqt5serialport5 libqwt-qt5-6 libsodium23 libsqlite3-0"
    [frostgauge-monitor]="libqt5serialport5 libsodium23 libsqlite3-0 libmosquitto1"
    [frostgauge-tools]="libqt5core5a"
)
for package in frostgauge frostgauge-monitor frostgauge-tools; do
    deb=$(ls "$scratch"/out/${package}_*.deb)
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "$package: $(basename "$deb"), depends: $depends"
    for lib in ${wants[$package]}; do
        grep -q "$lib" <<<"$depends" || { echo "$package: missing dependency on $lib"; exit 1; }
    done
    dpkg -x "$deb" "$scratch/root"
    dpkg -x "$deb" "$scratch/$package"
    # Each package's own summary line: apt show says what it is.
    echo "$package: $(dpkg-deb -f "$deb" Description | awk 'NR == 1')"
done
for pair in "frostgauge:window" "frostgauge-monitor:service" "frostgauge-tools:simulator"; do
    summary=$(dpkg-deb -f "$(ls "$scratch"/out/${pair%%:*}_*.deb)" Description | awk 'NR == 1')
    grep -qi "${pair#*:}" <<<"$summary" || { echo "${pair%%:*}: its summary does not say ${pair#*:}: $summary"; exit 1; }
done
# A headless server: nothing of the monitor package needs a display library.
grep -qE "libqt5widgets|libqt5gui|libqwt|libx11|libxcb" <<<"$(dpkg-deb -f "$(ls "$scratch"/out/frostgauge-monitor_*.deb)" Depends)" &&
    { echo "frostgauge-monitor depends on a display library"; exit 1; }
for binary in "$scratch"/frostgauge-monitor/usr/bin/*; do
    if ldd "$binary" | grep -E "libQt5Widgets|libQt5Gui|libqwt|libX11|libxcb"; then
        echo "$(basename "$binary") links a display library"
        exit 1
    fi
done
deb=$(ls "$scratch"/out/frostgauge-monitor_*.deb)

root=$scratch/root/usr
installed() {
    local package=$1
    shift
    for file in "$@"; do
        [ -e "$scratch/$package/usr/$file" ] || { echo "$package does not install $file"; exit 1; }
    done
}
installed frostgauge bin/frostgauge bin/frostgauge-history share/applications/frostgauge.desktop \
    share/applications/frostgauge-history.desktop share/man/man1/frostgauge-history.1 \
    share/icons/hicolor/scalable/apps/frostgauge.svg share/metainfo/org.norda.frostgauge.metainfo.xml \
    share/man/man1/frostgauge.1
installed frostgauge-monitor bin/frostgauge-cli bin/frostgauge-monitor lib/systemd/system/frostgauge-monitor.service \
    share/doc/frostgauge-monitor/monitor.conf share/man/man1/frostgauge-monitor.1 share/man/man1/frostgauge-cli.1
installed frostgauge-tools bin/frostgauge-sim bin/frostgauge-image share/man/man1/frostgauge-sim.1 \
    share/man/man1/frostgauge-image.1
# The version is written once, in CMake; the manual pages and the metainfo get it from there.
version=$(dpkg-deb -f "$deb" Version)
for page in "$root"/share/man/man1/frostgauge*.1; do
    grep -q "\"Frostgauge $version\"" "$page" || { echo "$page does not carry version $version"; exit 1; }
    # Escapes as troff reads them (\f), never control bytes in their place.
    if LC_ALL=C grep -qP '[\x00-\x08\x0b\x0c\x0e-\x1f]' "$page"; then echo "$page holds control bytes"; exit 1; fi
done
grep -q "<release version=\"$version\"" "$root/share/metainfo/org.norda.frostgauge.metainfo.xml" ||
    { echo "the metainfo does not carry version $version"; exit 1; }

# The installed image tool builds and verifies an image.
head -c 3000 /dev/urandom >"$scratch/build.bin"
"$root/bin/frostgauge-image" create --output "$scratch/test.crp" --version 1.6 --build r1="$scratch/build.bin" 2>/dev/null
"$root/bin/frostgauge-image" inspect "$scratch/test.crp" | grep -q "revision 1 (STM32G071KB), 3000 bytes"

[ -e "$scratch/root/etc/frostgauge/monitor.conf" ] || { echo "not installed: /etc/frostgauge/monitor.conf"; exit 1; }
dpkg-deb -e "$deb" "$scratch/control"
grep -qx /etc/frostgauge/monitor.conf "$scratch/control/conffiles" || { echo "monitor.conf is no conffile"; exit 1; }

# The sample configuration is one the installed monitor accepts.
"$root/bin/frostgauge-monitor" --config "$root/share/doc/frostgauge-monitor/monitor.conf" --check >/dev/null
QT_QPA_PLATFORM=offscreen "$root/bin/frostgauge-history" --version | grep -q "frostgauge-history $version"
# The installed client hands plot over to the viewer beside it, and says where
# plot went when the viewer's package is not installed.
"$root/bin/frostgauge-cli" plot "$scratch/none.db" -o "$scratch/x.png" 2>"$scratch/plot.err" || true
grep -q "^frostgauge-history: .*none.db" "$scratch/plot.err" ||
    { echo "the installed frostgauge-cli plot does not reach frostgauge-history: $(cat "$scratch/plot.err")"; exit 1; }
if PATH=/nonexistent "$scratch/frostgauge-monitor/usr/bin/frostgauge-cli" plot "$scratch/none.db" -o "$scratch/x.png" \
    2>"$scratch/plot.err"; then
    echo "plot without the viewer succeeded"
    exit 1
fi
grep -q "frostgauge-history (package frostgauge)" "$scratch/plot.err" ||
    { echo "plot without the viewer: $(cat "$scratch/plot.err")"; exit 1; }
# The unit as installed, its commands pointed at the monitor unpacked here:
# systemd finds nothing to warn about, and its sandbox rates 3.0 or lower.
sed "s|/usr/bin/frostgauge-monitor|$root/bin/frostgauge-monitor|g" \
    "$root/lib/systemd/system/frostgauge-monitor.service" >"$scratch/frostgauge-monitor.service"
verify=$(systemd-analyze verify --man=no "$scratch/frostgauge-monitor.service" 2>&1) ||
    { echo "systemd-analyze verify: $verify"; exit 1; }
[ -z "$verify" ] || { echo "systemd-analyze verify: $verify"; exit 1; }
systemd-analyze security --offline=true --threshold=30 "$scratch/frostgauge-monitor.service" >"$scratch/security" ||
    { echo "the unit's sandbox rates above 3.0: $(tail -1 "$scratch/security")"; exit 1; }

# The installed simulator comes up and names its terminal.
"$root/bin/frostgauge-sim" --link "$scratch/tty" >"$scratch/sim.out" &
sim=$!
for _ in $(seq 50); do [ -e "$scratch/tty" ] && break; sleep 0.1; done
[ -e "$scratch/tty" ] && grep -q '^/dev/pts/' "$scratch/sim.out"
kill "$sim"

if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$source_dir/data/frostgauge.desktop" "$source_dir/data/frostgauge-history.desktop"
fi
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net --pedantic "$root/share/metainfo/org.norda.frostgauge.metainfo.xml"
fi
man -l "$root/share/man/man1/frostgauge.1" >/dev/null 2>&1 || true
echo "package test passed"
