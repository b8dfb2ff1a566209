#!/bin/bash
# tests/e2e/reload_e2e.sh BUILD_DIR: SIGHUP makes quorvel read quorvel.conf
# again while it serves, in namespaces of its own (tools/qv_netns.sh).
#   1. A host added to the allowed list is served at once, for tunnels and
#      DNS, while a tunnel opened before carries on byte for byte.
#   2. The file removed: the reload fails, the running configuration stays.
#   3. A new SSLPort: one restart-needed line; the old port keeps serving.
#   4. New DNS upstreams take effect; when neither resolves the old ones stay.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup reload "${1:?usage: reload_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
qv_start_proxy || exit 1
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
conf=$QV_DIR/q/quorvel.conf

# recharge TEXT: SIGHUP, then waits (up to 30 s) for one more log line
# holding TEXT; 1 when it never comes.
recharge() {
    local avant i
    avant=$(grep -cF -- "$1" "$QV_LOG")
    kill -HUP "$QPID"
    for i in $(seq 300); do
        [ "$(grep -cF -- "$1" "$QV_LOG")" -gt "$avant" ] && return 0
        qv_alive || break
        sleep 0.1
    done
    echo "never logged: $1"
    return 1
}
# dns_partout ADDRESS SOURCE: 0 when 8 queries from SOURCE all get ADDRESS.
dns_partout() {
    local i r
    for i in $(seq 8); do
        r=$(ip netns exec "$NS_C" dig +short +tries=4 +time=1 -b "$2" @$QV_PROXY "n$i-$RANDOM.soak.test" 2>&1)
        [ "$r" = "$1" ] || { QV_DNS_ADDR="query $i: ${r:-no answer}"; return 1; }
    done
    QV_DNS_ADDR=$1
}

# 1. A new allowed host, and a tunnel that stays open across the reload.
st=0
qv_tunnel_served $QV_REFUSED && st=1
avant_code=$QV_TUNNEL_CODE
grep -q "Connection from $QV_REFUSED refused (SSL)" "$QV_LOG" || st=1
go=$QV_DIR/go
ip netns exec "$NS_C" "$QV_PY" "$QV_TOOLS/qv_tunnel_pause.py" --src $QV_ALLOWED \
    --proxy $QV_PROXY:8080 --target $QV_TARGET:7000 --go "$go" > "$QV_DIR/tunnel.out" 2>&1 &
tunnel_pid=$!
QV_PIDS+=($tunnel_pid)
for _ in $(seq 300); do
    grep -qs "before ok\|FAILED" "$QV_DIR/tunnel.out" && break
    sleep 0.1
done
sed -i "s/^AllowedHost1=.*/&\nAllowedHost2=$QV_REFUSED/" "$conf"
recharge "Configuration reloaded" || st=1
touch "$go"
wait "$tunnel_pid" || st=1
tunnel=$(tr '\n' ' ' < "$QV_DIR/tunnel.out")
[ "$tunnel" = "before ok after ok " ] || st=1
qv_tunnel_served $QV_REFUSED || st=1
qv_dns_served $QV_REFUSED || st=1
qv_report "a host added, then SIGHUP" $st \
    "before: $avant_code; after: tunnel $QV_TUNNEL_CODE, dns $QV_DNS_ADDR; the open tunnel: $tunnel"

# 2. The file gone: the running configuration stays, the new host included.
st=0
mv "$conf" "$conf.away"
recharge "Configuration reload failed: $conf: No such file or directory; the running configuration stays" || st=1
qv_served $QV_REFUSED || st=1
mv "$conf.away" "$conf"
qv_report "SIGHUP with quorvel.conf removed" $st "then for the added host: $QV_SERVED_WHAT"

# 3. SSLPort changed: logged, the listener stays on 8080.
st=0
sed -i 's/^SSLPort=8080$/SSLPort=8081/' "$conf"
n=$(grep -c "Configuration reloaded" "$QV_LOG")
recharge "Configuration reload: SSLPort changed; the running value stays until a restart" || st=1
# The rest of that reload went through: its closing line follows.
for _ in $(seq 300); do [ "$(grep -c "Configuration reloaded" "$QV_LOG")" -gt "$n" ] && break; sleep 0.1; done
[ "$(grep -c "Configuration reloaded" "$QV_LOG")" -gt "$n" ] || st=1
[ -n "$(ip netns exec "$NS_Q" ss -ltnH "sport = :8080")" ] || st=1
[ -z "$(ip netns exec "$NS_Q" ss -ltnH "sport = :8081")" ] || st=1
qv_tunnel_served $QV_ALLOWED || st=1
sed -i 's/^SSLPort=8081$/SSLPort=8080/' "$conf"
qv_report "SSLPort changed, then SIGHUP" $st "tunnel on 8080: $QV_TUNNEL_CODE; listening on 8081: $(ip netns exec "$NS_Q" ss -ltnH "sport = :8081" | wc -l)"

# 4. Only NS2 (which answers 10.9.9.2), then neither server resolves.
st=0
sed -i -e "s/^DNSServer1=.*/DNSServer1=$QV_NS2/" -e "s/^DNSServer2=.*/DNSServer2=/" "$conf"
recharge "Configuration reload: DNS servers now $QV_NS2 and 255.255.255.255" || st=1
dns_partout 10.9.9.2 $QV_ALLOWED || st=1
apres=$QV_DNS_ADDR
sed -i -e "s/^DNSServer1=.*/DNSServer1=/" "$conf"
recharge "Configuration reload: neither DNSServer1 nor DNSServer2 resolves; the running DNS servers stay" || st=1
dns_partout 10.9.9.2 $QV_ALLOWED || st=1
qv_report "DNS upstreams changed, then unresolvable" $st "answers after the change: $apres; after the unresolvable one: $QV_DNS_ADDR"

st=0
grep -q "DNS server exits" "$QV_OUT" && st=1
qv_alive || st=1
qv_report "after five reloads" $st "$(grep -c "Configuration reloaded" "$QV_LOG") reloads logged, $(grep -c "Configuration reload failed" "$QV_LOG") failed"
qv_finish
