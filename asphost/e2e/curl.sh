#!/bin/bash
# Uploads from curl -F, the command-line client: text fields, a repeated
# name, an empty file field, a 0-byte file, a 20 MB file, UTF-8 names, in
# memory and direct to disk; checks the page's answer and the saved bytes.
set -uo pipefail
: "${ASPHOST_URL:?run through with-host.sh}"
data=$ASPHOST_WORK/data
uploads=$ASPHOST_SITE/uploads
mkdir -p "$data"
passed=0 failed=0

check() {  # check <what> <command...>
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what"
    fi
}
has() { grep -qF -- "$2" <<<"$1"; }
# The page's HTML on one line, whitespace squeezed and the numeric character
# references of Server.HTMLEncode (it writes é as &#233;, as IIS does) decoded.
page() { curl -sS --fail-with-body "$@" | tr -s ' \r\n' '   ' | perl -CS -pe 's/&#(\d+);/chr($1)/ge'; }

printf 'hello from curl\n' >"$data/small.txt"
: >"$data/zero.bin"
head -c 20971520 /dev/urandom >"$data/big.bin"
printf 'grüße\n' >"$data/ünïcödé €.txt"

html=$(page -F author=Ada -F 'note=two words & <tags>' -F tag=report -F tag=draft -F tag=public \
            -F 'empty=;filename=' \
            -F file1=@"$data/small.txt" -F file2=@"$data/zero.bin" -F 'file2=@'"$data/big.bin"';type=application/x-test' \
            -F 'grüße=Grüße aus Köln €' -F 'datei=@'"$data/ünïcödé €.txt" \
            "$ASPHOST_URL/upload.asp?ProgressID=40001")
check "text field" has "$html" '<td>author</td><td>Ada</td>'
check "HTML in values is encoded" has "$html" '<td>note</td><td>two words &amp; &lt;tags&gt;</td>'
check "repeated name joined" has "$html" '<td>tag</td><td>report, draft, public</td>'
check "empty file field listed, no file" has "$html" '<td>empty</td><td></td>'
check "UTF-8 field name and value" has "$html" '<td>grüße</td><td>Grüße aus Köln €</td>'

check "small file row" has "$html" '<td>file1</td> <td>small.txt</td> <td>16</td> <td>text/plain</td> <td>txt</td> <td>small.txt</td>'
check "0-byte file row" has "$html" '<td>file2</td> <td>zero.bin</td> <td>0</td>'
check "20 MB file row" has "$html" '<td>file2</td> <td>big.bin</td> <td>20971520</td> <td>application/x-test</td> <td>bin</td> <td>big.bin</td>'
check "UTF-8 file name" has "$html" '<td>datei</td> <td>ünïcödé €.txt</td> <td>8</td>'
check "small file saved" cmp -s "$data/small.txt" "$uploads/small.txt"
check "0-byte file saved" cmp -s "$data/zero.bin" "$uploads/zero.bin"
check "20 MB file saved" cmp -s "$data/big.bin" "$uploads/big.bin"
check "UTF-8 named file saved" cmp -s "$data/ünïcödé €.txt" "$uploads/ünïcödé €.txt"
check "four files saved" test "$(ls "$uploads" | wc -l)" -eq 4

# The same files again: owRename keeps the first ones and finds new names.
html=$(page -F file1=@"$data/small.txt" -F file2=@"$data/small.txt" "$ASPHOST_URL/upload.asp")
check "renamed once" has "$html" '<td>small~1.txt</td>'
check "renamed twice" has "$html" '<td>small~2.txt</td>'
check "renamed copies saved" cmp -s "$data/small.txt" "$uploads/small~2.txt"

# Direct to disk: written while read, same bytes.
html=$(page -F description=Backup -F file=@"$data/big.bin" "$ASPHOST_URL/direct-upload.asp?ProgressID=40002")
check "direct: description" has "$html" 'Description: Backup'
check "direct: saved under a new name" has "$html" '<td>big.bin</td> <td>20971520</td> <td>application/octet-stream</td> <td>big~1.bin</td>'
check "direct: bytes on disk" cmp -s "$data/big.bin" "$uploads/big~1.bin"

# The HTTP client page sends a stored file to receive.asp.
html=$(page "$ASPHOST_URL/client.asp?file=small.txt")
check "HTTP client: sent" has "$html" '<th>UploadFile</th><td>True</td>'
check "HTTP client: status" has "$html" '<td id="code">200</td>'
check "HTTP client: answer" has "$html" 'received small.txt (16 bytes, text/plain) from client.asp'
html=$(page "$ASPHOST_URL/client.asp")
check "HTTP client: stored files listed" has "$html" 'client.asp?file=small%7E1%2Etxt'

echo "curl: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
