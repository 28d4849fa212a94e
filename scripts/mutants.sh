#!/usr/bin/env bash
# Mutation check of the test suites: applies each change listed in tests/mutants.txt to a scratch
# copy of the sources, rebuilds it incrementally and runs the suites. A change that makes a suite
# fail (or hang past the time-out) is caught; one that leaves every suite green has survived and
# points at a missing test. A change that no longer applies or does not build is reported apart.
#
# Usage: mutants.sh [BUILD_DIR] [FILTER]
#   FILTER (a regular expression) keeps only the entries whose file or find text matches it.
# Environment: MUTANT_TIMEOUT, seconds one suite may take before the change counts as caught
# (default 120).
set -euo pipefail

build_dir=${1:-build}
filter=${2:-}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
list="$source_dir/tests/mutants.txt"
timeout=${MUTANT_TIMEOUT:-120}
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
scratch="$build_dir/mutants/src"
scratch_build="$build_dir/mutants/build"

# The scratch copy holds the tracked files as they are in the work tree, so that uncommitted
# changes are checked too. Files keep their time stamps, so the scratch build stays incremental.
rm -rf "$scratch"
mkdir -p "$scratch"
(cd "$source_dir" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$scratch"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$scratch" -B "$scratch_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNPX4_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
echo "Building the unchanged sources..."
cmake --build "$scratch_build" >/dev/null
if ! (cd "$scratch_build" && ctest -j "$(nproc)" --timeout "$timeout" >/dev/null 2>&1); then
    echo "The suites fail without any change: fix them first." >&2
    exit 1
fi

# Entries: a line with the file (relative to the repository), a line "- TEXT" to find, a line
# "+ TEXT" to put in its place. Blank lines and lines starting with "#" separate entries.
mapfile -t entries < <(python3 - "$list" <<'PY'
import sys
path = find = None
for number, line in enumerate(open(sys.argv[1], encoding="utf-8"), 1):
    line = line.rstrip("\n")
    if not line.strip() or line.startswith("#"):
        continue
    if line.startswith("- "):
        find = line[2:]
    elif line.startswith("+ "):
        if path is None or find is None:
            sys.exit(f"{sys.argv[1]}:{number}: '+' line without file and '-' line")
        print(f"{path}\t{find}\t{line[2:]}")
        path = find = None
    else:
        path = line.strip()
PY
)

apply_change() { # file find replace: exactly one occurrence, else no change
    python3 - "$@" <<'PY'
import sys
path, find, replace = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
if text.count(find) != 1:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(text.replace(find, replace))
PY
}

caught=0
survived=0
invalid=0
for entry in "${entries[@]}"; do
    IFS=$'\t' read -r file find replace <<<"$entry"
    if [ -n "$filter" ] && ! grep -qE -- "$filter" <<<"$file $find"; then
        continue
    fi
    label="$file: '$find' -> '$replace'"
    target="$scratch/$file"
    original=$(mktemp)
    cp "$target" "$original"
    if ! apply_change "$target" "$find" "$replace"; then
        echo "INVALID  $label (the text is not found exactly once)"
        invalid=$((invalid + 1))
    elif ! cmake --build "$scratch_build" >/dev/null 2>&1; then
        echo "INVALID  $label (does not build)"
        invalid=$((invalid + 1))
    elif (cd "$scratch_build" && ctest -j "$(nproc)" --timeout "$timeout" --stop-on-failure \
        >/dev/null 2>&1); then
        echo "SURVIVED $label"
        survived=$((survived + 1))
    else
        echo "caught   $label"
        caught=$((caught + 1))
    fi
    # A plain copy gives the restored file a new time stamp, so the next build recompiles it.
    cp "$original" "$target"
    rm -f "$original"
done
cmake --build "$scratch_build" >/dev/null 2>&1 || true

total=$((caught + survived + invalid))
echo "Mutants: $caught caught, $survived survived, $invalid invalid, of $total."
[ "$survived" -eq 0 ] && [ "$invalid" -eq 0 ]
