# shellcheck shell=bash disable=SC2034
# Sourced by soak_e2e.sh and the fault_*_e2e.sh scripts: the real quorvel on
# a small network of its own, made of three network namespaces.
#
#   client ns  10.77.1.2, 10.77.1.3 (allowed), 10.77.1.99 (refused)
#      | veth
#   proxy ns   10.77.1.1 | 10.77.2.1   quorvel: tunnel on 8080, relay on 53
#      | veth
#   upstream   10.77.2.2 dnsmasq NS1 (answers *.soak.test with 10.9.9.1)
#   ns         10.77.2.3 dnsmasq NS2 (answers *.soak.test with 10.9.9.2)
#              10.77.2.4 targets: echo 7000, reset 7001, stream 7002,
#                        TLS web server 7443; nothing on 7009
#
# The proxy namespace does not forward, so clients reach the upstream side
# only through the proxy. Namespace names carry the script's name and PID;
# every process is recorded and stopped by its PID on exit.

QV_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
QV_PY=/usr/bin/python3
QV_PROXY=10.77.1.1
QV_ALLOWED=10.77.1.2
QV_ALLOWED2=10.77.1.3
QV_REFUSED=10.77.1.99
QV_NS1=10.77.2.2
QV_NS2=10.77.2.3
QV_TARGET=10.77.2.4
QV_PIDS=()
QV_NAMESPACES=()
QPID=""

qv_log() { printf '%s\n' "$*"; }

# Exit 77 (skipped) unless root and every tool is there.
qv_require() {
    local name=$1
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIPPED: $name needs root (network namespaces, UDP port 53)"
        exit 77
    fi
    local t
    for t in ip ss dnsmasq dig curl openssl "$QV_PY"; do
        if ! command -v "$t" > /dev/null; then
            echo "SKIPPED: $name needs $t"
            exit 77
        fi
    done
    local f
    for f in quorvel libkvt.so quorvel_ssl.so quorvel_dns.so; do
        if [ ! -e "$QV_BUILD/$f" ]; then
            echo "FAILED: $QV_BUILD/$f is missing (build first)"
            exit 1
        fi
    done
}

qv_cleanup() {
    local p
    if [ -n "$QPID" ]; then kill -TERM "$QPID" 2> /dev/null; fi
    for p in "${QV_PIDS[@]}"; do kill -TERM "$p" 2> /dev/null; done
    for p in "${QV_PIDS[@]}" $QPID; do
        for _ in $(seq 50); do kill -0 "$p" 2> /dev/null || break; sleep 0.1; done
        kill -KILL "$p" 2> /dev/null
        wait "$p" 2> /dev/null
    done
    for p in "${QV_NAMESPACES[@]}"; do
        ip netns del "$p" 2> /dev/null
        # A resolver file of qv_mute_resolver: only this test's own folder.
        if [ -n "$p" ] && [ -d "/etc/netns/$p" ]; then rm -rf "/etc/netns/$p"; fi
    done
    rmdir /etc/netns 2> /dev/null
    if [ -n "${QV_KEEP:-}" ]; then
        echo "scratch folder kept: $QV_DIR"
    else
        rm -rf "$QV_DIR"
    fi
}

