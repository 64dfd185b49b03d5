#!/bin/bash
# The x64 Windows Installer package in a fresh 64-bit Wine prefix of its own,
# as an administrator meets it on 64-bit Windows:
#   - the x86 package, for 32-bit Windows, refuses to install;
#   - msiexec /i /qn installs both DLLs under Program Files; the 64-bit and
#     the 32-bit cscript each create both objects and get their own bitness;
#   - a sample page runs in our ASP host from the installed files;
#   - the next version installs over it and leaves one product; the older one
#     then refuses to install;
#   - msiexec /x leaves no file and no registry key in either view (the
#     registry before the installation against the registry after removal);
#   - the package's registry rows are what regsvr32 writes for the same
#     files, apart from the long or the short form of a DLL's path.
# Where the machine runs no 32-bit programs (tools/runs-32bit.sh), the 32-bit
# parts are skipped and said to be, and a run that passes all the others
# exits 77 (CTest's "skipped"), not 0.
#   msi.sh PACKAGE-x64.msi PACKAGE-x86.msi NEXT-VERSION-x64.msi ASPHOST.EXE WORK-FOLDER
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
. "$repo/tools/host-url.sh"
package=$1 package_x86=$2 next=$3 host_exe=$4 work=$5
# The release's files as stage.cmake laid them out (the zip's top folder).
stage="$(dirname "$package")/stage/$(basename "$package" -x64.msi)"

export VELMORA_WINEPREFIX64="$work/wineprefix64"
prefix=$VELMORA_WINEPREFIX64
. "$here/checks.sh"
registry="$here/registry.py"
# Wine's programs register their own type libraries on first use (cscript's,
# the FileSystemObject's): rows under the class registrations count when they
# are the component's (its class, interface and library identifiers, its
# ProgIDs) or Windows Installer's, every row elsewhere counts.
ours='\{(86E920FB-A305-400B-AFBF-E935A661603E|7575A79E-03FB-4D31-A468-52FF8811FECC|2B7D9636-BE33-4327-807E-E095EB859B7A|B9A4A703-A22D-47BB-89FD-3B1D78677827|7A515CF5-2A75-43C2-88EB-0E5AB9DBA668)\}|\\Velmora32\.(Process|HTTP)(\\|\t)|\\Classes\\Installer(\\|\t)|^(?!HKEY_LOCAL_MACHINE\\Software\\(Wow6432Node\\)?Classes\\)'

# The rows of the registry (both views: the 32-bit one is under Wow6432Node)
# under a key, into a file.
snapshot() {  # key, file
    in_wine win64 reg export "$1" "$(windows_path "$work")\\export.reg" /y >/dev/null 2>&1 &&
        python3 "$registry" rows "$work/export.reg" | grep -P "$ours" >"$2"
}
msiexec() {  # arguments...: msiexec's exit status, which Wine cuts to 8 bits
    in_wine win64 msiexec "$@" >/dev/null 2>&1
}
# The version a package's file name says.
version_of() { basename "$1" | sed -E 's/^velmora32-(.*)-x(64|86)\.msi$/\1/'; }
# The products installed under the name Velmora32: "version" per line.
products() {
    snapshot 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' "$work/uninstall.rows"
    grep -P '\tDisplayName\t"Velmora32"$' "$work/uninstall.rows" | cut -f1 | while read -r key; do
        grep -F "$key"$'\tDisplayVersion\t' "$work/uninstall.rows" | cut -f3 | tr -d '"'
    done
}
# A value of the installed product's uninstall key, as products() last saw it.
uninstall_value() {  # name
    grep -P '\tDisplayName\t"Velmora32"$' "$work/uninstall.rows" | cut -f1 | while read -r key; do
        grep -F "$key"$'\t'"$1"$'\t' "$work/uninstall.rows" | cut -f3
    done
}
rm -rf "$work"
mkdir -p "$work"
VELMORA_WINE_ARCH=win64 "$repo/tools/wineprefix.sh" >/dev/null
VELMORA_WINE_ARCH=win64 "$repo/tools/with-wineserver" true
stop_wine() { WINEPREFIX="$prefix" wineserver -k 2>/dev/null; }
trap stop_wine EXIT
installed="$prefix/drive_c/Program Files/Velmora32"
classes='HKLM\Software\Classes'

