#!/bin/bash
# tests/e2e/http_forward_e2e.sh BUILD_DIR: the HTTP proxy module carries
# real clients' http:// requests (curl, wget, Python's urllib, a WebSocket
# client) and their CONNECTs on one port, to origin servers on loopback:
# bodies of every framing both ways, fields as they came, keep-alive to any
# hosts, kept server connections, the access log and the statistics line.
set -uo pipefail
source "$(dirname "$0")/http/lib.sh"
build=$(cd "${1:?usage: http_forward_e2e.sh BUILD_DIR}" && pwd)
http_prepare http_forward "$build"

P=$(http_port) O1=$(http_port) O2=$(http_port)
cat > "$SCRATCH/quorvel.conf" <<EOF
[Main]
AccessLog=access.log
[HTTP_FTP]
HTTPEnabled=yes
HTTPPort=$P
HTTPIdleTimeout=3
EOF
http_origine "$O1" || { echo "FAIL: origin did not start" >&2; exit 1; }
http_origine "$O2" || { echo "FAIL: origin did not start" >&2; exit 1; }
http_proxy || { echo "FAIL: the proxy did not start"; cat "$SCRATCH/out"; exit 1; }
http_verifie "status line HTTP server starts ($P)" grep -qxF "HTTP server starts ($P)" "$SCRATCH/out"
http_verifie "no 'Unable to load quorvel_http.so' line" bash -c "! grep -q 'Unable to load quorvel_http.so' '$SCRATCH/out'"

export http_proxy=http://127.0.0.1:$P
unset HTTP_PROXY no_proxy NO_PROXY
O=http://127.0.0.1:$O1
CLIENT="$PY $HTTP_OUTILS/qv_http_client.py"
motif() { "$PY" -c "import sys; n=int(sys.argv[1]); sys.stdout.buffer.write((b'abcdefghijklmnopqrstuvwxyz'*(n//26+1))[:n])" "$1"; }
motif 300000 > "$SCRATCH/motif"
somme() { md5sum | cut -d' ' -f1; }
attendu=$(somme < "$SCRATCH/motif")

# Bodies by length, by chunks and until the close, whole.
for chemin in taille morceaux ferme; do
    http_verifie "curl GET /$chemin: 300000 bytes intact" \
        test "$(curl -sS --max-time 60 "$O/$chemin/300000" | somme)" = "$attendu"
done
http_verifie "wget GET through http_proxy" \
    test "$(wget -q -O - -e use_proxy=yes "$O/morceaux/300000" | somme)" = "$attendu"
http_verifie "urllib GET through its proxy handler" \
    test "$($CLIENT urllib 127.0.0.1:$P "$O/taille/123456")" = 123456

# The head the origin got: Host from the URL, repeats in order, hop-by-hop
# fields and those that Connection names gone, Via added; the answer's
# repeats in order and its Via.
tete=$(curl -sS --max-time 30 -H 'Host: ailleurs' -H 'X-A: 1' -H 'X-A: 2' -H 'X-Secret: s' \
    -H 'Connection: X-Secret' -H 'Keep-Alive: 5' -H 'Proxy-Authorization: Basic eA==' -H 'TE: trailers' \
    -H 'X-Ordre: fin' "$O/tete")
http_verifie "Host is the URL's" grep -qx $'Host: 127.0.0.1:'"$O1"$'\r' <<<"$tete"
http_verifie "the client's Host field is gone" bash -c "! grep -q ailleurs <<<'$tete'"
http_verifie "repeated fields pass in order" test "$(grep -c '^X-A: [12]' <<<"$tete")" = 2
http_verifie "X-A 1 before X-A 2 before X-Ordre" test "$(grep -E '^X-(A|Ordre):' <<<"$tete" | tr -d '\r' | tr '\n' ' ')" = "X-A: 1 X-A: 2 X-Ordre: fin "
http_verifie "hop-by-hop fields removed" bash -c "! grep -qiE '^(Connection|Keep-Alive|Proxy-Authorization|TE|X-Secret):' <<<'$tete'"
http_verifie "Via: 1.1 quorvel on the request" grep -qx $'Via: 1.1 quorvel\r' <<<"$tete"
reponse=$(curl -sS --max-time 30 -D - -o /dev/null "$O/taille/10" | tr -d '\r')
http_verifie "answer's repeated fields in order" test "$(grep '^X-Rep' <<<"$reponse" | tr '\n' ' ')" = "X-Rep: 1 X-Rep: 2 "
http_verifie "Via: 1.1 quorvel on the answer" grep -qx 'Via: 1.1 quorvel' <<<"$reponse"

# Request bodies: by length, chunked, behind Expect: 100-continue.
head -c 3000000 /dev/urandom > "$SCRATCH/gros"
gros=$(somme < "$SCRATCH/gros")
http_verifie "POST 3 MB by length comes back intact" \
    test "$(curl -sS --max-time 60 -H 'Expect:' --data-binary @"$SCRATCH/gros" "$O/echo" | somme)" = "$gros"
http_verifie "PUT chunked comes back intact" \
    test "$(curl -sS --max-time 60 -H 'Expect:' -H 'Transfer-Encoding: chunked' -T "$SCRATCH/gros" "$O/echo" | somme)" = "$gros"
http_verifie "POST behind Expect: 100-continue" \
    test "$(curl -sS --max-time 60 -H 'Expect: 100-continue' --data-binary @"$SCRATCH/gros" "$O/echo" | somme)" = "$gros"