# qv_setup NAME BUILD_DIR: namespaces, links, addresses, scratch folder.
qv_setup() {
    QV_NAME=$1
    QV_BUILD=$(cd "$2" && pwd)
    qv_require "$QV_NAME"
    QV_DIR=$(mktemp -d "/tmp/${QV_NAME}.XXXXXX")
    trap qv_cleanup EXIT
    trap 'exit 1' INT TERM
    NS_Q="${QV_NAME}-$$-q" NS_C="${QV_NAME}-$$-c" NS_U="${QV_NAME}-$$-u"
    local ns
    for ns in "$NS_Q" "$NS_C" "$NS_U"; do
        ip netns add "$ns" || return 1
        QV_NAMESPACES+=("$ns")
        ip -n "$ns" link set lo up
    done
    # veth names live inside the namespaces, so they cannot clash with
    # another test's.
    ip link add qc netns "$NS_Q" type veth peer name cq netns "$NS_C" || return 1
    ip link add qu netns "$NS_Q" type veth peer name uq netns "$NS_U" || return 1
    ip -n "$NS_Q" addr add $QV_PROXY/24 dev qc
    ip -n "$NS_Q" addr add 10.77.2.1/24 dev qu
    ip -n "$NS_C" addr add $QV_ALLOWED/24 dev cq
    ip -n "$NS_C" addr add $QV_ALLOWED2/24 dev cq
    ip -n "$NS_C" addr add $QV_REFUSED/24 dev cq
    ip -n "$NS_U" addr add $QV_NS1/24 dev uq
    ip -n "$NS_U" addr add $QV_NS2/24 dev uq
    ip -n "$NS_U" addr add $QV_TARGET/24 dev uq
    ip -n "$NS_Q" link set qc up
    ip -n "$NS_Q" link set qu up
    ip -n "$NS_C" link set cq up
    ip -n "$NS_U" link set uq up
    ip netns exec "$NS_Q" sysctl -qw net.ipv4.ip_forward=0
    # The soak opens tens of thousands of tunnels a minute to one target
    # port: the proxy closes first and keeps each closed connection's port in
    # TIME_WAIT for a minute, which would exhaust the default ephemeral range
    # of one source address. A gateway that talks to many sites never meets it.
    ip netns exec "$NS_Q" sysctl -qw net.ipv4.ip_local_port_range="1024 65535"
    ip netns exec "$NS_Q" sysctl -qw net.ipv4.tcp_tw_reuse=1
}

# qv_bg NS LOGFILE CMD...: a background process in a namespace, recorded.
# `ip netns exec` execs the command, so $! is the command's own PID.
qv_bg() {
    local ns=$1 out=$2
    shift 2
    ip netns exec "$ns" "$@" > "$out" 2>&1 &
    QV_PIDS+=($!)
    QV_LASTPID=$!
}

qv_dnsmasq() {   # qv_dnsmasq ADDRESS ANSWER TAG
    qv_bg "$NS_U" "$QV_DIR/$3.out" dnsmasq -k --conf-file=/dev/null --no-resolv --no-hosts \
        --bind-interfaces --listen-address="$1" --address="/soak.test/$2" \
        --pid-file="$QV_DIR/$3.pid" --log-facility="$QV_DIR/$3.log"
}

# Upstream servers and tunnel targets; waits until each one answers.
qv_start_upstream() {
    qv_dnsmasq $QV_NS1 10.9.9.1 ns1
    QV_NS1_PID=$QV_LASTPID
    qv_dnsmasq $QV_NS2 10.9.9.2 ns2
    QV_NS2_PID=$QV_LASTPID
    qv_bg "$NS_U" "$QV_DIR/target.out" "$QV_PY" "$QV_TOOLS/qv_target.py" --addr $QV_TARGET \
        --echo 7000 --reset 7001 --stream 7002 --ready "$QV_DIR/target.ready"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj /CN=target.soak.test -keyout "$QV_DIR/key.pem" -out "$QV_DIR/cert.pem" 2> /dev/null
    qv_bg "$NS_U" "$QV_DIR/tls.out" openssl s_server -quiet -www -accept $QV_TARGET:7443 \
        -cert "$QV_DIR/cert.pem" -key "$QV_DIR/key.pem"
    local i
    for i in $(seq 600); do   # a minute at most: a loaded machine starts them slowly
        if [ -e "$QV_DIR/target.ready" ] &&
            [ -n "$(ip netns exec "$NS_U" ss -ltnH "sport = :7443")" ] &&
            [ "$(ip netns exec "$NS_Q" dig +short +tries=1 +time=1 @$QV_NS1 a.soak.test)" = 10.9.9.1 ] &&
            [ "$(ip netns exec "$NS_Q" dig +short +tries=1 +time=1 @$QV_NS2 a.soak.test)" = 10.9.9.2 ]; then
            return 0
        fi
        sleep 0.1
    done
    echo "FAILED: the upstream servers or targets did not start"
    return 1
}

