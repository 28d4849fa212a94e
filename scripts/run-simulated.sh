#!/usr/bin/env bash
# Starts the desktop program on the simulated programmer.
set -euo pipefail
build_dir=${1:-build}
program="$build_dir/npx4-prog"
if [ ! -x "$program" ]; then
    echo "The desktop program is not built yet: only the core library and its tests exist so far."
    exit 0
fi
export NPX4_SIMULATOR="${NPX4_SIMULATOR:-1}"
exec "$program"
