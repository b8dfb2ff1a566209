#!/bin/bash
# ssl_tunnel_e2e.sh BUILD_DIR: the real quorvel with quorvel_ssl.so as the
# gateway of a LAN made of network namespaces: curl and raw clients through
# the tunnel, every error page as exact bytes, bulk and many tunnels, and
# clients that stall. Needs root (exit 77 otherwise).
set -uo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/ssl/lib.sh"
ssl_besoin_root
trap ssl_nettoie EXIT
SCRATCH=$(mktemp -d)
ssl_reseau "sslt$$"
d=$SCRATCH/proxy
ssl_copie "$build" "$d"
cat > "$d/quorvel.conf" <<'EOF'
[Main]
AllowedHost0=10.77.0.2
AllowedHost1=10.77.0.1
[SSL]
SSLEnabled=yes
SSLPort=8080
EOF
PROXY=10.77.0.1:8080
enc() { ip netns exec "$NS_C" "$PY" "$OUTIL" "$@"; }          # a LAN client
loc() { ip netns exec "$NS_P" "$PY" "$OUTIL" "$@"; }          # the gateway itself
journal() { grep -c -F -- "$1" "$d/quorvel.log"; }
# contient TEXT PAGE: PAGE holds TEXT; shows the start of PAGE when not.
contient() { grep -q -F -- "$1" <<<"$2" || { head -c 400 <<<"$2"; echo; return 1; }; }

# Targets: a TLS server and an echo on the "internet" side, an echo that
# the gateway keeps on its own loopback.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
    -subj /CN=target.test -keyout "$SCRATCH/k.pem" -out "$SCRATCH/c.pem" 2>/dev/null
ssl_fond "$NS_T" openssl s_server -quiet -www -accept 10.77.1.2:4433 \
    -cert "$SCRATCH/c.pem" -key "$SCRATCH/k.pem"
ssl_fond "$NS_T" "$PY" "$OUTIL" serve-echo 10.77.1.2 7000
ssl_fond "$NS_P" "$PY" "$OUTIL" serve-echo 127.0.0.1 7001
ssl_proxy "$d" "$NS_P" || { cat "$d/out"; exit 1; }
for p in "$NS_T 4433" "$NS_T 7000" "$NS_P 7001" "$NS_P 8080"; do
    ssl_attend 30 ssl_ecoute $p || { echo "nothing listens on $p"; cat "$d/out"; exit 1; }
done
ssl_verifie "start line names the port" grep -q "^SSL server starts (8080)$" "$d/out"

# curl through the tunnel, by address and by a name the proxy resolves.
for cible in 10.77.1.2 target.test; do
    page=$(ip netns exec "$NS_C" curl -sS --max-time 20 --interface 10.77.0.2 -k -p \
           -x "http://$PROXY" "https://$cible:4433/" 2>&1)
    ssl_verifie "curl via the tunnel to $cible gets the page" contient "Ciphers supported in s_server binary" "$page"
done
# curl trusting the target's own certificate, not -k.
page=$(ip netns exec "$NS_C" curl -sS --max-time 20 --cacert "$SCRATCH/c.pem" -p \
       -x "http://$PROXY" "https://target.test:4433/" 2>&1)
ssl_verifie "curl verifies the target's certificate through the tunnel" contient "Ciphers supported in s_server binary" "$page"

# The 200 exactly, then the stream untouched both ways (bytes sent before
# the 200 is read included, all 256 byte values, half-close at the end).
attendu=$SCRATCH/attendu
{ printf 'HTTP/1.1 200 OK\r\n\r\n'; for _ in 1 2 3 4; do "$PY" -c \
  'import sys; sys.stdout.buffer.write(bytes(range(256))*100)'; done; } > "$attendu"
recu=$SCRATCH/recu
ip netns exec "$NS_C" "$PY" - "$PROXY" > "$recu" <<'EOF'
import socket, sys
h, p = sys.argv[1].rsplit(":", 1)
s = socket.create_connection((h, int(p)), timeout=30)
# Everything in one write: the target must get the early bytes too.
s.sendall(b"CONNECT 10.77.1.2:7000 HTTP/1.1\r\nHost: a\r\n\r\n" + bytes(range(256)) * 400)
s.shutdown(socket.SHUT_WR)
while True:
    b = s.recv(65536)
    if not b:
        break
    sys.stdout.buffer.write(b)
EOF
ssl_verifie "200 then the transparent stream, early bytes and half-close" cmp -s "$attendu" "$recu"
ssl_verifie "lower-case connect is served" \
    bash -c '[ "$(ip netns exec '"$NS_C"' '"$PY $OUTIL"' ask '"$PROXY"' "connect 10.77.1.2:7000 HTTP/1.1\r\n\r\nxyz" --half-close)" = "$(printf "HTTP/1.1 200 OK\r\n\r\nxyz")" ]'

