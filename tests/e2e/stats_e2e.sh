#!/bin/bash
# stats_e2e.sh BUILD_DIR: the counters of the real quorvel, tunnel and DNS
# relay together. The metrics endpoint ("StatsPort") is read with curl
# before and after known traffic and must move by exactly that traffic; the
# SIGUSR2 lines and the lines before "Quorvel stops" give the same numbers;
# 404, 405 and a refused client; "Connection: close" on every answer, and
# an orderly end after a body, a second request or a bad version. Needs
# root (exit 77 otherwise).
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
command -v curl > /dev/null || { echo "skipped: curl is missing"; exit 77; }
trap dns_nettoie EXIT
dns_prepare "$1" dqm
OUTIL=$(cd "$(dirname "$0")" && pwd)/ssl/outil.py

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}

dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1
ip netns exec "$NS_U1" /usr/bin/python3 "$OUTIL" serve-echo 10.53.1.2 7000 > /dev/null 2>&1 &
DNS_PIDS+=("$!")
DNS_AVEC_SSL=1 dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.2\nStatsPort=9100\nStatsListen=10.53.3.1\n[SSL]\nSSLEnabled=yes\nSSLPort=8080\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\n')"
relais=$DNS_PID
dns_relais_pret
dns_attend_tcp "$NS_R" 10.53.3.1:9100
dns_attend_tcp "$NS_R" 0.0.0.0:8080
dns_attend_tcp "$NS_U1" 10.53.1.2:7000

URL=http://10.53.3.1:9100/metrics
# metriques [SOURCE]: the endpoint's text, checked and flattened by a small
# parser of the exposition format into "series value" lines.
metriques() {
    ip netns exec "$NS_C" curl -sS --max-time 30 --interface "${1:-10.53.3.2}" "$URL" | /usr/bin/python3 -c '
import re, sys
types, sortie = {}, []
nom_re = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
texte = sys.stdin.read()
assert texte.endswith("\n"), "no final line feed"
for l in texte.splitlines():
    m = re.fullmatch(r"# HELP (%s) .+" % nom_re, l)
    if m: continue
    m = re.fullmatch(r"# TYPE (%s) (counter|gauge)" % nom_re, l)
    if m:
        assert m.group(1) not in types, l
        types[m.group(1)] = m.group(2); continue
    m = re.fullmatch(r"(%s)(\{%s=\"[^\"]*\"\})? ([0-9]+)" % (nom_re, nom_re), l)
    assert m, "not a sample: " + l
    assert m.group(1) in types, "sample before its TYPE: " + l
    assert m.group(1).startswith("quorvel_"), l
    assert m.group(1).endswith("_total") == (types[m.group(1)] == "counter"), l
    sortie.append("%s%s %s" % (m.group(1), m.group(2) or "", m.group(3)))
print("\n".join(sortie))
'
}
declare -A A B
lit() {  # lit ARRAY: the metrics now into the associative array ARRAY
    local -n t=$1
    local s v
    while read -r s v; do t[$s]=$v; done < <(metriques)
}
# ecart SERIES: how much SERIES moved from A to B.
ecart() { echo $(( ${B[$1]:-0} - ${A[$1]:-0} )); }

avant=$(metriques) || true
verifie "the metrics parse as the text format" test -n "$avant"
if command -v promtool > /dev/null; then
    verifie "promtool accepts them" bash -c \
        "ip netns exec $NS_C curl -sS --max-time 30 --interface 10.53.3.2 $URL | promtool check metrics"
fi
entetes=$(ip netns exec "$NS_C" curl -sS --max-time 30 --interface 10.53.3.2 -o /dev/null -D - "$URL" | tr -d '\r')
verifie "Content-Type: text/plain; version=0.0.4" grep -qx 'Content-Type: text/plain; version=0.0.4' <<< "$entetes"
verifie "status 200" grep -q '^HTTP/1\.[01] 200 ' <<< "$entetes"
lit A
verifie "quorvel_start_time_seconds is the start" test "$(( $(date +%s) - ${A[quorvel_start_time_seconds]:-0} ))" -lt 600

