#!/bin/sh
# Six processes saving one name into one folder at once, each running
# one-name-at-once.js, then a check of the file they left; fails when any of
# them does. The first run registers the DLLs.
#   one-name-at-once.sh RUN-SCRIPT [--register DLL]...
set -u
here=$(cd "$(dirname "$0")" && pwd)
run=$1
shift
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
windows_folder=$(printf 'Z:%s\\' "$folder" | tr / '\\')
"$run" "$@" "$here/one-name-at-once.js" "$windows_folder" r 1 || exit 1
pids=""
for fill in a b c d e f; do
    "$run" "$here/one-name-at-once.js" "$windows_folder" $fill 60 &
    pids="$pids $!"
done
status=0
for pid in $pids; do wait "$pid" || status=1; done
"$run" "$here/one-name-at-once.js" "$windows_folder" - 0 || status=1
exit $status
