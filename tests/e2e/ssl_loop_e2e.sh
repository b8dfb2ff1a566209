#!/bin/bash
# ssl_loop_e2e.sh BUILD_DIR: the tunnel never leads back into the proxy
# itself (any address of the gateway at the tunnel's port or TCP 53, from
# the LAN and from loopback alike, addresses added after start included),
# a chain of 1,000 CONNECTs over one connection stays one connection, and a
# name whose first address is dead is reached through its next one. Needs
# root (exit 77 otherwise).
set -uo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/ssl/lib.sh"
ssl_besoin_root
trap ssl_nettoie EXIT
SCRATCH=$(mktemp -d)
ssl_reseau "sslb$$"
# Names with several addresses, in this order. 10.77.1.3 and 10.77.1.51 are
# on the targets' link but nobody holds them: no answer ever comes from
# there. (The resolver sorts addresses of the gateway's own subnets by the
# bits they share with its address: 10.77.1.3 and 10.77.1.2 tie, so the
# file's order stands.)
printf '127.0.0.1 localhost\n10.77.1.2 target.test\n10.77.1.3 deux.test\n10.77.1.2 deux.test\n10.77.1.3 morts.test\n10.77.1.51 morts.test\n10.77.1.2 mixte.test\n10.77.0.1 mixte.test\n' \
    > "/etc/netns/$NS_P/hosts"
d=$SCRATCH/proxy
ssl_copie "$build" "$d"
cp "$build/quorvel_dns.so" "$d/"
# The gateway's LAN address is allowed, as a "10.77.*" pattern would allow
# it: the loop used to go through exactly that.
cat > "$d/quorvel.conf" <<'EOF'
[Main]
AllowedHost0=10.77.0.2
AllowedHost1=10.77.0.1
AllowedHost2=10.77.1.1
[SSL]
SSLEnabled=yes
SSLPort=8080
[DNS]
DNSEnabled=yes
DNSServer1=10.77.1.2
EOF
PROXY=10.77.0.1:8080
enc() { ip netns exec "$NS_C" "$PY" "$OUTIL" "$@"; }          # a LAN client
loc() { ip netns exec "$NS_P" "$PY" "$OUTIL" "$@"; }          # the gateway itself
dans_journal() { ssl_attend 5 grep -q -F -- "$1" "$d/quorvel.log"; }

ssl_fond "$NS_T" "$PY" "$OUTIL" serve-echo 10.77.1.2 7000
ssl_fond "$NS_P" "$PY" "$OUTIL" serve-echo 127.0.0.1 7001
ssl_proxy "$d" "$NS_P" || { cat "$d/out"; exit 1; }
for p in "$NS_T 7000" "$NS_P 7001" "$NS_P 8080"; do
    ssl_attend 10 ssl_ecoute $p || { echo "nothing listens on $p"; cat "$d/out"; exit 1; }
done

# Every address of the gateway at the tunnel's port, from the LAN.
for cible in 10.77.0.1 10.77.1.1 127.0.0.1 0.0.0.0; do
    ssl_verifie "LAN client to the gateway's $cible:8080 gets 403" \
        enc ask "$PROXY" "CONNECT $cible:8080 HTTP/1.1\r\n\r\n" --source 10.77.0.2 --expect-page 2
done
ssl_verifie "the loop refusal names both ends" dans_journal "Connection from 10.77.0.2 to 10.77.0.1 refused (SSL)"
ssl_verifie "the other interface too" dans_journal "Connection from 10.77.0.2 to 10.77.1.1 refused (SSL)"
ssl_verifie "TCP 53 of the gateway while the relay is on gets 403" \
    enc ask "$PROXY" "CONNECT 10.77.0.1:53 HTTP/1.1\r\n\r\n" --source 10.77.0.2 --expect-page 2
# From loopback as well: a loop is a loop.
for cible in 10.77.0.1 127.0.0.1 127.0.0.2; do
    ssl_verifie "loopback client to $cible:8080 gets 403" \
        loc ask 127.0.0.1:8080 "CONNECT $cible:8080 HTTP/1.1\r\n\r\n" --expect-page 2
done
ssl_verifie "loopback refusal is logged" dans_journal "Connection from 127.0.0.1 to 127.0.0.1 refused (SSL)"
ssl_verifie "loopback client to 127.0.0.1:53 gets 403" \
    loc ask 127.0.0.1:8080 "CONNECT 127.0.0.1:53 HTTP/1.1\r\n\r\n" --expect-page 2
