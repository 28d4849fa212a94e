#!/usr/bin/env bash
# Takes docs/screenshot.png: the program on the simulated programmer under a virtual X server,
# after it has written a small image to the chip and read it back. Usage:
#   scripts/screenshot.sh [build directory] [output file]
set -euo pipefail
build_dir=${1:-build}
output=${2:-docs/screenshot.png}
program="$(cd "$build_dir" && pwd)/npx4-prog"
[ -x "$program" ] || { echo "$program is not built yet: run 'make build' first." >&2; exit 1; }

missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v import >/dev/null || missing+=(imagemagick)
command -v xdotool >/dev/null || missing+=(xdotool)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# An image of 3 + 32 blocks whose directory (block 2, byte 129030) has one entry.
block=131072
head -c $((35 * block)) /dev/urandom >"$work/image.bin"
{ printf 'NPX4-SCREENSHOT!'; head -c 16 /dev/zero | tr '\0' '\377'; } |
    dd of="$work/image.bin" bs=1 seek=$((2 * block + 129030)) conv=notrunc status=none

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 560x480x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

# Settings and chip of their own, so that the picture does not depend on earlier runs.
XDG_CONFIG_HOME="$work/config" LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb \
    NPX4_SIMULATOR="rate=8000000;storage=$work/chip.bin" "$program" >/dev/null 2>&1 &
pids+=($!)
window=$(xdotool search --sync --name "Velmora NPX4 Programmer" | head -n 1)
keys() { xdotool windowfocus --sync "$window" key --clearmodifiers "$@"; }

sleep 3          # the programmer is opened 500 ms after the start, and answers within a second
keys alt+l       # load the image through the file dialog
sleep 1
xdotool type --delay 20 "$work/image.bin"
xdotool key Return
sleep 2
keys ctrl+r      # leave the read-only mode
sleep 0.5
keys alt+a       # auto-write: erase, program and verify
sleep 6
keys ctrl+r
sleep 0.5
keys alt+r       # read the image back
sleep 4

mkdir -p "$(dirname "$output")"
import -window "$window" "$output"
echo "Saved $output"
