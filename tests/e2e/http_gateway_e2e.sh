#!/bin/bash
# tests/e2e/http_gateway_e2e.sh BUILD_DIR: the HTTP proxy on a gateway, in
# network namespaces of its own (tests/e2e/ssl/lib.sh): LAN clients (one
# allowed, one not), the gateway with a secondary LAN address, a target
# network. Allowed and refused clients, the gateway's loopback, the
# gateway's own ports at every address of it (secondary ones, and one added
# after start) refused by both modules, and the block list for http:// and
# CONNECT.
set -uo pipefail
source "$(dirname "$0")/ssl/lib.sh"
build=$(cd "${1:?usage: http_gateway_e2e.sh BUILD_DIR}" && pwd)
ssl_besoin_root
trap ssl_nettoie EXIT
SCRATCH=$(mktemp -d /tmp/http_gateway.XXXXXX)
chmod 755 "$SCRATCH"
X=hg$$
X=${X:0:8}
ssl_reseau "$X"
ip -n "$NS_P" addr add 10.77.0.9/24 dev "${X}pc"   # secondary address of the LAN side
D=$SCRATCH/q
ssl_copie "$build" "$D"
cp "$build/quorvel_http.so" "$D/"
printf 'ads.test\n' > "$D/adhosts"
cat > "$D/quorvel.conf" <<EOF
[Main]
AllowedHost0=10.77.0.2
AccessLog=access.log
StatsPort=9100
StatsListen=10.77.0.1
[SSL]
SSLEnabled=yes
SSLPort=8080
[HTTP_FTP]
HTTPEnabled=yes
HTTPPort=3128
HTTPBlockAds=yes
HTTPMaxPerClient=2
AdHostsFile=adhosts
EOF
ORIGINE=$(cd "$(dirname "$0")/tools" && pwd)/qv_origine.py
CLIENT=$(cd "$(dirname "$0")/tools" && pwd)/qv_http_client.py
ssl_fond "$NS_T" "$PY" "$ORIGINE" 80 10.77.1.2
ssl_fond "$NS_P" "$PY" "$ORIGINE" 8081 127.0.0.1   # a service on the gateway's loopback
ssl_attend 30 ssl_ecoute "$NS_T" 80 && ssl_attend 30 ssl_ecoute "$NS_P" 8081 || { echo "FAIL: origins" >&2; exit 1; }
ssl_proxy "$D" "$NS_P" || { echo "FAIL: the proxy did not start" >&2; cat "$D/out"; exit 1; }
ssl_attend 30 ssl_ecoute "$NS_P" 3128 && ssl_attend 30 ssl_ecoute "$NS_P" 8080 || { echo "FAIL: not listening" >&2; cat "$D/out"; exit 1; }