# Error pages, byte for byte, each followed by the close.
n=$(journal "something else than CONNECT")
ssl_verifie "GET gets 405" enc ask "$PROXY" "GET http://10.77.1.2:7000/ HTTP/1.1\r\nHost: 10.77.1.2\r\n\r\n" --expect-page 1
ssl_verifie "405 is logged" \
    ssl_attend 30 bash -c "[ \$(grep -c -F 'Client application connected to SSL Proxy for something else than CONNECT' '$d/quorvel.log') -eq $((n + 1)) ]"
for req in "FOO\r\n\r\n" "CONNECT 10.77.1.2:0 HTTP/1.1\r\n\r\n" "CONNECT 10.77.1.2:65536 HTTP/1.1\r\n\r\n" \
           "CONNECT 10.77.1.2:99999 HTTP/1.1\r\n\r\n" "CONNECT 10.77.1.2:abc HTTP/1.1\r\n\r\n"; do
    ssl_verifie "400 for $req" enc ask "$PROXY" "$req" --expect-page 0
done
ssl_verifie "400 for a client that closes before its blank line" \
    enc ask "$PROXY" "CONNECT 10.77.1.2:7000 HTTP/1.1\r\n" --half-close --expect-page 0
ssl_verifie "503 Failed to resolve" enc ask "$PROXY" "CONNECT nohost.invalid:443 HTTP/1.1\r\n\r\n" --expect-page 4
ssl_verifie "resolution failure on standard error" grep -q "Resolution de 'nohost.invalid' impossible" "$d/out"
ssl_verifie "503 for a host with control bytes" enc ask "$PROXY" "CONNECT no\x1b[2Jhost:443 HTTP/1.1\r\n\r\n" --expect-page 4
ssl_verifie "control bytes of a host never reach standard error" grep -qF "Resolution de 'no?[2Jhost' impossible" "$d/out"
ssl_verifie "503 Connection refused" enc ask "$PROXY" "CONNECT 10.77.1.2:7999 HTTP/1.1\r\n\r\n" --expect-page 3
ssl_verifie "connection failure on standard error" grep -q "Connexion a '10.77.1.2' impossible" "$d/out"

# A refused address: the page comes although the client has sent nothing,
# so nothing was read from it.
ssl_verifie "refused client gets 403 unread" enc ask "$PROXY" "" --source 10.77.0.3 --expect-page 2
# One that has sent its request gets the whole page too; its unread
# request turns the close into a reset, which may follow the page.
ssl_verifie "refused client that sent its request still reads the 403" \
    enc ask "$PROXY" "CONNECT 10.77.1.2:7000 HTTP/1.1\r\n\r\n" --source 10.77.0.3 --allow-reset --expect-page 2
ssl_verifie "refused client is logged" ssl_attend 30 grep -q "Connection from 10.77.0.3 refused (SSL)" "$d/quorvel.log"
# The gateway's own loopback is not for the LAN, whatever the name.
for cible in 127.0.0.1 localhost 127.3.3.3 0.0.0.0; do
    ssl_verifie "LAN client to $cible:7001 gets 403" \
        enc ask "$PROXY" "CONNECT $cible:7001 HTTP/1.1\r\n\r\n" --source 10.77.0.2 --expect-page 2
done
ssl_verifie "loopback refusal is logged" \
    ssl_attend 30 grep -q "Connection from 10.77.0.2 to 127.0.0.1 refused (SSL)" "$d/quorvel.log"
ssl_verifie "0.0.0.0 refusal is logged" \
    ssl_attend 30 grep -q "Connection from 10.77.0.2 to 0.0.0.0 refused (SSL)" "$d/quorvel.log"
ssl_verifie "the gateway itself may tunnel to its loopback" \
    bash -c '[ "$(ip netns exec '"$NS_P"' '"$PY $OUTIL"' ask 127.0.0.1:8080 "CONNECT 127.0.0.1:7001 HTTP/1.1\r\n\r\nme" --half-close)" = "$(printf "HTTP/1.1 200 OK\r\n\r\nme")" ]'
# The gateway's own LAN address is allowed here (as a "10.77.*" pattern
# would allow it), yet a LAN client that tunnels to the proxy's own port
# to ask again from there does not get that far: the first hop is refused.
ip netns exec "$NS_C" "$PY" - "$PROXY" "$SCRATCH/double" <<'PYEOF'
import socket, sys
h, p = sys.argv[1].rsplit(":", 1)
s = socket.create_connection((h, int(p)), timeout=30, source_address=("10.77.0.2", 0))
s.sendall(b"CONNECT 10.77.0.1:8080 HTTP/1.1\r\n\r\nCONNECT 127.0.0.1:7001 HTTP/1.1\r\n\r\n")
r = b""
try:
    while True:
        b = s.recv(65536)
        if not b:
            break
        r += b
except ConnectionResetError:
    pass    # the unread second request turns the close into a reset
