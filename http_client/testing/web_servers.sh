#!/bin/sh
# Starts and stops the HTTP client's test servers (web_servers.js) for CTest.
#   web_servers.sh start <state dir> <trustca.exe>
#   web_servers.sh stop  <state dir> <trustca.exe>
# start installs busboy from the committed lock file into the state directory,
# makes a test certificate authority and three server certificates signed by
# it (and one signed by itself), trusts the authority in the project's Wine prefix, starts the servers and
# waits for <state dir>/ports.txt. stop ends the servers by their pid and
# removes the authority from the prefix again.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../tools/wine-run"
action=$1
state=$(mkdir -p "$2" && cd "$2" && pwd)
trustca=$3
certs="$state/certs"

stop() {
    if [ -f "$state/server.pid" ]; then
        kill "$(cat "$state/server.pid")" 2>/dev/null || true
        rm -f "$state/server.pid"
    fi
    if [ -f "$certs/ca.der" ]; then
        "$wine_run" "$trustca" remove "$certs/ca.der" || true
    fi
    rm -f "$state/ports.txt"
}

install_busboy() {
    npm="$state/npm"
    mkdir -p "$npm"
    if ! cmp -s "$here/package-lock.json" "$npm/package-lock.json" || [ ! -d "$npm/node_modules/busboy" ]; then
        cp "$here/package.json" "$here/package-lock.json" "$npm/"
        npm ci --prefix "$npm" --no-audit --no-fund --loglevel=error >/dev/null
    fi
}

# server.key serves all three certificates; expired.crt is signed with dates
# in the past through `openssl ca`, the one command of OpenSSL 3.0 that takes
# explicit dates. The authority's name is new on every start: runs from other
# build trees share the Wine prefix, and each removes only its own.
make_certificates() {
    rm -rf "$certs"
    mkdir -p "$certs/ca.db"
    cd "$certs"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 \
        -subj "/CN=Velmora Test CA $(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        2>/dev/null
    openssl x509 -in ca.crt -outform DER -out ca.der
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null
    : >ca.db/index.txt
    cat >ca.cnf <<EOF
[ca]
default_ca = test_ca
[test_ca]
dir = $certs/ca.db
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
certificate = $certs/ca.crt
private_key = $certs/ca.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[valid]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
# Wine matches host names against DNS entries only, so the address is both.
subjectAltName = DNS:127.0.0.1,IP:127.0.0.1,DNS:localhost
[othername]
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
EOF
    sign() {  # name extensions startdate enddate
        openssl ca -batch -notext -config ca.cnf -in server.csr -out "$1.crt" -extensions "$2" \
            -startdate "$3" -enddate "$4" -rand_serial 2>/dev/null
    }
    now=$(date -u +%Y%m%d%H%M%SZ)
    tomorrow=$(date -u -d '+1 day' +%Y%m%d%H%M%SZ)
    yesterday=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
    sign valid valid "$yesterday" "$tomorrow"
    sign othername othername "$yesterday" "$tomorrow"
    sign expired valid 20200101000000Z 20210101000000Z
    # Signed by itself: no trusted authority vouches for it.
    openssl req -x509 -key server.key -out untrusted.crt -days 2 -subj "/CN=127.0.0.1" \
        -addext "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1" 2>/dev/null
    cd - >/dev/null
}

start() {
    stop
    mkdir -p "$state"
    install_busboy
    make_certificates
    "$wine_run" "$trustca" add "$certs/ca.der"
    NODE_PATH="$state/npm/node_modules" node "$here/web_servers.js" "$state/ports.txt" "$certs" \
        </dev/null >"$state/server.log" 2>&1 &
    echo $! >"$state/server.pid"
    for _ in $(seq 100); do
        [ -f "$state/ports.txt" ] && { cat "$state/ports.txt"; return 0; }
        kill -0 "$(cat "$state/server.pid")" 2>/dev/null || break
        sleep 0.1
    done
    echo "web_servers.sh: the servers did not start:" >&2
    cat "$state/server.log" >&2
    stop
    return 1
}

case "$action" in
    start) start ;;
    stop) stop ;;
    *) echo "usage: web_servers.sh start|stop <state dir> <trustca.exe>" >&2; exit 2 ;;
esac