# Known traffic: 3 answered queries, 1 refused datagram, 1 short datagram;
# one 5-byte echo tunnel, one 405 page, one refused tunnel client.
for _ in 1 2 3; do dns_dig 10.53.3.2 www.zone.test A +short > /dev/null; done
ip netns exec "$NS_C" /usr/bin/python3 - <<'PY'
import socket, struct
q = struct.pack(">HHHHHH", 0x5151, 0x0100, 1, 0, 0, 0) + b"\3www\4zone\4test\0\0\1\0\1"
for source, d in (("10.53.3.3", q), ("10.53.3.2", b"\1")):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.sendto(d, ("10.53.3.1", 53))
    s.close()
PY
ip netns exec "$NS_C" /usr/bin/python3 "$OUTIL" ask 10.53.3.1:8080 'CONNECT 10.53.1.2:7000 HTTP/1.1\r\n\r\nhello' --half-close > /dev/null
ip netns exec "$NS_C" /usr/bin/python3 "$OUTIL" ask 10.53.3.1:8080 'GET / HTTP/1.1\r\n\r\n' --expect-page 1
ip netns exec "$NS_C" /usr/bin/python3 "$OUTIL" ask 10.53.3.1:8080 'CONNECT 10.53.1.2:7000 HTTP/1.1\r\n\r\n' --source 10.53.3.3 --allow-reset --expect-page 2
# The counters move as each thing ends: wait until the last of them did.
for _ in $(seq 600); do
    B=(); lit B
    [ "$(ecart quorvel_dns_dropped_total)" -ge 1 ] && [ "$(ecart quorvel_dns_refused_total)" -ge 1 ] &&
        [ "$(ecart 'quorvel_ssl_bytes_total{direction="down"}')" -ge 5 ] && [ "$(ecart quorvel_ssl_pages_total)" -ge 2 ] && break
    sleep 0.1
done
for c in "quorvel_dns_queries_total 3" "quorvel_dns_answers_total 3" "quorvel_dns_refused_total 1" \
         "quorvel_dns_dropped_total 1" "quorvel_dns_unanswered_total 0" "quorvel_dns_pending 0" \
         "quorvel_ssl_tunnels_total 1" "quorvel_ssl_tunnels_open 0" "quorvel_ssl_refused_total 1" \
         "quorvel_ssl_pages_total 2" 'quorvel_ssl_bytes_total{direction="up"} 5' \
         'quorvel_ssl_bytes_total{direction="down"} 5' "quorvel_dns_tcp_connections_total 0"; do
    set -- $c
    verifie "$1 moved by $2" test "$(ecart "$1")" -eq "$2"
done
verifie "quorvel_dns_pending_max is at least 1" test "${B[quorvel_dns_pending_max]:-0}" -ge 1

# The statistics lines on SIGUSR2 give the same numbers.
kill -USR2 "$relais"
for _ in $(seq 300); do grep -qs "DNS statistics:" "$RELAIS/quorvel.log" && break; sleep 0.1; done
ssl=$(grep "SSL statistics:" "$RELAIS/quorvel.log" | tail -n 1 | cut -c21-)
dns=$(grep "DNS statistics:" "$RELAIS/quorvel.log" | tail -n 1 | cut -c21-)
verifie "SIGUSR2: the SSL line" test "$ssl" = "SSL statistics: open=0 tunnels=${B[quorvel_ssl_tunnels_total]} refused=${B[quorvel_ssl_refused_total]} pages=${B[quorvel_ssl_pages_total]} bytes_up=5 bytes_down=5 blocked=0"
verifie "SIGUSR2: the DNS line" test "$dns" = "DNS statistics: queries=3 answers=3 refused=1 dropped=1 unanswered=0 pending=0 pending_max=${B[quorvel_dns_pending_max]} tcp=0 blocked=0"

