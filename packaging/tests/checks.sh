# Sourced by the packaging tests (with $repo the repository and $work their
# work folder): Wine in the project's 64-bit prefix, the checks and their
# count, and skipping what needs 32-bit programs where none can run, natively
# or under tools/with-qemu-i386 (tools/runs-32bit.sh). finish ends a test: 1 when a check failed, 77
# (CTest's "skipped") when all passed but some were skipped, else 0.
failures=0 skipped=0

in_wine() {  # arch (win64: 64-bit programs, wow64: 32-bit ones), program, arguments...
    VELMORA_WINE_ARCH=$1 "$repo/tools/wine-run" "${@:2}" </dev/null
}
# Wine maps the Unix root to drive Z:.
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }
ok() { printf 'ok: %s\n' "$1"; }
fail() { printf 'FAILED: %s\n' "$1"; failures=$((failures + 1)); }
expect() {  # name, actual, expected
    if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: got [$2], expected [$3]"; fi
}
runs_32bit() { "$repo/tools/runs-32bit.sh"; }
skip() { printf 'SKIPPED: %s: no 32-bit program runs here, natively or emulated\n' "$1"; skipped=$((skipped + 1)); }

# bitness.vbs in one bitness: both objects are created and Version ends as
# expected, or ("none") neither class is there.
objects() {  # name, arch, expected ending or "none"
    if [ "$2" = wow64 ] && ! runs_32bit; then
        skip "$1"
    elif VELMORA_WINE_ARCH=$2 "$repo/tools/run-script.sh" "$repo/dll/scripts/bitness.vbs" "$3" \
             >"$work/script.log" 2>&1; then
        ok "$1"
    else
        fail "$1"
        cat "$work/script.log"
    fi
}

finish() {  # test name
    echo "$1: $failures failed, $skipped skipped"
    [ "$failures" -eq 0 ] || exit 1
    [ "$skipped" -eq 0 ] || exit 77
    exit 0
}