ssl_verifie "loopback client still reaches another loopback service" \
    bash -c '[ "$(ip netns exec '"$NS_P"' '"$PY $OUTIL"' ask 127.0.0.1:8080 "CONNECT 127.0.0.1:7001 HTTP/1.1\r\n\r\nme" --half-close)" = "$(printf "HTTP/1.1 200 OK\r\n\r\nme")" ]'
# An address the gateway takes after start is its own at once.
ip -n "$NS_P" addr add 10.77.5.1/32 dev lo
ssl_verifie "an address added after start is refused at the tunnel's port" \
    enc ask "$PROXY" "CONNECT 10.77.5.1:8080 HTTP/1.1\r\n\r\n" --source 10.77.0.2 --expect-page 2
ssl_verifie "a name with any of the gateway's addresses is refused whole" \
    enc ask "$PROXY" "CONNECT mixte.test:8080 HTTP/1.1\r\n\r\n" --source 10.77.0.2 --expect-page 2
ssl_verifie "the same name at another port is served" \
    bash -c '[ "$(ip netns exec '"$NS_C"' '"$PY $OUTIL"' ask '"$PROXY"' "CONNECT mixte.test:7000 HTTP/1.1\r\n\r\nab" --half-close)" = "$(printf "HTTP/1.1 200 OK\r\n\r\nab")" ]'

# The attack: 1,000 CONNECTs to the gateway's own port in one write. Only
# the first is read; it is refused, so the proxy never holds more than this
# one connection.
chaine=$(for _ in $(seq 1000); do printf 'CONNECT 10.77.0.1:8080 HTTP/1.1\\r\\n\\r\\n'; done)
read -r fd0 < <(ls "/proc/$PROXY_PID/fd" | wc -l)
max_thr=0 max_fd=0
enc ask "$PROXY" "$chaine" --source 10.77.0.2 --allow-reset --expect-page 2 > "$SCRATCH/chaine" &
cpid=$!
PIDS+=("$cpid")
while kill -0 "$cpid" 2>/dev/null; do
    thr=$(awk '/^Threads:/ {print $2}' "/proc/$PROXY_PID/status")
    fds=$(ls "/proc/$PROXY_PID/fd" | wc -l)
    [ "$thr" -gt "$max_thr" ] && max_thr=$thr
    [ "$fds" -gt "$max_fd" ] && max_fd=$fds
    sleep 0.05
done
wait "$cpid"
rc=$?
echo "     1,000 chained CONNECTs: peak $max_thr threads, $max_fd descriptors (idle: $fd0 descriptors)"
ssl_verifie "the chained CONNECTs get one 403" [ "$rc" -eq 0 ]
ssl_verifie "the chain never multiplies threads" [ "$max_thr" -le 8 ]
ssl_verifie "the chain never multiplies descriptors" [ "$max_fd" -le $((fd0 + 4)) ]

# Several addresses: tried in order, the dead first one does not cost the site.
ordre=$(ip netns exec "$NS_P" getent ahostsv4 deux.test | awk '$2 == "STREAM" {print $1}' | tr '\n' ' ')
ssl_verifie "the resolver gives deux.test's dead address first ($ordre)" [ "$ordre" = "10.77.1.3 10.77.1.2 " ]
debut=$SECONDS
ssl_verifie "a name whose first address is dead is tunnelled through its second" \
    bash -c '[ "$(ip netns exec '"$NS_C"' '"$PY $OUTIL"' ask '"$PROXY"' "CONNECT deux.test:7000 HTTP/1.1\r\n\r\nxy" --half-close)" = "$(printf "HTTP/1.1 200 OK\r\n\r\nxy")" ]'
echo "     dead first address: served in $((SECONDS - debut)) s"
debut=$SECONDS
ssl_verifie "a name whose every address is dead gets 503 Connection refused" \
    enc ask "$PROXY" "CONNECT morts.test:7000 HTTP/1.1\r\n\r\n" --expect-page 3
duree=$((SECONDS - debut))
echo "     every address dead: 503 in $duree s"
ssl_verifie "one 10-second limit for all the addresses" [ "$duree" -le 14 ]
ssl_verifie "the connection failure names the host" grep -q "Connexion a 'morts.test' impossible" "$d/out"

ssl_verifie "the proxy is still running" kill -0 "$PROXY_PID"
ssl_proxy_arrete
if grep -qs "ERROR: AddressSanitizer\|runtime error:\|WARNING: ThreadSanitizer" "$d/out"; then
    ssl_ko "sanitizer report in the proxy's output"
fi
[ "$ECHECS" -eq 0 ] && echo "all passed" || echo "$ECHECS failed"
exit $((ECHECS > 0))
