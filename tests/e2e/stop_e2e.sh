#!/bin/bash
# stop_e2e.sh BUILD_DIR [TUNNELS]: the stop with connections open. The real
# quorvel relays TUNNELS tunnels (1,000 by default) and a few TCP DNS
# connections, each with known bytes both ways and held open; SIGTERM must
# end the process with code 0 within 2 s, after one access line per
# connection with its exact up/down bytes, statistics lines whose bytes are
# the sums, then "Quorvel stops". Needs root (namespaces, port 53): exit 77
# otherwise.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" qst
N=${2:-1000}
OUTILS=$(cd "$(dirname "$0")" && pwd)/tools
NDNS=4

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}

# Each tunnel holds two descriptors in the proxy and one in each tool.
besoin=$((2 * N + 200))
if [ "$(ulimit -Hn)" != unlimited ] && [ "$(ulimit -Hn)" -lt "$besoin" ]; then
    echo "SKIP: $besoin descriptors needed, the hard limit is $(ulimit -Hn)"
    exit 77
fi
ulimit -n "$besoin" 2> /dev/null || ulimit -n "$(ulimit -Hn)"

dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1
ip netns exec "$NS_U1" /usr/bin/python3 "$OUTILS/qv_tunnels.py" target --listen 10.53.1.2:7000 \
    > "$DNS_DIR/target.out" 2>&1 &
DNS_PIDS+=("$!")
DNS_AVEC_SSL=1 dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.2\nAccessLog=access.log\n[SSL]\nSSLEnabled=yes\nSSLPort=8080\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\n')"
relais=$DNS_PID
dns_relais_pret
dns_attend_tcp "$NS_R" 0.0.0.0:8080
dns_attend_tcp "$NS_R" 0.0.0.0:53
dns_attend_tcp "$NS_U1" 10.53.1.2:7000

RAPPORT=$DNS_DIR/connexions.txt
ip netns exec "$NS_C" /usr/bin/python3 "$OUTILS/qv_tunnels.py" clients --src 10.53.3.2 \
    --proxy 10.53.3.1:8080 --target 10.53.1.2:7000 --count "$N" --report "$RAPPORT" \
    --dns 10.53.3.1:53 --dns-count "$NDNS" > "$DNS_DIR/clients.out" 2>&1 &
clients=$!
DNS_PIDS+=("$clients")
# The set-up is bounded in the tool (300 s); wait for its report or its end.
for _ in $(seq 3100); do
    grep -qs -e '^ready' -e '^FAILED' "$DNS_DIR/clients.out" && break
    kill -0 "$clients" 2> /dev/null || break
    sleep 0.1
done
if ! grep -qs '^ready' "$DNS_DIR/clients.out"; then
    echo "FAIL - the connections were not set up:"
    cat "$DNS_DIR/clients.out"
    DNS_GARDE=1
    exit 1
fi
verifie "$N tunnels and $NDNS TCP DNS connections hold their bytes" \
    test "$(wc -l < "$RAPPORT")" -eq $((N + NDNS))

debut=$(date +%s%N)
kill -TERM "$relais"
# Polled, not waited on: the time to the exit is the measure.
for _ in $(seq 1000); do kill -0 "$relais" 2> /dev/null || break; sleep 0.01; done
fin=$(date +%s%N)
code=0
wait "$relais" 2> /dev/null || code=$?
ms=$(((fin - debut) / 1000000))
echo "# SIGTERM to exit: $ms ms with $N tunnels and $NDNS TCP DNS connections open"
verifie "exit code 0" test "$code" -eq 0
verifie "exit within 2 s of SIGTERM ($ms ms)" test "$ms" -lt 2000

ACCES=$RELAIS/access.log
LOG=$RELAIS/quorvel.log
# "genre port up down" from the access lines, as the tool reported them.
/usr/bin/python3 - "$ACCES" "$RAPPORT" > "$DNS_DIR/comparaison.txt" <<'PY' || true
import re, sys
lignes = open(sys.argv[1]).read().splitlines()
vus = {}
for l in lignes:
    m = re.fullmatch(r"\S+ \S+ (ssl|dns-tcp) client=10\.53\.3\.2:(\d+) .* status=(\d+) up=(\d+) down=(\d+) ms=\d+", l)
    if not m:
        print("unparsed: " + l)
        continue
    genre = "dns" if m.group(1) == "dns-tcp" else "ssl"
    cle = (genre, int(m.group(2)))
    if cle in vus:
        print("twice: " + l)
    vus[cle] = (int(m.group(3)), int(m.group(4)), int(m.group(5)))
manque = faux = 0
for l in open(sys.argv[2]):
    genre, port, u, d = l.split()
    v = vus.pop((genre, int(port)), None)
    if v is None:
        manque += 1
    elif v != (200, int(u), int(d)):
        faux += 1
        print("wrong: %s %s: status/up/down %s, sent %s %s" % (genre, port, v, u, d))
print("missing %d wrong %d extra %d" % (manque, faux, len(vus)))
PY
verifie "one access line per connection, status 200, exact up/down bytes" \
    grep -qx "missing 0 wrong 0 extra 0" "$DNS_DIR/comparaison.txt"
grep -v '^missing' "$DNS_DIR/comparaison.txt" | head -5 || true

read -r haut bas < <(awk '$1 == "ssl" { u += $3; d += $4 } END { print u + 0, d + 0 }' "$RAPPORT")
ssl=$(grep "SSL statistics:" "$LOG" | tail -n 1 | cut -c21-)
verifie "the SSL line: open=0 tunnels=$N bytes_up=$haut bytes_down=$bas" \
    test "$ssl" = "SSL statistics: open=0 tunnels=$N refused=0 pages=0 bytes_up=$haut bytes_down=$bas blocked=0"
verifie "the DNS line counts the TCP connections" grep -q "DNS statistics: .* tcp=$NDNS " "$LOG"
queue=$(tail -n 3 "$LOG" | cut -c21- | sed 's/ open=.*//; s/ queries=.*//' | tr '\n' '|')
verifie "the SSL line, the DNS line, then Quorvel stops" test "$queue" = "SSL statistics:|DNS statistics:|Quorvel stops|"
# The two files keep their own order; their stamps tell which came first.
arret=$(grep " Quorvel stops$" "$LOG" | tail -n 1 | cut -c1-19)
dernier=$(tail -n 1 "$ACCES" | cut -c1-19)
verifie "no access line stamped after Quorvel stops ($dernier, $arret)" test ! "$dernier" \> "$arret"
verifie "the clients saw every connection closed" grep -qx "closed $((N + NDNS))" <(
    for _ in $(seq 1300); do grep -qs '^closed' "$DNS_DIR/clients.out" && break; sleep 0.1; done
    grep '^closed' "$DNS_DIR/clients.out")
verifie "nothing in the error log" test ! -s "$RELAIS/quorvel-errors.log"

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
echo "PASS"