# qv_start_proxy [FD_LIMIT]: quorvel with both services, from a scratch copy.
# QV_SSL_EXTRA and QV_MAIN_EXTRA, when set, are added to the [SSL] and
# [Main] sections (key=value lines).
qv_start_proxy() {
    local limit=${1:-}
    mkdir -p "$QV_DIR/q"
    cp "$QV_BUILD/quorvel" "$QV_BUILD/libkvt.so" "$QV_BUILD/quorvel_ssl.so" \
        "$QV_BUILD/quorvel_dns.so" "$QV_DIR/q/"
    cat > "$QV_DIR/q/quorvel.conf" <<EOF
[Main]
LogFile=quorvel.log
ErrFile=quorvel-errors.log
AllowedHost0=$QV_ALLOWED
AllowedHost1=$QV_ALLOWED2
${QV_MAIN_EXTRA:-}

[SSL]
SSLEnabled=yes
SSLPort=8080
${QV_SSL_EXTRA:-}

[DNS]
DNSEnabled=yes
DNSServer1=$QV_NS1
DNSServer2=$QV_NS2
EOF
    # Descriptors that the test's own parents left open would count against
    # the proxy's limit and its idle figures: only 0, 1 and 2 go through.
    # The shell then execs the proxy, so $! is the proxy's PID.
    ip netns exec "$NS_Q" bash -c '
        for f in /proc/$$/fd/*; do
            n=${f##*/}
            if [ "$n" -gt 2 ]; then eval "exec $n>&-"; fi
        done 2> /dev/null
        if [ -n "$1" ]; then ulimit -n "$1" || exit 1; fi
        exec "$0" console' "$QV_DIR/q/quorvel" "$limit" < /dev/null > "$QV_DIR/q/out" 2>&1 &
    QPID=$!
    QV_LOG=$QV_DIR/q/quorvel.log
    QV_ERRLOG=$QV_DIR/q/quorvel-errors.log
    QV_OUT=$QV_DIR/q/out
    local i
    for i in $(seq 600); do   # a minute at most
        if grep -qs "Quorvel starts" "$QV_LOG" &&
            [ -n "$(ip netns exec "$NS_Q" ss -ltnH "sport = :8080")" ] &&
            [ -n "$(ip netns exec "$NS_Q" ss -lunH "sport = :53")" ]; then
            return 0
        fi
        kill -0 "$QPID" 2> /dev/null || break
        sleep 0.1
    done
    echo "FAILED: quorvel did not start; its output:"
    cat "$QV_OUT"
    return 1
}

# qv_mute_resolver: the proxy namespace's resolver becomes a name server at
# QV_MUTE (upstream side) that takes every query and never answers; each
# query it gets is one line of $QV_MUTE_LOG. `ip netns exec` mounts
# /etc/netns/NS/resolv.conf over /etc/resolv.conf, so this holds for every
# program started in the proxy namespace from now on (quorvel included).
QV_MUTE=10.77.2.5
qv_mute_resolver() {
    ip -n "$NS_U" addr add $QV_MUTE/24 dev uq || return 1
    mkdir -p "/etc/netns/$NS_Q" || return 1
    printf 'nameserver %s\noptions timeout:10 attempts:3\n' $QV_MUTE > "/etc/netns/$NS_Q/resolv.conf"
    QV_MUTE_LOG=$QV_DIR/mute.log
    : > "$QV_MUTE_LOG"
    qv_bg "$NS_U" "$QV_DIR/mute.out" "$QV_PY" "$QV_TOOLS/qv_mute_dns.py" --addr $QV_MUTE \
        --log "$QV_MUTE_LOG" --ready "$QV_DIR/mute.ready"
    local i
    for i in $(seq 300); do
        [ -e "$QV_DIR/mute.ready" ] && return 0
        sleep 0.1
    done
    echo "FAILED: the mute name server did not start"
    return 1
}

qv_alive() { kill -0 "$QPID" 2> /dev/null; }

# "RSS_KiB FDS THREADS" of the proxy.
qv_sample() {
    local rss thr fds
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$QPID/status" 2> /dev/null)
    thr=$(awk '/^Threads:/ {print $2}' "/proc/$QPID/status" 2> /dev/null)
    fds=$(ls "/proc/$QPID/fd" 2> /dev/null | wc -l)
    echo "${rss:-0} $fds ${thr:-0}"
}

# qv_wait_idle FDS THREADS SECONDS: 0 once the proxy is back to that many
# descriptors and threads (or fewer); 1 when the time runs out.
qv_wait_idle() {
    local want_fds=$1 want_thr=$2 i s_fds s_thr
    for i in $(seq $(($3 * 10))); do
        read -r _ s_fds s_thr <<< "$(qv_sample)"
        if [ "$s_fds" -le "$want_fds" ] && [ "$s_thr" -le "$want_thr" ]; then return 0; fi
        sleep 0.1
    done
    return 1
}