http_verifie "OPTIONS, DELETE and PATCH pass" test "$(for m in OPTIONS DELETE PATCH; do curl -sS --max-time 30 -o /dev/null -w '%{http_code} ' -X $m "$O/taille/5"; done)" = "200 200 200 "
http_verifie "HEAD: the head alone" test "$(curl -sS --max-time 30 -I "$O/taille/100" | tr -d '\r' | grep -c '^Content-Length: 100$')" = 1
http_verifie "204 without body, then the next request on the same connection" \
    test "$(curl -sS --max-time 30 -o /dev/null -o /dev/null -w '%{http_code} ' "$O/vide" "$O/taille/3")" = "204 200 "

# Keep-alive: one client connection for three requests, one server
# connection for them; another host on the same client connection.
avant=$(curl -sS --max-time 30 "$O/connexions")
curl -sS --max-time 30 -o /dev/null "$O/taille/1" -o /dev/null "$O/taille/2" -o "$SCRATCH/n" "$O/connexions"
http_verifie "the server connection is kept for the next request" test "$(cat "$SCRATCH/n")" = $((avant + 1))
http_verifie "HTTP/1.1 requests to two hosts on one connection" \
    test "$($CLIENT hosts 127.0.0.1:$P "$O/taille/5" "http://127.0.0.1:$O2/taille/5")" = "200 200"
http_verifie "HTTP/1.0 with Connection: keep-alive keeps the connection" \
    bash -c "curl -sS -0 --max-time 30 -H 'Connection: keep-alive' -v -o /dev/null '$O/taille/1' -o /dev/null '$O/taille/2' 2>&1 | grep -q 'Re-using existing connection'"
http_verifie "pipelined requests are answered in turn" test "$($CLIENT pipeline 127.0.0.1:$P "$O/taille/100" 20)" = 20

# WebSocket: the 101 turns the connection into a relay.
http_verifie "WebSocket through the proxy" test "$($CLIENT websocket 127.0.0.1:$P 127.0.0.1:$O1)" = ok

# CONNECT on the same port, as the tunnel serves it.
http_verifie "CONNECT on the HTTP port (curl --proxytunnel)" \
    test "$(curl -sS --max-time 30 --proxytunnel "$O/taille/300000" | somme)" = "$attendu"
http_verifie "CONNECT to the proxy's own port is refused (403)" \
    test "$($CLIENT raw 127.0.0.1:$P "$(printf 'CONNECT 127.0.0.1:%s HTTP/1.1\r\n\r\n' "$P" | "$PY" -c 'import sys; print(sys.stdin.buffer.read().hex())')")" = "HTTP/1.1 403 Forbidden closed"

# The idle limit closes a connection that carries nothing.
idle=$($CLIENT idle 127.0.0.1:$P "$O/taille/1")
http_verifie "HTTPIdleTimeout=3 closes the idle connection ($idle s)" \
    "$PY" -c "import sys; sys.exit(0 if 2.5 <= float('$idle') <= 30 else 1)"

# Access log: one line per request, query dropped.
curl -sS --max-time 30 -o /dev/null "$O/taille/7?jeton=secret"
http_attend 30 grep -q 'url=http://127.0.0.1:'"$O1"'/taille/7 ' "$SCRATCH/access.log"
http_verifie "access line of a GET" grep -qE "^[0-9-]+ [0-9:]+ http client=127\.0\.0\.1:[0-9]+ method=GET url=http://127\.0\.0\.1:$O1/taille/7 addr=127\.0\.0\.1 status=200 up=0 down=7 ms=[0-9]+$" "$SCRATCH/access.log"
http_verifie "the query never reaches the access log" bash -c "! grep -q secret '$SCRATCH/access.log'"
http_verifie "access line of a POST counts the body up" grep -qE "method=POST url=http://127\.0\.0\.1:$O1/echo addr=127\.0\.0\.1 status=200 up=3000000 down=3000000 " "$SCRATCH/access.log"
http_verifie "a CONNECT writes the tunnel's line, first word http" grep -qE "^[0-9-]+ [0-9:]+ http client=127\.0\.0\.1:[0-9]+ target=127\.0\.0\.1:$O1 addr=127\.0\.0\.1 status=200 up=[0-9]+ down=[0-9]+ ms=[0-9]+$" "$SCRATCH/access.log"

# Statistics on SIGUSR2.
kill -USR2 "$PROXY_PID"
http_attend 30 grep -q "HTTP statistics:" "$SCRATCH/quorvel.log"
http_verifie "SIGUSR2 writes the HTTP statistics line" grep -qE "HTTP statistics: open=[0-9]+ requests=[0-9]+ refused=0 pages=1 bytes_up=[0-9]+ bytes_down=[0-9]+ blocked=0$" "$SCRATCH/quorvel.log"
# The stop ends a download under way and writes its access line.
curl -sS --max-time 120 --limit-rate 200k -o "$SCRATCH/lent" "$O/ferme/100000000" 2>/dev/null &
lent=$!
PIDS+=($lent)
http_attend 30 test -s "$SCRATCH/lent"
http_proxy_arrete
wait "$lent" 2>/dev/null
http_verifie "the stop writes the access line of a download under way" \
    grep -qE "method=GET url=http://127\.0\.0\.1:$O1/ferme/100000000 addr=127\.0\.0\.1 status=200 up=0 down=[1-9][0-9]* " "$SCRATCH/access.log"
http_verifie "the stop writes it too" test "$(grep -c 'HTTP statistics:' "$SCRATCH/quorvel.log")" -ge 2
http_fin
