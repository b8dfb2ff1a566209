# Shared by the dns_*_e2e.sh scripts (sourced, never run). Builds a private
# network of namespaces that the calling script owns:
#
#   client ns  10.53.3.2 (allowed), .3 (refused), .4 (allowed)
#       |  veth
#   relay ns   10.53.3.1 / 10.53.1.1 / 10.53.2.1   <- build/quorvel runs here
#       |  veth              |  veth
#   up1 ns 10.53.1.2    up2 ns 10.53.2.2            <- upstream servers
#
# Nothing leaves these namespaces. Every process started is recorded by PID
# and stopped, and the namespaces deleted, by dns_nettoie (trap on EXIT).

DNS_PIDS=()
DNS_NS=()

dns_exige()
{
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: needs root (network namespaces and UDP port 53)"
        exit 77
    fi
    local outil
    for outil in ip ss dig dnsmasq /usr/bin/python3 "$@"; do
        if ! command -v "$outil" > /dev/null; then
            echo "SKIP: $outil is not installed"
            exit 77
        fi
    done
}

# dns_prepare BUILD_DIR TAG: scratch folder, namespaces and links. TAG keeps
# the names of concurrent scripts apart (interface names: 15 characters).
dns_prepare()
{
    DNS_BUILD=$(cd "$1" && pwd)
    local t=$2$(($$ % 100000))
    DNS_DIR=$(mktemp -d "/tmp/$2.XXXXXX")
    NS_R=${t}r NS_U1=${t}u1 NS_U2=${t}u2 NS_C=${t}c
    local n
    for n in "$NS_R" "$NS_U1" "$NS_U2" "$NS_C"; do
        ip netns add "$n"
        DNS_NS+=("$n")
        ip -n "$n" link set lo up
    done
    ip link add "${t}ru1" netns "$NS_R" type veth peer name "${t}u1" netns "$NS_U1"
    ip link add "${t}ru2" netns "$NS_R" type veth peer name "${t}u2" netns "$NS_U2"
    ip link add "${t}rc" netns "$NS_R" type veth peer name "${t}c" netns "$NS_C"
    ip -n "$NS_R" addr add 10.53.1.1/24 dev "${t}ru1"
    ip -n "$NS_R" addr add 10.53.2.1/24 dev "${t}ru2"
    ip -n "$NS_R" addr add 10.53.3.1/24 dev "${t}rc"
    ip -n "$NS_U1" addr add 10.53.1.2/24 dev "${t}u1"
    ip -n "$NS_U2" addr add 10.53.2.2/24 dev "${t}u2"
    ip -n "$NS_C" addr add 10.53.3.2/24 dev "${t}c"
    ip -n "$NS_C" addr add 10.53.3.3/24 dev "${t}c"
    ip -n "$NS_C" addr add 10.53.3.4/24 dev "${t}c"
    for n in "${t}ru1" "${t}ru2" "${t}rc"; do ip -n "$NS_R" link set "$n" up; done
    ip -n "$NS_U1" link set "${t}u1" up
    ip -n "$NS_U2" link set "${t}u2" up
    ip -n "$NS_C" link set "${t}c" up
    # A veth pair carries traffic once both ends report their carrier.
    local lien
    for lien in "$NS_R ${t}ru1" "$NS_R ${t}ru2" "$NS_R ${t}rc" "$NS_U1 ${t}u1" "$NS_U2 ${t}u2" "$NS_C ${t}c"; do
        set -- $lien
        for _ in $(seq 300); do
            [ "$(ip netns exec "$1" cat "/sys/class/net/$2/operstate")" = up ] && break
            sleep 0.1
        done
    done
}

dns_nettoie()
{
    local p n
    for p in "${DNS_PIDS[@]}"; do kill "$p" 2> /dev/null || true; done
    for p in "${DNS_PIDS[@]}"; do wait "$p" 2> /dev/null || true; done
    for n in "${DNS_NS[@]}"; do ip netns del "$n" 2> /dev/null || true; done
    [ -z "${DNS_DIR:-}" ] || [ -n "${DNS_GARDE:-}" ] || rm -rf "$DNS_DIR"
}

# dns_arrete PID: stop one process this script started.
dns_arrete()
{
    kill "$1" 2> /dev/null || true
    wait "$1" 2> /dev/null || true
    local reste=() p
    for p in "${DNS_PIDS[@]}"; do [ "$p" = "$1" ] || reste+=("$p"); done
    DNS_PIDS=("${reste[@]}")
}