snapshot 'HKLM\Software' "$work/before.rows"
snapshot "$classes" "$work/classes-before.rows"

# --- The x86 package is for 32-bit Windows only
msiexec /i "$(windows_path "$package_x86")" /qn
status=$?
[ "$status" -ne 0 ] && ok "the x86 package refuses 64-bit Windows (exit status $status)" ||
    fail "the x86 package refuses 64-bit Windows"
expect "no product after the x86 package" "$(products)" ""

# --- Installed
msiexec /i "$(windows_path "$package")" /qn
expect "msiexec /i: exit status" "$?" 0
for file in x86/velmora32.dll x64/velmora32.dll README.txt docs/iis.md docs/reference.md \
            samples/upload.asp samples/upload-jscript.asp samples/direct.asp samples/client.asp \
            samples/progress.asp samples/settings.ini; do
    if [ -f "$installed/$file" ]; then ok "installed $file"; else fail "installed $file"; fi
done
cmp -s "$installed/x64/velmora32.dll" "$stage/x64/velmora32.dll" &&
    ok "the 64-bit DLL is the built one" || fail "the 64-bit DLL is the built one"
expect "one product" "$(products)" "$(version_of "$package")"
# What Programs and Features shows: where the product is, and who made it.
expect "InstallLocation" "$(uninstall_value InstallLocation)" '"C:\\Program Files\\Velmora32\\"'
expect "Publisher" "$(uninstall_value Publisher)" '"Velmora32 project"'
snapshot "$classes" "$work/classes-installed.rows"
objects "the 64-bit cscript creates both objects and gets the 64-bit DLL" win64 "(64 bit)"
objects "the 32-bit cscript creates both objects and gets the 32-bit DLL" wow64 "(32 bit)"

# --- A sample page in our host, from the installed files
uploads="$prefix/drive_c/inetpub/uploads"
in_wine win64 reg add 'HKCU\Software\Wine\AppDefaults\asphost.exe' /v Version /d nt40 /f >/dev/null 2>&1
VELMORA_WINE_ARCH=win64 "$repo/tools/wine-run" "$host_exe" --root 'C:\Program Files\Velmora32\samples' \
    --port 0 </dev/null >"$work/host.log" 2>&1 &
host_pid=$!
stop_all() { kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; stop_wine; }
trap stop_all EXIT
url=$(host_url "$work/host.log" "$host_pid")
if [ -z "$url" ]; then
    fail "the host serves the installed samples"
    cat "$work/host.log"
else
    printf 'a report\n' >"$work/report.txt"
    printf '<%% Response.Write "ran" %%>\n' >"$work/evil.asp"
    page=$(curl -sS -F author=Ada -F file=@"$work/report.txt" -F file=@"$work/evil.asp" \
                "$url/upload.asp?ProgressID=msi-test" | tr -s ' \r\n' '   ')
    grep -qF '<td>report.txt</td> <td>9</td> <td>text/plain</td> <td>report.txt</td>' <<<"$page" &&
        ok "upload.asp (VBScript) stores an allowed file" ||
        fail "upload.asp (VBScript) stores an allowed file: $page"
    grep -qF '<td>evil.asp</td>' <<<"$page" && grep -qF 'refused: .asp' <<<"$page" &&
        ok "upload.asp refuses a page" || fail "upload.asp refuses a page: $page"
    cmp -s "$work/report.txt" "$uploads/report.txt" && ok "the stored file's bytes" ||
        fail "the stored file's bytes"
    [ ! -e "$uploads/evil.asp" ] && ok "no page stored" || fail "no page stored"
    page=$(curl -sS "$url/client.asp?file=report.txt" | tr -s ' \r\n' '   ')
    grep -qF '<td id="sent">True</td>' <<<"$page" && grep -qF '<td id="code">200</td>' <<<"$page" &&
        grep -qF '&lt;td&gt;report.txt&lt;/td&gt; &lt;td&gt;9&lt;/td&gt;' <<<"$page" &&
        ok "client.asp (JScript) sends a stored file" ||
        fail "client.asp (JScript) sends a stored file: $page"
    cmp -s "$work/report.txt" "$uploads/report~1.txt" && ok "client.asp's upload stored beside the first" ||
        fail "client.asp's upload stored beside the first"
