#!/usr/bin/env bash
# Shows npx4-cli at work on the simulated programmer: writes a demo image to the simulated chip,
# verifies it, reads it back into a second file, hashes it and compares the two files. The chip
# lives in a storage file under the build directory, created afresh for every run.
# Usage: demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail

build_dir=${1:-build}
script_dir=$(cd "$(dirname "$0")" && pwd)
program="$build_dir/npx4-cli"
if [ ! -x "$program" ]; then
    echo "$program is not built yet: build the npx4-cli target first." >&2
    exit 1
fi
build_dir=$(cd "$build_dir" && pwd)
program="$build_dir/npx4-cli"
work="$build_dir/demo"
mkdir -p "$work"
storage="$work/demo-chip.bin"
rm -f "$storage" "$work/image.bin" "$work/readback.bin"
export NPX4_SIMULATOR="storage=$storage"

run() {
    echo "+ $*"
    "$@"
}

chunks=2
blocks=$((3 + 32 * chunks))
run "$script_dir/make-demo-image.sh" "$work/image.bin" "$chunks"
run "$program" info
run "$program" auto-write "$work/image.bin"
run "$program" verify "$work/image.bin"
run "$program" read "$work/readback.bin"
run "$program" hash --blocks "0...$((blocks - 1))"
run cmp "$work/image.bin" "$work/readback.bin"
echo "The image read back equals the original ($blocks blocks)."
