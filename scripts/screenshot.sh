#!/usr/bin/env bash
# Takes docs/screenshot.png: the program on the simulated programmer under a virtual X server,
# started with an image file, after it has written the image to the chip, listed the chip's bad
# blocks and while it reads the image back. Usage:
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
Xvfb "$display" -screen 0 760x540x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

# The picture shows the image where a technician keeps one, on a stick, not in the temporary
# folder: a mount namespace of the program's own puts it there. Where none can be made, the
# temporary path shows.
image="$work/image.bin"
shown=/media/technician/STICK/router-v2.bin
launch=(env)
if unshare --user --map-root-user --mount true 2>/dev/null; then
    image=$shown
    launch=(unshare --user --map-root-user --mount sh -c 'mount -t tmpfs tmpfs /media &&
        mkdir -p "$(dirname "$1")" && cp "$2" "$1" && shift 2 && exec "$@"' sh "$shown" "$work/image.bin")
else
    echo "No mount namespace: the screenshot shows the temporary path of the image." >&2
fi

# Settings and chip of their own, so that the picture does not depend on earlier runs; a link of
# 2 MB/s, so that the read back is caught while it runs.
XDG_CONFIG_HOME="$work/config" LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb \
    NPX4_SIMULATOR="rate=2000000;bad=5,700" "${launch[@]}" "$program" "$image" >/dev/null 2>&1 &
pids+=($!)
window=$(xdotool search --sync --name "Velmora NPX4 Programmer" | head -n 1)
keys() { xdotool windowfocus --sync "$window" key --clearmodifiers "$@"; }

sleep 4          # the image is loaded and the programmer opened 500 ms after the start
keys ctrl+r      # leave the read-only mode
sleep 0.5
keys alt+a       # auto-write: erase, program and verify
sleep 9
keys ctrl+r
sleep 0.5
keys alt+d       # the chip's bad blocks, shown in the editor
sleep 2
xdotool key Escape
sleep 0.5
keys alt+r       # read the image back
sleep 1.5

mkdir -p "$(dirname "$output")"
import -window "$window" "$output"
echo "Saved $output"
