# Shared by the HTTP proxy's end-to-end scripts (sourced, not run).
#
# Everything on loopback: the real quorvel with the HTTP proxy module in a
# scratch folder, origin servers of tests/e2e/tools/qv_origine.py, real
# clients. Ports are taken free from the system; every process started is
# recorded and stopped by its PID on exit.

HTTP_OUTILS=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tools" && pwd)
PY=/usr/bin/python3
PIDS=()
SCRATCH=""
ECHECS=0

http_nettoie() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    [ -z "$SCRATCH" ] || rm -rf "$SCRATCH"
}

# http_prepare NAME BUILD: the scratch folder ($SCRATCH) with the launcher,
# the support library and both proxy modules.
http_prepare() {
    local t
    for t in curl "$PY"; do
        command -v "$t" >/dev/null || { echo "skipped: $t is missing" >&2; exit 77; }
    done
    [ -e "$2/quorvel_http.so" ] || { echo "FAIL: $2/quorvel_http.so is not built" >&2; exit 1; }
    SCRATCH=$(mktemp -d "/tmp/$1.XXXXXX")
    chmod 755 "$SCRATCH"
    trap http_nettoie EXIT
    cp "$2/quorvel" "$2/libkvt.so" "$2/quorvel_http.so" "$2/quorvel_ssl.so" "$SCRATCH/"
}

# http_port: a TCP port free on loopback now.
http_port() {
    "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# http_attend SECONDS COMMAND...: true as soon as COMMAND succeeds.
http_attend() {
    local fin=$((SECONDS + $1))
    shift
    while [ $SECONDS -lt $fin ]; do
        "$@" 2>/dev/null && return 0
        sleep 0.1
    done
    "$@" 2>/dev/null
}

# http_origine PORT: starts an origin server on 127.0.0.1:PORT, waits for it.
http_origine() {
    "$PY" "$HTTP_OUTILS/qv_origine.py" "$1" > "$SCRATCH/origine.$1" 2>&1 &
    PIDS+=($!)
    http_attend 30 grep -q ready "$SCRATCH/origine.$1"
}

# http_proxy: starts $SCRATCH/quorvel console (its quorvel.conf written by
# the caller), waits for "HTTP server starts"; PROXY_PID is its PID.
http_proxy() {
    (cd "$SCRATCH" && exec ./quorvel console > "$SCRATCH/out" 2>&1) &
    PROXY_PID=$!
    PIDS+=("$PROXY_PID")
    http_attend 30 grep -q "HTTP server starts" "$SCRATCH/out" && http_attend 30 grep -q "Quorvel starts" "$SCRATCH/quorvel.log"
}

http_proxy_arrete() {
    kill "$PROXY_PID" 2>/dev/null || true
    wait "$PROXY_PID" 2>/dev/null || true
}

http_ok() { echo "ok   - $*"; }
http_ko() { echo "FAIL - $*"; ECHECS=$((ECHECS + 1)); }
# http_verifie NAME COMMAND...: one named case.
http_verifie() {
    local nom=$1
    shift
    if "$@"; then http_ok "$nom"; else http_ko "$nom"; fi
}

http_fin() {
    if [ "$ECHECS" -ne 0 ]; then
        echo "--- proxy output" >&2; cat "$SCRATCH/out" >&2
        echo "--- log" >&2; cat "$SCRATCH/quorvel.log" >&2 2>/dev/null
        echo "--- access log" >&2; cat "$SCRATCH/access.log" >&2 2>/dev/null
        echo "$ECHECS case(s) failed" >&2
        exit 1
    fi
    echo "all cases passed"
}
