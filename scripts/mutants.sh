#!/usr/bin/env bash
# Mutation check of the test suites: applies each change listed in tests/mutants.txt to a scratch
# copy of the sources, rebuilds it incrementally and runs the suites. A change that makes a suite
# fail (or hang past the time-out) is caught; one that leaves every suite green has survived and
# points at a missing test. A change that no longer applies or does not build is reported apart.
#
# Usage: mutants.sh [BUILD_DIR] [FILTER]
#   FILTER (a regular expression) keeps only the entries whose file or find text matches it.
# Environment: MUTANT_TIMEOUT, seconds one run of the suites may take before the change counts as
# caught (a hang; default three times the unchanged run plus a minute); MUTANT_TESTS, a regular expression of the suites to run (ctest -R; default all),
# to check a few changes quickly against the suites that cover them: then only the programs those
# suites run are rebuilt for each change.
set -euo pipefail

build_dir=${1:-build}
filter=${2:-}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
list="$source_dir/tests/mutants.txt"
suites=()
[ -n "${MUTANT_TESTS:-}" ] && suites=(-R "$MUTANT_TESTS")
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
scratch="$build_dir/mutants/src"
scratch_build="$build_dir/mutants/build"

# The scratch copy holds the tracked files as they are in the work tree, so that uncommitted
# changes are checked too. Only files whose content differs from the copy are written (with a new
# time stamp), and files no longer tracked are removed: the scratch build stays incremental and
# never keeps objects built from other contents, even after a run stopped half-way.
python3 - "$source_dir" "$scratch" <<'PY'
import filecmp, os, shutil, subprocess, sys
source, scratch = sys.argv[1:3]
tracked = set(subprocess.check_output(["git", "ls-files", "-z"], cwd=source, text=True).split("\0"))
for root, _, names in os.walk(scratch):
    for name in names:
        if os.path.relpath(os.path.join(root, name), scratch) not in tracked:
            os.remove(os.path.join(root, name))
for name in tracked - {""}:
    target = os.path.join(scratch, name)
    if not os.path.isfile(target) or not filecmp.cmp(os.path.join(source, name), target, False):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(os.path.join(source, name), target)
PY

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$scratch" -B "$scratch_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNPX4_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
echo "Building the unchanged sources..."
cmake --build "$scratch_build" >/dev/null
# The suites' own time-outs are long, so a change that makes one hang is ended by the limit of the
# whole run instead.
limit=0
run_suites() {
    (cd "$scratch_build" && timeout "$limit" ctest -j "$(nproc)" "${suites[@]}" "$@" \
        >/dev/null 2>&1)
}
started=$SECONDS
if ! run_suites; then
    echo "The suites fail without any change: fix them first." >&2
    exit 1
fi
limit=${MUTANT_TIMEOUT:-$((3 * (SECONDS - started) + 60))}
targets=()
if [ ${#suites[@]} -gt 0 ]; then
    commands=$(cd "$scratch_build" && ctest -N -V "${suites[@]}" | sed -n 's/.*Test command: //p')
    for word in ${commands//\"/}; do
        if [[ $word == "$scratch_build"/* && -f $word && -x $word ]]; then
            targets+=(--target "${word##*/}")
        fi
    done
fi

# Entries: a line with the file (relative to the repository), "- TEXT" lines to find, "+ TEXT"
# lines to put in their place; several lines of either kind stand for consecutive lines. Blank lines
# and lines starting with "#" separate entries. Line breaks travel as \x1e in the list below.
mapfile -t entries < <(python3 - "$list" <<'PY'
import sys
path, find, replace = None, [], []
def flush():
    global find, replace
    if find and replace:
        print(f"{path}\t{chr(30).join(find)}\t{chr(30).join(replace)}")
    elif find or replace:
        sys.exit(f"{sys.argv[1]}: entry for {path} needs '-' and '+' lines")
    find, replace = [], []
for line in open(sys.argv[1], encoding="utf-8"):
    line = line.rstrip("\n")
    if not line.strip() or line.startswith("#"):
        flush()
    elif line.startswith("-") and not replace:
        find.append(line[2:])
    elif line.startswith("+") and find:
        replace.append(line[2:])
    else:
        flush()
        path = line.strip()
flush()
PY
)

apply_change() { # file find replace: exactly one occurrence, else no change
    python3 - "$@" <<'PY'
import sys
path, find, replace = (argument.replace(chr(30), "\n") for argument in sys.argv[1:4])
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
    label="$file: '${find//$'\x1e'/ | }' -> '${replace//$'\x1e'/ | }'"
    target="$scratch/$file"
    original=$(mktemp)
    cp "$target" "$original"
    if ! apply_change "$target" "$find" "$replace"; then
        echo "INVALID  $label (the text is not found exactly once)"
        invalid=$((invalid + 1))
    elif ! cmake --build "$scratch_build" "${targets[@]}" >/dev/null 2>&1; then
        echo "INVALID  $label (does not build)"
        invalid=$((invalid + 1))
    elif run_suites --stop-on-failure; then
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
