#!/bin/sh
# Installs what the build and the tests need, through apt, only when missing.
# Idempotent: a machine that has everything runs no apt command at all.
set -eu

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

need=""
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

for p in mingw-w64 mingw-w64-tools wine wine32:i386 wine64 libwine-dev cmake make g++ clang \
         libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev curl \
         openssl python3 chromium wixl msitools; do
    have "$p" || need="$need $p"
done

# Node.js may come from outside Debian (as on these machines); only install
# Debian's when there is none at all.
command -v node >/dev/null 2>&1 || need="$need nodejs npm"

if [ -n "$need" ]; then
    echo "setup: installing:$need"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need
fi

# A kernel without IA-32 emulation runs 32-bit Wine only through qemu-i386
# (tools/with-qemu-i386): fetched into a cache folder, not installed.
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/tools/runs-32bit.sh" || "$here/tools/qemu-i386.sh" >/dev/null
