#!/bin/bash
# tests/e2e/http_hostile_e2e.sh BUILD_DIR: hostile raw-socket clients of the
# HTTP proxy module. Requests framed two ways at once get the 400 page and
# the server sees nothing of them; a bad chunk in a body under way never
# reaches the server; heads and targets over the limits get their pages;
# clients that do not read, and servers that send without end, leave the
# proxy's memory bounded; the traces that requests cause are bounded.
# Runs in a network namespace of its own (root), so that a name lookup the
# proxy makes cannot leave the machine.
set -uo pipefail
if [ "$(id -u)" != 0 ]; then echo "skipped: a network namespace needs root" >&2; exit 77; fi
if [ -z "${QUORVEL_HTTP_NS:-}" ]; then
    exec unshare -n env QUORVEL_HTTP_NS=1 bash "$0" "$@"
fi
ip link set lo up
source "$(dirname "$0")/http/lib.sh"
build=$(cd "${1:?usage: http_hostile_e2e.sh BUILD_DIR}" && pwd)
http_prepare http_hostile "$build"

P=$(http_port) O=$(http_port) E=$(http_port)
cat > "$SCRATCH/quorvel.conf" <<EOF
[Main]
AccessLog=access.log
[HTTP_FTP]
HTTPEnabled=yes
HTTPPort=$P
EOF
http_origine "$O" || { echo "FAIL: origin did not start" >&2; exit 1; }
CLIENT="$PY $HTTP_OUTILS/qv_http_client.py"
J=$SCRATCH/journal
: > "$J"
$CLIENT enregistre "$E" "$J" > "$SCRATCH/enregistre" 2>&1 &
PIDS+=($!)
http_attend 30 grep -q ready "$SCRATCH/enregistre" || { echo "FAIL: recorder did not start" >&2; exit 1; }
http_proxy || { echo "FAIL: the proxy did not start"; cat "$SCRATCH/out"; exit 1; }

hexa() { printf '%b' "$1" | "$PY" -c 'import sys; print(sys.stdin.buffer.read().hex())'; }
# brut TEXT: sends TEXT (printf %b escapes) raw, prints the status line and
# whether the proxy closed.
brut() { hexa "$1" | $CLIENT raw 127.0.0.1:$P -; }
R="http://127.0.0.1:$E/r"

# Smuggling: each gets the 400 page and the close; the recorder sees nothing.
while IFS='|' read -r nom texte; do
    [ -n "$nom" ] || continue
    http_verifie "$nom: 400 and close" test "$(brut "$texte")" = "HTTP/1.1 400 Bad Request closed"
done <<EOF
Content-Length and Transfer-Encoding|POST $R HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n
differing Content-Length values|POST $R HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcde
Content-Length list that differs|POST $R HTTP/1.1\r\nContent-Length: 4, 5\r\n\r\nabcde
Transfer-Encoding not chunked last|POST $R HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n
Transfer-Encoding identity|POST $R HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\nabc
folded line|GET $R HTTP/1.1\r\nX-A: a\r\n b\r\n\r\n
CR inside a field|GET $R HTTP/1.1\r\nX-A: a\rb\r\n\r\n
NUL inside a field|GET $R HTTP/1.1\r\nX-A: a\0b\r\n\r\n
blank before the colon|GET $R HTTP/1.1\r\nContent-Length : 5\r\n\r\nabcde
not an absolute URL|GET /r HTTP/1.1\r\nHost: 127.0.0.1:$E\r\n\r\n
URL with credentials|GET http://u:p@127.0.0.1:$E/r HTTP/1.1\r\n\r\n
EOF
http_verifie "the server saw none of those requests" test ! -s "$J"

# A bad chunk size in a body under way: the good chunk passes, the bad line
# does not, the client gets 400.
http_verifie "bad chunk size: 400 and close" \
    test "$(brut "POST $R HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\nzz\r\nSMUGGLED")" = "HTTP/1.1 400 Bad Request closed"
http_verifie "the server got the good chunk only" bash -c "grep -q abc '$J' && ! grep -q -e zz -e SMUGGLED '$J'"

# Pages of the limits and of the schemes.
long=$(printf 'a%.0s' $(seq 8300))
http_verifie "target over 8 KiB: 414" test "$(brut "GET http://127.0.0.1:$E/$long HTTP/1.1\r\n\r\n")" = "HTTP/1.1 414 Request-URI Too Long closed"
champs=$(printf 'X-A: b\\r\\n%.0s' $(seq 101))
http_verifie "101 fields: 431" test "$(brut "GET $R HTTP/1.1\r\n$champs\r\n")" = "HTTP/1.1 431 Request Header Fields Too Large closed"
gros=$(printf 'b%.0s' $(seq 70000))
http_verifie "head over 64 KiB: 431" test "$(brut "GET $R HTTP/1.1\r\nX-A: $gros\r\n\r\n")" = "HTTP/1.1 431 Request Header Fields Too Large closed"
http_verifie "ftp://: 501" test "$(brut "GET ftp://127.0.0.1/x HTTP/1.1\r\n\r\n")" = "HTTP/1.1 501 Not Implemented closed"
http_verifie "https:// without CONNECT: 501" test "$(brut "GET https://127.0.0.1/x HTTP/1.1\r\n\r\n")" = "HTTP/1.1 501 Not Implemented closed"
http_verifie "connection refused: 503" test "$(brut "GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n")" = "HTTP/1.1 503 Service Unavailable closed"
http_verifie "name that does not resolve: 503" test "$(brut "GET http://nowhere.invalid/ HTTP/1.1\r\n\r\n")" = "HTTP/1.1 503 Service Unavailable closed"
http_verifie "the proxy's own port: 403" test "$(brut "GET http://127.0.0.1:$P/ HTTP/1.1\r\n\r\n")" = "HTTP/1.1 403 Forbidden closed"
http_verifie "garbage: 400" test "$(brut "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n")" = "HTTP/1.1 400 Bad Request closed"

# Traces that requests cause are bounded: 150 refused connections leave at
# most 100 "Connexion a" texts this minute.
"$PY" - "$P" <<'PYEOF'
import socket, sys
for _ in range(150):
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
    s.sendall(b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n")
    while s.recv(65536):
        pass
    s.close()
PYEOF
http_verifie "traces of refused connections bounded (100 a minute)" bash -c "n=\$(grep -c \"Connexion a .127.0.0.1. impossible\" '$SCRATCH/out'); [ \$n -ge 1 ] && [ \$n -le 100 ]"

# Memory: clients that never read answers of a server that sends without end.
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$PROXY_PID/status"; }
avant=$(rss)
$CLIENT stall 127.0.0.1:$P "http://127.0.0.1:$O/ferme/2000000000" 40 4 > "$SCRATCH/stall" &
stall=$!
PIDS+=($stall)
max=$avant
while kill -0 $stall 2>/dev/null; do
    r=$(rss); [ "$r" -gt "$max" ] && max=$r
    sleep 0.2
done
http_verifie "40 stalled readers of endless answers: RSS grew $(( (max - avant) / 1024 )) MiB (at most 48)" test $((max - avant)) -le $((48 * 1024))
# Pipelined requests sent without reading: answered in turn once read.
http_verifie "200 pipelined requests for 100 KiB each, read late" \
    test "$($CLIENT pipeline 127.0.0.1:$P "http://127.0.0.1:$O/taille/100000" 200)" = 200
http_verifie "the proxy still serves" test "$(curl -sS --max-time 30 -x http://127.0.0.1:$P "http://127.0.0.1:$O/taille/3")" = abc
http_fin