fi
kill "$host_pid" 2>/dev/null
wait "$host_pid" 2>/dev/null
trap stop_wine EXIT
rm -rf "$prefix/drive_c/inetpub"

# --- The next version over it, and back
msiexec /i "$(windows_path "$next")" /qn
expect "the next version: exit status" "$?" 0
expect "the next version replaced this one" "$(products)" "$(version_of "$next")"
objects "the next version's 64-bit DLL works" win64 "(64 bit)"
msiexec /i "$(windows_path "$package")" /qn
status=$?
[ "$status" -ne 0 ] && ok "the older version refuses to install (exit status $status)" ||
    fail "the older version refuses to install"
expect "the next version stays" "$(products)" "$(version_of "$next")"

# --- Removed: nothing left
msiexec /x "$(windows_path "$next")" /qn
expect "msiexec /x: exit status" "$?" 0
[ ! -e "$installed" ] && ok "no file left" || fail "files left: $(find "$installed")"
snapshot 'HKLM\Software' "$work/after.rows"
# Nothing added, apart from the empty containers of Windows Installer's own
# store, which its first use creates; nothing that was there before taken
# away, apart from empty keys (Wine's msiexec removes a key that removing a
# value left empty, also one that was there empty before).
installer_store='^HKEY_LOCAL_MACHINE\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\Installer)(\\[^\t]*)?\t\t$'
LC_ALL=C comm -13 "$work/before.rows" "$work/after.rows" | grep -vP "$installer_store" >"$work/added.rows"
LC_ALL=C comm -23 "$work/before.rows" "$work/after.rows" | grep -vP '\t\t$' >"$work/removed.rows"
if [ -s "$work/added.rows" ] || [ -s "$work/removed.rows" ]; then
    fail "the registry as before the installation"
    sed 's/^/  left: /' "$work/added.rows"
    sed 's/^/  lost: /' "$work/removed.rows"
else
    ok "the registry as before the installation"
fi
objects "no object after removal, 64-bit" win64 none
objects "no object after removal, 32-bit" wow64 none

# --- The package's rows against regsvr32's, for the same files, each against
# the registry before the installation
mkdir -p "$installed/x86" "$installed/x64"
cp "$stage/x86/velmora32.dll" "$installed/x86/"
cp "$stage/x64/velmora32.dll" "$installed/x64/"
# Without 32-bit programs the 32-bit DLL's rows (its classes, its library
# path) are left out of the comparison.
only_32bit='^(?!)'
if runs_32bit; then
    in_wine wow64 regsvr32 /s 'C:\Program Files\Velmora32\x86\velmora32.dll' >/dev/null 2>&1
    expect "regsvr32, 32-bit: exit status" "$?" 0
else
    skip "regsvr32 of the 32-bit DLL"
    only_32bit='\\Wow6432Node\\CLSID\\|\\409\\win32(\\|\t)'
fi
in_wine win64 regsvr32 /s 'C:\Program Files\Velmora32\x64\velmora32.dll' >/dev/null 2>&1
expect "regsvr32, 64-bit: exit status" "$?" 0
snapshot "$classes" "$work/classes-regsvr32.rows"
# Windows Installer's own records of the product aside.
installer_records='\\Classes\\Installer(\\|\t)'
LC_ALL=C comm -13 "$work/classes-before.rows" "$work/classes-installed.rows" |
    grep -vP "$installer_records" | grep -vP "$only_32bit" >"$work/package.rows"
LC_ALL=C comm -13 "$work/classes-before.rows" "$work/classes-regsvr32.rows" |
    grep -vP "$installer_records" | grep -vP "$only_32bit" >"$work/regsvr32.rows"
echo "$(wc -l <"$work/package.rows") rows of the package under $classes, compared with regsvr32's:"
sed 's/^/  /' "$work/package.rows"
if python3 "$registry" same-rows "$work/package.rows" "$work/regsvr32.rows" \
       env VELMORA_WINE_ARCH=win64 "$repo/tools/wine-run" winepath -u; then
    ok "the package's rows are regsvr32's"
else
    fail "the package's rows are regsvr32's"
fi

# The prefix is kept for a look when a check failed.
[ "$failures" -eq 0 ] && rm -rf "$prefix"
finish msi
