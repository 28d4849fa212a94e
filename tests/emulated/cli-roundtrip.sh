#!/usr/bin/env bash
# npx4-cli through the real USB driver to an emulated bridge: the programmer's information, then
# a small image written, verified, read back and compared, as `make demo` does on the simulator.
# Usage: cli-roundtrip.sh NPX4_CLI MAKE_DEMO_IMAGE WORK_DIR
set -euo pipefail

cli=$1
make_image=$2
work=$3
mkdir -p "$work"
rm -f "$work/image.bin" "$work/readback.bin"

run() {
    echo "+ $*"
    "$@"
}

echo "+ $cli info"
info=$("$cli" info)
echo "$info"
grep -qx "Firmware: 1.5" <<<"$info"
run "$make_image" "$work/image.bin" 1
run "$cli" auto-write "$work/image.bin"
run "$cli" verify "$work/image.bin"
run "$cli" read "$work/readback.bin"
run cmp "$work/image.bin" "$work/readback.bin"
echo "The image read back through the emulated bridge equals the original."
