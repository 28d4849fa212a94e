#!/usr/bin/env bash
# Starts the desktop program on the simulated programmer. The link runs at about 8 MB/s, as a
# real programmer's does, so that the progress of an operation can be watched, and the chip keeps
# its contents between runs in a file under the build directory.
set -euo pipefail
build_dir=${1:-build}
program="$build_dir/npx4-prog"
if [ ! -x "$program" ]; then
    echo "$program is not built yet: run 'make build' first." >&2
    exit 1
fi
storage="$(cd "$build_dir" && pwd)/simulated-chip.bin"
export NPX4_SIMULATOR="${NPX4_SIMULATOR:-rate=8000000;storage=$storage}"
exec "$program"
