# Sourced by scripts that start the ASP host with --port 0: host_url LOG PID
# waits (up to 60 s) for the host to say in LOG where it serves, and prints
# that URL; nothing when the host exited first or never said.
host_url() {
    local log=$1 pid=$2 url=""
    for _ in $(seq 1 600); do
        url=$(tr -d '\r' <"$log" | sed -n 's/^asphost: serving .* on \(http:[^ ]*\)\/$/\1/p')
        [ -n "$url" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    printf '%s' "$url"
}