# Other paths and methods; a stranger gets the 403 page and a log line.
code() { ip netns exec "$NS_C" curl -s --max-time 30 -o /dev/null -w '%{http_code}' "$@"; }
verifie "another path: 404" test "$(code --interface 10.53.3.2 http://10.53.3.1:9100/)" = 404
verifie "another method: 405" test "$(code --interface 10.53.3.2 -X POST "$URL")" = 405
verifie "a client not allowed: 403" test "$(code --interface 10.53.3.4 "$URL")" = 403
for _ in $(seq 300); do grep -qs "refused (stats)" "$RELAIS/quorvel.log" && break; sleep 0.1; done
verifie "and the line Connection from 10.53.3.4 refused (stats)" \
    grep -q ' Connection from 10\.53\.3\.4 refused (stats)$' "$RELAIS/quorvel.log"

# Every answer of the endpoint says "Connection: close" (never the pages'
# own header), the refused client's 403 included.
for cas in "200 --interface 10.53.3.2 $URL" "404 --interface 10.53.3.2 http://10.53.3.1:9100/" \
           "405 --interface 10.53.3.2 -X POST $URL" "403 --interface 10.53.3.4 $URL"; do
    set -- $cas
    t=$(ip netns exec "$NS_C" curl -sS --max-time 30 -o /dev/null -D - "${@:2}" | tr -d '\r')
    verifie "$1: Connection: close, no Connexion" \
        bash -c 'grep -q "^HTTP/1\.1 $1 " <<< "$2" && grep -qx "Connection: close" <<< "$2" && ! grep -q Connexion <<< "$2"' _ "$1" "$t"
done
# Raw requests: a body, a second request in the same packet, versions the
# endpoint does not speak. Each gets one answer, then the end of the stream
# as a FIN (recv gives 0), never a reset.
ip netns exec "$NS_C" /usr/bin/python3 - > "$RELAIS/brut.txt" <<'PY' || true
import socket
corps = b"x" * 100000
cas = [
    (b"GET /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + corps, 200),
    (b"POST /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + corps, 405),
    (b"GET /metrics HTTP/1.1\r\n\r\nGET /metrics HTTP/1.1\r\n\r\n", 200),
    (b"GET /nope HTTP/1.0\r\n\r\nGET /metrics HTTP/1.0\r\n\r\n", 404),
    (b"GET /metrics HTTP/2.0\r\n\r\n", 400),
    (b"GET /metrics HTTP/1.1x\r\n\r\n", 400),
    (b"GET /metrics HTTP/0.9\r\n\r\n" + corps, 400),
]
for requete, attendu in cas:
    s = socket.socket()
    s.bind(("10.53.3.2", 0))
    s.settimeout(30)
    s.connect(("10.53.3.1", 9100))
    s.sendall(requete)
    recu, fin = b"", "fin"
    while True:
        try:
            b = s.recv(65536)
        except ConnectionResetError:
            fin = "reset"
            break
        if not b:
            break
        recu += b
    s.close()
    tete, _, reste = recu.partition(b"\r\n\r\n")
    lignes = tete.decode("latin-1").split("\r\n")
    longueur = [l for l in lignes if l.startswith("Content-Length: ")]
    bon = (lignes[0].startswith("HTTP/1.1 %d " % attendu) and "Connection: close" in lignes
           and longueur and int(longueur[0][16:]) == len(reste) and fin == "fin")
    print("%s %s: %s, %s" % ("ok" if bon else "bad", requete[:24], lignes[0], fin))
PY
verifie "raw requests: one answer each, Connection: close, then a FIN, never a reset" \
    test "$(grep -c '^ok ' "$RELAIS/brut.txt")" -eq 7
grep '^bad' "$RELAIS/brut.txt" || true

# The same lines just before the stop line.
kill -TERM "$relais"
wait "$relais" 2> /dev/null || true
queue=$(tail -n 3 "$RELAIS/quorvel.log" | cut -c21-)
verifie "at the stop: the SSL line, the DNS line, then Quorvel stops" \
    test "$(sed 's/ open=.*//; s/ queries=.*//' <<< "$queue" | tr '\n' '|')" = "SSL statistics:|DNS statistics:|Quorvel stops|"
verifie "nothing in the error log" test ! -s "$RELAIS/quorvel-errors.log"

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
echo "PASS"
