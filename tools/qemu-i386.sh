#!/bin/sh
# Prints the path of a qemu-i386 user-mode emulator fast enough for 32-bit
# Wine, fetching it first when it is missing: QEMU 10 (`qemu-user` of the
# distribution's backports suite; the QEMU 7 of Debian 12 itself runs Wine
# about 150 times slower). The package is downloaded and unpacked into a
# cache folder, not installed: the machine's apt sources, its package state
# and its binfmt_misc registrations stay as they are. The archive is the one
# the machine already uses, read from its own apt sources.
#   VELMORA_QEMU_I386  an emulator to use instead (nothing is fetched)
#   VELMORA_CACHE      the cache folder (default ~/.cache/velmora32)
set -eu

if [ -n "${VELMORA_QEMU_I386:-}" ]; then
    [ -x "$VELMORA_QEMU_I386" ] || { echo "qemu-i386: $VELMORA_QEMU_I386 is not a program" >&2; exit 1; }
    printf '%s\n' "$VELMORA_QEMU_I386"
    exit 0
fi

cache="${VELMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmora32}"
qemu="$cache/qemu-user/qemu-i386"
if [ -x "$qemu" ]; then
    printf '%s\n' "$qemu"
    exit 0
fi

. /etc/os-release
suite="${VERSION_CODENAME:?}-backports"

# The first archive of the machine's sources that serves its own release,
# with the key it is signed with: deb822 files first, then one-line ones.
mirror="" keyring=""
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    line=$(awk -v codename="$VERSION_CODENAME" '
        /^[ \t]*$/ { if (uri != "" && ours) { print uri, key; exit } uri = ""; key = ""; ours = 0; next }
        tolower($1) == "uris:" { uri = $2 }
        tolower($1) == "signed-by:" { key = $2 }
        tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == codename) ours = 1 }
        END { if (uri != "" && ours) print uri, key }' "$f" | head -n 1)
    if [ -n "$line" ]; then
        mirror=${line%% *} keyring=${line#* }
        break
    fi
done
if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
             awk -v codename="$VERSION_CODENAME" '$1 == "deb" {
                 for (i = 2; i < NF; i++) if ($(i + 1) == codename && $i !~ /^\[/) { print $i; exit } }')
fi
[ -n "$mirror" ] || { echo "qemu-i386: no archive for $VERSION_CODENAME in the machine's apt sources" >&2; exit 1; }
[ -n "$keyring" ] && [ -f "$keyring" ] || keyring=/usr/share/keyrings/debian-archive-keyring.gpg

mkdir -p "$cache"
# One fetch at a time for every worktree sharing the cache.
exec 9>"$cache/qemu-user.lock"
flock 9
if [ ! -x "$qemu" ]; then
    work=$(mktemp -d "$cache/qemu-user.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/parts"
    echo "deb [signed-by=$keyring] $mirror $suite main" >"$work/sources.list"
    apt_private() {
        apt-get -q -o Dir::Etc::sourcelist="$work/sources.list" \
            -o Dir::Etc::sourceparts="$work/parts" -o Dir::State::Lists="$work/lists" \
            -o Dir::Cache="$work" -o Dir::Cache::archives="$work/archives" \
            -o APT::Sandbox::User=root "$@"
    }
    echo "qemu-i386: fetching qemu-user from $suite into $cache" >&2
    if ! { apt_private update && (cd "$work" && apt_private download "qemu-user/$suite"); } \
            >"$work/apt.log" 2>&1; then
        cat "$work/apt.log" >&2
        echo "qemu-i386: could not fetch qemu-user from $suite" >&2
        exit 1
    fi
    dpkg-deb -x "$work"/qemu-user_*.deb "$work/root"
    mkdir -p "$work/qemu-user"
    cp "$work/root/usr/bin/qemu-i386" "$work/qemu-user/"
    "$work/qemu-user/qemu-i386" --version | head -n 1 >&2
    rm -rf "$cache/qemu-user"
    mv "$work/qemu-user" "$cache/qemu-user"
fi
printf '%s\n' "$qemu"
