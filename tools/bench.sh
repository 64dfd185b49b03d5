#!/bin/sh
# Runs every benchmark program of a benchmark build (Release, no sanitizers).
set -eu
dir=$1
found=0
for b in $(find "$dir" -type f -name '*-bench' -perm -u+x | sort); do
    found=1
    echo "== $b"
    "$b"
done
[ $found -eq 1 ] || echo "bench: no benchmark programs in $dir"