# dns_dnsmasq NS ADDRESS ANSWER [options]: an upstream serving the local zone
# zone.test (www.zone.test is ANSWER) and nothing else, on UDP and TCP port
# 53; the options go to dnsmasq. Sets DNS_PID.
dns_dnsmasq()
{
    local ns=$1 adr=$2 rep=$3
    shift 3
    local nom=dnsmasq-$adr
    ip netns exec "$ns" dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
        --bind-interfaces --listen-address="$adr" --pid-file="$DNS_DIR/$nom.pid" --user=root \
        --local=/zone.test/ --host-record="www.zone.test,$rep" "$@" > "$DNS_DIR/$nom.out" 2>&1 &
    DNS_PID=$!
    DNS_PIDS+=("$DNS_PID")
    dns_attend_port "$ns" "$adr:53"
}

# dns_responder NS ADDRESS ANSWER [options]: the crafted upstream (amont.py).
dns_responder()
{
    local ns=$1 adr=$2 rep=$3
    shift 3
    ip netns exec "$ns" /usr/bin/python3 "$DNS_LIB/amont.py" --adresse "$adr" --reponse "$rep" \
        --journal "$DNS_DIR/amont-$adr.log" "$@" > "$DNS_DIR/amont-$adr.out" 2>&1 &
    DNS_PID=$!
    DNS_PIDS+=("$DNS_PID")
    dns_attend_port "$ns" "$adr:53"
}

# dns_attend_port NS ADDRESS:PORT: until a UDP socket is bound there (30 s,
# for a loaded machine; a working start takes a fraction of a second).
dns_attend_port()
{
    for _ in $(seq 300); do
        ip netns exec "$1" ss -Hunl | grep -q -- " $2 " && return 0
        sleep 0.1
    done
    echo "FAIL: nothing bound on $2 in $1"
    return 1
}

# dns_relais CONF_TEXT: the real launcher with the real module, from a fresh
# scratch folder, in the relay namespace. Sets RELAIS (folder) and DNS_PID.
dns_relais()
{
    RELAIS=$(mktemp -d "$DNS_DIR/relais.XXXX")
    cp "$DNS_BUILD/quorvel" "$DNS_BUILD/libkvt.so" "$DNS_BUILD/quorvel_dns.so" "$RELAIS/"
    # DNS_AVEC_SSL=1: the tunnel module too.
    [ -z "${DNS_AVEC_SSL:-}" ] || cp "$DNS_BUILD/quorvel_ssl.so" "$RELAIS/"
    printf '%s\n' "$1" > "$RELAIS/quorvel.conf"
    # DNS_SANS_ROOT=1: run it as nobody, to see how it fails to bind port 53.
    local comme=()
    if [ -n "${DNS_SANS_ROOT:-}" ]; then
        chmod 755 "$DNS_DIR"
        chmod 777 "$RELAIS"
        comme=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    fi
    ip netns exec "$NS_R" "${comme[@]}" "$RELAIS/quorvel" console > "$RELAIS/out" 2> "$RELAIS/err" &
    DNS_PID=$!
    DNS_PIDS+=("$DNS_PID")
    for _ in $(seq 300); do
        grep -qs "Quorvel starts" "$RELAIS/quorvel.log" && break
        sleep 0.1
    done
}

# dns_relais_pret [ADDRESS]: the relay thread announced itself and port 53
# is bound on ADDRESS (default 0.0.0.0, every interface).
dns_relais_pret()
{
    for _ in $(seq 300); do
        grep -qs "DNS server starts" "$RELAIS/out" && break
        sleep 0.1
    done
    dns_attend_port "$NS_R" "${1:-0.0.0.0}:53"
}

# dns_attend_tcp NS ADDRESS:PORT: until a TCP socket listens there (5 s).
dns_attend_tcp()
{
    for _ in $(seq 50); do
        ip netns exec "$1" ss -Htnl | grep -q -- " $2 " && return 0
        sleep 0.1
    done
    echo "FAIL: nothing listens on TCP $2 in $1"
    return 1
}

# dns_dig SOURCE ARGS...: dig from the client namespace through the relay.
# One try (the crafted upstreams count the queries they see), waited for
# long enough for a loaded machine; only the refused cases wait it out.
dns_dig()
{
    local source=$1
    shift
    ip netns exec "$NS_C" dig @10.53.3.1 -b "$source" +time=10 +tries=1 "$@"
}

DNS_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
