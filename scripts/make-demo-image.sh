#!/usr/bin/env bash
# Writes a small flash image for demonstrations: the three head blocks and N chunks of 32 blocks
# of random data, with an image directory of N 16-byte entries in block 2 (from byte 129030 of
# the block on, ended by an entry of 0xFF bytes), as the programmer tool expects of an image.
# Usage: make-demo-image.sh OUTPUT [N]   (N from 1 to 31, default 2)
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 OUTPUT [N]" >&2
    exit 2
fi
output=$1
chunks=${2:-2}
if ! [[ $chunks =~ ^[0-9]+$ ]] || [ "$chunks" -lt 1 ] || [ "$chunks" -gt 31 ]; then
    echo "$0: N must be a number from 1 to 31, not '$chunks'" >&2
    exit 2
fi

block_size=131072
directory_offset=$((2 * block_size + 129030))
blocks=$((3 + 32 * chunks))

dd if=/dev/urandom of="$output" bs=$block_size count=$blocks status=none
# From the directory on, block 2 is erased flash (0xFF): the entry after the last one ends the
# directory.
head -c $((block_size - 129030)) /dev/zero | tr '\0' '\377' |
    dd of="$output" bs=1 seek=$directory_offset conv=notrunc status=none
for ((i = 0; i < chunks; i++)); do
    printf 'NPX4 chunk %04d\n' "$i" |
        dd of="$output" bs=1 seek=$((directory_offset + 16 * i)) conv=notrunc status=none
done
