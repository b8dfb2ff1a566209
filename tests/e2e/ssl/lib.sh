# Shared by the tunnel's end-to-end scripts (sourced, not run).
#
# Three network namespaces of the script's own: P holds the proxy (the
# gateway), C the LAN clients (10.77.0.2 allowed, 10.77.0.3 not), T the
# targets (10.77.1.2). Name resolution inside them never leaves the
# namespace: resolv.conf points at its own loopback, where nothing answers.
# Every process started is recorded and stopped by its PID on exit.

OUTIL=$(dirname "${BASH_SOURCE[0]}")/outil.py
PY=/usr/bin/python3
PIDS=()
NSS=()
SCRATCH=""

ssl_besoin_root() {
    if [ "$(id -u)" != 0 ]; then
        echo "skipped: network namespaces need root" >&2
        exit 77
    fi
    local t
    for t in ip ss curl openssl "$PY"; do
        command -v "$t" >/dev/null || { echo "skipped: $t is missing" >&2; exit 77; }
    done
}

ssl_nettoie() {
    local p n
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
    for n in "${NSS[@]}"; do
        ip netns del "$n" 2>/dev/null || true
        rm -rf "/etc/netns/$n"
    done
    [ -z "$SCRATCH" ] || rm -rf "$SCRATCH"
}

# ssl_ns NAME HOSTS-LINES: a namespace with loopback up and a private resolver.
ssl_ns() {
    ip netns add "$1"
    NSS+=("$1")
    ip -n "$1" link set lo up
    mkdir -p "/etc/netns/$1"
    echo "nameserver 127.0.0.1" > "/etc/netns/$1/resolv.conf"
    printf '127.0.0.1 localhost\n%s' "$2" > "/etc/netns/$1/hosts"
}

# ssl_reseau PREFIX: the three namespaces ${PREFIX}p, ${PREFIX}c, ${PREFIX}t.
ssl_reseau() {
    local x=$1
    NS_P=${x}p NS_C=${x}c NS_T=${x}t
    ssl_ns "$NS_P" $'10.77.1.2 target.test\n'
    ssl_ns "$NS_C" ""
    ssl_ns "$NS_T" ""
    ip link add "${x}cp" netns "$NS_C" type veth peer name "${x}pc" netns "$NS_P"
    ip link add "${x}pt" netns "$NS_P" type veth peer name "${x}tp" netns "$NS_T"
    ip -n "$NS_C" addr add 10.77.0.2/24 dev "${x}cp"
    ip -n "$NS_C" addr add 10.77.0.3/24 dev "${x}cp"
    ip -n "$NS_P" addr add 10.77.0.1/24 dev "${x}pc"
    ip -n "$NS_P" addr add 10.77.1.1/24 dev "${x}pt"
    ip -n "$NS_T" addr add 10.77.1.2/24 dev "${x}tp"
    ip -n "$NS_C" link set "${x}cp" up
    ip -n "$NS_P" link set "${x}pc" up
    ip -n "$NS_P" link set "${x}pt" up
    ip -n "$NS_T" link set "${x}tp" up
}

# ssl_copie BUILD DIR: the real launcher, support library and tunnel module.
ssl_copie() {
    mkdir -p "$2"
    cp "$1/quorvel" "$1/libkvt.so" "$1/quorvel_ssl.so" "$2/"
}

# ssl_attend SECONDS COMMAND...: true as soon as COMMAND succeeds.
ssl_attend() {
    local fin=$((SECONDS + $1))
    shift
    while [ $SECONDS -lt $fin ]; do
        "$@" 2>/dev/null && return 0
        sleep 0.1
    done
    "$@" 2>/dev/null
}

ssl_ecoute() {  # ssl_ecoute NS PORT: something listens on PORT in NS
    [ -n "$(ip netns exec "$1" ss -Hltn "sport = :$2")" ]
}

# ssl_proxy DIR NS: starts DIR/quorvel console in NS (output in DIR/out),
# waits for "Quorvel starts"; PROXY_PID is its PID.
ssl_proxy() {
    ip netns exec "$2" "$1/quorvel" console > "$1/out" 2>&1 &
    PROXY_PID=$!
    PIDS+=("$PROXY_PID")
    ssl_attend 30 grep -q "Quorvel starts" "$1/quorvel.log"
}

ssl_proxy_arrete() {
    kill "$PROXY_PID" 2>/dev/null || true
    wait "$PROXY_PID" 2>/dev/null || true
}

# ssl_fond NS COMMAND...: a background process in NS, recorded; BG_PID is its PID.
ssl_fond() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@" &
    BG_PID=$!
    PIDS+=("$BG_PID")
}

ECHECS=0
ssl_ok() { echo "ok   - $*"; }
ssl_ko() { echo "FAIL - $*"; ECHECS=$((ECHECS + 1)); }
# ssl_verifie NAME COMMAND...: one named case.
ssl_verifie() {
    local nom=$1
    shift
    if "$@"; then ssl_ok "$nom"; else ssl_ko "$nom"; fi
}