open(sys.argv[2], "wb").write(r)
PYEOF
"$PY" "$OUTIL" page 2 > "$SCRATCH/double_attendu"
ssl_verifie "two hops through the gateway's own port do not reach loopback" \
    cmp -s "$SCRATCH/double_attendu" "$SCRATCH/double"
ssl_verifie "the refused first hop is logged" \
    ssl_attend 30 grep -q "Connection from 10.77.0.2 to 10.77.0.1 refused (SSL)" "$d/quorvel.log"

# 256 MiB each way at once, checksums compared end to end.
taille=$((256 << 20))
ssl_fond "$NS_T" bash -c "exec $PY $OUTIL serve-bulk 10.77.1.2 7100 $taille > $SCRATCH/bulk_cible"
ssl_attend 30 ssl_ecoute "$NS_T" 7100
debut=$SECONDS
timeout 300 ip netns exec "$NS_C" "$PY" "$OUTIL" client-bulk "$PROXY" 10.77.1.2:7100 "$taille" \
    > "$SCRATCH/bulk_client"
ssl_attend 30 test -s "$SCRATCH/bulk_cible"
read -r _ c_env _ c_recu c_n < "$SCRATCH/bulk_client"
read -r _ t_env _ t_recu t_n < "$SCRATCH/bulk_cible"
echo "     256 MiB each way in $((SECONDS - debut)) s"
ssl_verifie "256 MiB client to target intact" [ "${c_env:-x}" = "${t_recu:-y}" -a "${t_n:-0}" = "$taille" ]
ssl_verifie "256 MiB target to client intact" [ "${t_env:-x}" = "${c_recu:-y}" -a "${c_n:-0}" = "$taille" ]

# 500 tunnels open at once, each answering.
ssl_verifie "500 tunnels at once" timeout 300 ip netns exec "$NS_C" "$PY" "$OUTIL" many "$PROXY" 10.77.1.2:7000 500

# Stalling clients cost a thread each, never the service: three silent ones
# and one sending a 1 MiB header without end, then ordinary clients.
lents=()
for _ in 1 2 3; do ssl_fond "$NS_C" "$PY" "$OUTIL" hold "$PROXY" "" 40; lents+=("$BG_PID"); done
ssl_fond "$NS_C" "$PY" "$OUTIL" hold "$PROXY" "CONNECT 10.77.1.2:7000 HTTP/1.1\r\nHost: x" 40; lents+=("$BG_PID")
ssl_fond "$NS_C" "$PY" "$OUTIL" endless "$PROXY" $((1 << 20)) 40; lents+=("$BG_PID")
# One more silent client measures the bound: its 400 comes after the 30
# seconds of the header limit, not before and not much later.
ip netns exec "$NS_C" bash -c "d=\$(date +%s); $PY $OUTIL ask $PROXY '' --wait 60 --expect-page 0 && echo \$((\$(date +%s) - d))" \
    > "$SCRATCH/muet" 2>&1 &
muet=$!
PIDS+=("$muet")
# The stalling clients are connected before the others are timed (the one
# with the endless header may already be answered and closed).
etablies() { [ "$(ip netns exec "$NS_P" ss -Htn state established "sport = :8080" | wc -l)" -ge 5 ]; }
ssl_attend 30 etablies || echo "     (the stalling clients did not all connect)"
debut=$SECONDS
ok=1
for i in 1 2 3 4 5; do
    r=$(timeout 20 ip netns exec "$NS_C" "$PY" "$OUTIL" ask "$PROXY" "CONNECT 10.77.1.2:7000 HTTP/1.1\r\n\r\nhi$i" --half-close)
    [ "$r" = "$(printf 'HTTP/1.1 200 OK\r\n\r\nhi%s' $i)" ] || ok=0
done
# Well inside the 30 seconds a blocked server would take (the stalled clients
# hold it until their header limit), with room for a loaded machine.
[ $((SECONDS - debut)) -le 20 ] || ok=0
ssl_verifie "stalled clients do not stop service to others" [ $ok = 1 ]
page=$(timeout 20 ip netns exec "$NS_C" curl -sS --max-time 15 -k -p -x "http://$PROXY" https://10.77.1.2:4433/ 2>&1)
ssl_verifie "curl still served beside stalled clients" contient "Ciphers supported in s_server binary" "$page"
for p in "${lents[@]}"; do kill "$p" 2>/dev/null; done
wait "$muet"
attente=$(tail -n 1 "$SCRATCH/muet")
echo "     silent client answered after ${attente}s"
# Not before the limit; the upper bound is wide for a loaded machine (the
# client's own start is counted too) yet well below the 60 s it waits.
ssl_verifie "a silent client gets 400 after the 30-second limit" [ "$attente" -ge 29 -a "$attente" -le 45 ] 2>/dev/null

# The proxy survived all of it and stops cleanly.
ssl_verifie "proxy still running" kill -0 "$PROXY_PID"
ssl_proxy_arrete
echo "$ECHECS failure(s)"
[ "$ECHECS" -eq 0 ]