# One tunnel through curl to the TLS web server and one dig through the
# relay, both from an allowed client; 0 when both are served.
qv_served() {
    local src=${1:-$QV_ALLOWED}
    qv_tunnel_served "$src"
    qv_dns_served "$src"
    QV_SERVED_WHAT="tunnel: $QV_TUNNEL_CODE, dns: $QV_DNS_ADDR"
    [ "$QV_TUNNEL_CODE" = 200 ] && [[ $QV_DNS_ADDR == 10.9.9.[12] ]]
}
qv_tunnel_served() {
    QV_TUNNEL_CODE=$(ip netns exec "$NS_C" curl -sk -o /dev/null -w '%{http_code}' --max-time 30 \
        --interface "$1" -x "http://$QV_PROXY:8080" "https://$QV_TARGET:7443/") ||
        QV_TUNNEL_CODE="curl failed ($QV_TUNNEL_CODE)"
    [ "$QV_TUNNEL_CODE" = 200 ]
}
qv_dns_served() {
    QV_DNS_ADDR=$(ip netns exec "$NS_C" dig +short +tries=4 +time=3 -b "$1" @$QV_PROXY served.soak.test 2>&1)
    [[ $QV_DNS_ADDR == 10.9.9.[12] ]] || QV_DNS_ADDR="no answer"
    [ "$QV_DNS_ADDR" != "no answer" ]
}

qv_client() {   # qv_client SUBCOMMAND ARGS...: the client tool, in the client namespace
    ip netns exec "$NS_C" "$QV_PY" "$QV_TOOLS/qv_client.py" "$@"
}

# JSON field of the last tool output: qv_field JSON KEY (0 when absent).
qv_field() {
    "$QV_PY" -c 'import json,sys; print(json.loads(sys.argv[1]).get(sys.argv[2], 0))' "$1" "$2"
}

# qv_report NAME STATUS TEXT: one quotable line per fault; STATUS 0 passes.
QV_FAILED=0
qv_report() {
    local verdict=PASSED
    if [ "$2" -ne 0 ]; then verdict=FAILED; QV_FAILED=1; fi
    echo "fault: $1: $3 -> $verdict"
}

# CPU seconds (user + system) the proxy has used so far.
qv_cpu() {
    awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$QPID/stat" 2> /dev/null
}

# qv_stop PID: stops one recorded process and forgets it.
qv_stop() {
    local p=$1 i keep=()
    kill -TERM "$p" 2> /dev/null
    for i in $(seq 50); do kill -0 "$p" 2> /dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2> /dev/null
    wait "$p" 2> /dev/null
    for i in "${QV_PIDS[@]}"; do [ "$i" = "$p" ] || keep+=("$i"); done
    QV_PIDS=("${keep[@]}")
}

# Number of lines in a file, 0 when it does not exist.
qv_lines() {
    local n
    n=$(grep -c '' "$1" 2> /dev/null)
    echo "${n:-0}"
}

# qv_finish: stops the proxy with SIGTERM, which must end it with 0; a
# sanitizer report in its output (the scripts also run against sanitizer
# builds) fails the test too. Exits with the test's status.
qv_finish() {
    local rc
    if [ -n "$QPID" ] && qv_alive; then
        kill -TERM "$QPID"
        # Stopping is prompt; the bound is wide for a loaded machine.
        for _ in $(seq 300); do qv_alive || break; sleep 0.1; done
        if qv_alive; then
            echo "FAILED: quorvel did not stop within 30 s of SIGTERM"
            QV_FAILED=1
        else
            wait "$QPID"
            rc=$?
            QPID=""
            if [ "$rc" -ne 0 ]; then
                echo "FAILED: quorvel exited with $rc on SIGTERM"
                QV_FAILED=1
            fi
        fi
    fi
    if grep -qs "ERROR: AddressSanitizer\|ERROR: LeakSanitizer\|runtime error:\|WARNING: ThreadSanitizer" "$QV_OUT"; then
        echo "FAILED: sanitizer report in quorvel's output:"
        grep -m3 -A12 "ERROR: AddressSanitizer\|ERROR: LeakSanitizer\|runtime error:\|WARNING: ThreadSanitizer" "$QV_OUT"
        QV_FAILED=1
    fi
    exit $QV_FAILED
}
