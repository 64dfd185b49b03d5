#!/bin/bash
# The sample pages of the release, as an administrator copies them into a
# site: the staged samples\ served by our ASP host with the staged 64-bit DLL
# registered in the project's 64-bit prefix, settings.ini pointing at a
# fresh upload folder; then samples.test.mjs posts real forms to every page.
#   samples.sh STAGE-FOLDER ASPHOST.EXE WORK-FOLDER
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/tools/host-url.sh"
stage=$1 host_exe=$2 work=$3
export VELMORA_WINE_ARCH=win64
run="$repo/tools/wine-run"
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }

rm -rf "$work"
mkdir -p "$work/uploads"
cp -r "$stage/samples" "$work/site"
# Only the folder changes: the rest of the settings are the shipped ones.
folder="$(windows_path "$work/uploads")\\"
sed -i "s|^UploadFolder=[^\r]*|UploadFolder=${folder//\\/\\\\}|" "$work/site/settings.ini"
grep -q "^UploadFolder=Z:" "$work/site/settings.ini" || { echo "samples: settings.ini has no UploadFolder line"; exit 1; }

"$run" regsvr32 /s "$(windows_path "$stage/x64/velmora32.dll")" </dev/null
"$run" reg query 'HKCR\Velmora32.Process\Clsid' </dev/null >/dev/null 2>&1 ||
    { echo "samples: the staged DLL did not register"; exit 1; }
"$run" reg add 'HKCU\Software\Wine\AppDefaults\asphost.exe' /v Version /d nt40 /f </dev/null >/dev/null 2>&1

: >"$work/host.log"
"$run" "$host_exe" --root "$(windows_path "$work/site")" --port 0 </dev/null >"$work/host.log" 2>&1 &
host_pid=$!
trap 'kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null || true' EXIT
url=$(host_url "$work/host.log" "$host_pid")
[ -n "$url" ] || { echo "samples: the host did not start"; cat "$work/host.log"; exit 1; }

status=0
SAMPLES_URL=$url SAMPLES_UPLOADS=$work/uploads node --test "$here/samples.test.mjs" || status=$?
[ $status -eq 0 ] || { echo "--- host log"; tail -n 40 "$work/host.log"; }
exit $status