# demande SRC PROXYPORT TEXT: a raw request from SRC in the client namespace;
# prints the status line and whether the proxy closed.
demande() {
    printf '%b' "$3" | "$PY" -c 'import sys; print(sys.stdin.buffer.read().hex())' |
        ip netns exec "$NS_C" "$PY" -c '
import socket, sys
s = socket.create_connection(("10.77.0.1", int(sys.argv[2])), timeout=30, source_address=(sys.argv[1], 0))
s.sendall(bytes.fromhex(sys.stdin.read()))
r = b""
try:
    while True:
        d = s.recv(65536)
        if not d: break
        r += d
except OSError:
    pass
print(r.split(b"\r\n")[0].decode("latin-1"), "BLOCKED" if b"<H1>Blocked</H1>" in r else "")
' "$1" "$2"
}
curl_c() { ip netns exec "$NS_C" curl -sS --max-time 30 --interface 10.77.0.2 -x http://10.77.0.1:3128 "$@"; }

ssl_verifie "GET through the gateway to the target network" test "$(curl_c http://10.77.1.2/taille/5)" = abcde
ssl_verifie "a name the gateway resolves" test "$(curl_c http://target.test/taille/3)" = abc
ssl_verifie "CONNECT through the HTTP port" test "$(curl_c -p http://target.test/taille/4)" = abcd
ssl_verifie "a client not allowed: 403" test "$(demande 10.77.0.3 3128 'GET http://10.77.1.2/ HTTP/1.1\r\n\r\n')" = "HTTP/1.1 403 Forbidden "
ssl_attend 30 grep -q "Connection from 10.77.0.3 refused (HTTP)" "$D/quorvel.log"
ssl_verifie "its log line" grep -q "Connection from 10.77.0.3 refused (HTTP)" "$D/quorvel.log"
ssl_verifie "the gateway's loopback from the LAN: 403" test "$(demande 10.77.0.2 3128 'GET http://127.0.0.1:8081/taille/1 HTTP/1.1\r\n\r\n')" = "HTTP/1.1 403 Forbidden "
ssl_verifie "its log line" grep -q "Connection from 10.77.0.2 to 127.0.0.1 refused (HTTP)" "$D/quorvel.log"

# The gateway's own ports at every address of it, by both modules.
for port in 3128 8080 9100; do
    for a in 10.77.0.1 10.77.0.9 10.77.1.1; do
        ssl_verifie "HTTP proxy, GET to $a:$port: 403" test "$(demande 10.77.0.2 3128 "GET http://$a:$port/ HTTP/1.1\r\n\r\n")" = "HTTP/1.1 403 Forbidden "
        ssl_verifie "HTTP proxy, CONNECT to $a:$port: 403" test "$(demande 10.77.0.2 3128 "CONNECT $a:$port HTTP/1.1\r\n\r\n")" = "HTTP/1.1 403 Forbidden "
        ssl_verifie "tunnel, CONNECT to $a:$port: 403" test "$(demande 10.77.0.2 8080 "CONNECT $a:$port HTTP/1.1\r\n\r\n")" = "HTTP/1.1 403 Forbidden "
    done
done
ip -n "$NS_P" addr add 10.77.0.10/24 dev "${X}pc"
ssl_verifie "an address added after start, HTTP proxy: 403" test "$(demande 10.77.0.2 3128 'CONNECT 10.77.0.10:3128 HTTP/1.1\r\n\r\n')" = "HTTP/1.1 403 Forbidden "
ssl_verifie "an address added after start, tunnel: 403" test "$(demande 10.77.0.2 8080 'CONNECT 10.77.0.10:3128 HTTP/1.1\r\n\r\n')" = "HTTP/1.1 403 Forbidden "

# The caps: a third connection of one client while two are open.
sature=$(ip netns exec "$NS_C" "$PY" -c '
import socket
tenues = [socket.create_connection(("10.77.0.1", 3128), timeout=30, source_address=("10.77.0.2", 0)) for _ in range(2)]
for t in tenues:
    t.sendall(b"GET http://10.77.1.2/taille/1 HTTP/1.1\r\nHost: x\r\n\r\n")
    t.recv(65536)
s = socket.create_connection(("10.77.0.1", 3128), timeout=30, source_address=("10.77.0.2", 0))
r = b""
while True:
    d = s.recv(65536)
    if not d: break
    r += d
print(r.split(b"\r\n")[0].decode(), "SATURE" if b"Too many connections" in r else "")
')
ssl_verifie "HTTPMaxPerClient=2: the third connection gets 503" test "$sature" = "HTTP/1.1 503 Service Unavailable SATURE"
ssl_attend 30 grep -q "Connection from 10.77.0.2 refused: too many connections (HTTP)" "$D/quorvel.log"
ssl_verifie "its log line" grep -q "Connection from 10.77.0.2 refused: too many connections (HTTP)" "$D/quorvel.log"
ssl_verifie "its access line" ssl_attend 30 grep -qE "http client=10\.77\.0\.2:[0-9]+ method= url= addr=- status=503 " "$D/access.log"

# The block list, for http:// and CONNECT.
ssl_verifie "GET to a listed host: 403 Blocked" test "$(demande 10.77.0.2 3128 'GET http://ads.test/x HTTP/1.1\r\n\r\n')" = "HTTP/1.1 403 Forbidden BLOCKED"
ssl_verifie "GET to a subdomain of it: 403 Blocked" test "$(demande 10.77.0.2 3128 'GET http://sub.ads.test/x HTTP/1.1\r\n\r\n')" = "HTTP/1.1 403 Forbidden BLOCKED"
ssl_verifie "CONNECT to a listed host: 403 Blocked" test "$(demande 10.77.0.2 3128 'CONNECT ads.test:443 HTTP/1.1\r\n\r\n')" = "HTTP/1.1 403 Forbidden BLOCKED"
ssl_verifie "the blocked line" grep -q "Connection from 10.77.0.2 to ads.test blocked (HTTP)" "$D/quorvel.log"
ssl_verifie "the list loaded once" test "$(grep -c 'ad-domains loaded' "$D/out")" = 1
ssl_verifie "access line of the blocked GET" ssl_attend 30 grep -qE "http client=10\.77\.0\.2:[0-9]+ method=GET url=http://ads\.test/x addr=- status=403 up=0 down=0 ms=[0-9]+$" "$D/access.log"
ssl_verifie "access line of the blocked CONNECT" ssl_attend 30 grep -qE "http client=10\.77\.0\.2:[0-9]+ target=ads\.test:443 addr=- status=403 " "$D/access.log"

# A reload: the allowed-host table and HTTPBlockAds are taken up, a new
# port only named in the log.
sed -i -e 's/^HTTPBlockAds=yes/HTTPBlockAds=no/' -e 's/^HTTPPort=3128/HTTPPort=3129/' \
    -e 's/^AllowedHost0=10.77.0.2/AllowedHost0=10.77.0.*/' "$D/quorvel.conf"
kill -HUP "$PROXY_PID"
ssl_attend 30 grep -q "Configuration reloaded" "$D/quorvel.log"
ssl_verifie "reload: HTTPPort named as needing a restart" grep -q "Configuration reload: HTTPPort changed; the running value stays until a restart" "$D/quorvel.log"
ssl_verifie "reload: the new allowed-host table" test "$(demande 10.77.0.3 3128 'GET http://10.77.1.2/taille/2 HTTP/1.1\r\nConnection: close\r\n\r\n')" = "HTTP/1.1 200 OK "
ssl_verifie "reload: HTTPBlockAds off" test "$(demande 10.77.0.2 3128 'GET http://ads.test/x HTTP/1.1\r\n\r\n')" = "HTTP/1.1 503 Service Unavailable "
ssl_proxy_arrete
if [ "$ECHECS" -ne 0 ]; then
    cat "$D/out" "$D/quorvel.log" >&2
    echo "$ECHECS case(s) failed" >&2
    exit 1
fi
echo "all cases passed"
