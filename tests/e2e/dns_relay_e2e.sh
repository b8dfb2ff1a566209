#!/bin/bash
# dns_relay_e2e.sh BUILD_DIR: the real launcher and DNS module as a relay
# between clients and two dnsmasq upstreams, each in its own namespace.
# Answers carry the query's identifier, refused clients get nothing and are
# logged, a 1-byte datagram is dropped, one valid upstream takes every query,
# no valid upstream binds nothing, and a busy port 53 is reported.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqr

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}

dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1
dns_dnsmasq "$NS_U2" 10.53.2.2 10.9.9.2

conf() {  # conf DNSServer1 DNSServer2
    printf '[Main]\nAllowedHost0=10.53.3.2\nAllowedHost1=10.53.3.4\n[DNS]\nDNSEnabled=yes\nDNSServer1=%s\nDNSServer2=%s\n' "$1" "$2"
}

# answers SOURCE COUNT: COUNT dig queries; prints the answers, one per line.
answers() {
    local i
    for i in $(seq "$2"); do
        dns_dig "$1" www.zone.test A +short || true
    done
}

# ---- Both upstreams valid ----
dns_relais "$(conf 10.53.1.2 10.53.2.2)"
relais=$DNS_PID
dns_relais_pret
verifie "status lines name both upstreams" \
    grep -qz $'DNS server starts\nNS1: 10.53.1.2\nNS2: 10.53.2.2\n' "$RELAIS/out"

sortie=$(dns_dig 10.53.3.2 www.zone.test A || true)
# dig itself discards an answer whose identifier differs and would time out.
verifie "an answer arrives with the query's identifier" \
    grep -q 'status: NOERROR' <<< "$sortie"
verifie "the answer is the zone's record" grep -Eq 'www\.zone\.test\..*IN\s+A\s+10\.9\.9\.[12]' <<< "$sortie"
verifie "a name outside the zone's records is NXDOMAIN from upstream" \
    grep -q 'status: NXDOMAIN' <<< "$(dns_dig 10.53.3.4 none.zone.test A || true)"

res=$(answers 10.53.3.2 20)
verifie "20 of 20 queries answered" test "$(grep -c '^10\.9\.9\.[12]$' <<< "$res")" -eq 20
verifie "both upstreams are used" grep -q '^10\.9\.9\.1$' <<< "$res"
verifie "both upstreams are used (2)" grep -q '^10\.9\.9\.2$' <<< "$res"

sortie=$(dns_dig 10.53.3.3 www.zone.test A 2>&1 || true)
verifie "a refused client gets nothing" grep -q 'timed out' <<< "$sortie"
verifie "the refusal is logged" grep -q 'Query from 10.53.3.3 refused (DNS)' "$RELAIS/quorvel.log"

verifie "a 1-byte datagram gets nothing back" \
    ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/client.py" one-byte 10.53.3.1 10.53.3.2
verifie "the relay serves on after it" grep -q '^10\.9\.9\.[12]$' <<< "$(answers 10.53.3.2 1)"
verifie "the relay process is alive" kill -0 "$relais"
verifie "no exit line" bash -c "! grep -q 'DNS server exits' '$RELAIS/out'"
dns_arrete "$relais"

# ---- One valid upstream: every query goes to it ----
for cas in "|10.53.2.2|10.9.9.2" "10.53.1.2||10.9.9.1" "0.0.0.0|10.53.2.2|10.9.9.2"; do
    IFS='|' read -r s1 s2 attendu <<< "$cas"
    dns_relais "$(conf "$s1" "$s2")"
    relais=$DNS_PID
    dns_relais_pret
    res=$(answers 10.53.3.2 16)
    verifie "DNSServer1='$s1' DNSServer2='$s2': 16 of 16 answered by $attendu" \
        test "$(grep -cx "$attendu" <<< "$res")" -eq 16
    dns_arrete "$relais"
done

# ---- No valid upstream ----
dns_relais "$(conf "" "")"
relais=$DNS_PID
# The start entry runs on a thread of its own: its line may follow "Quorvel starts".
for _ in $(seq 300); do grep -qs 'ERROR: No valid DNS servers' "$RELAIS/out" && break; sleep 0.1; done
verifie "no valid upstream prints the ERROR line" \
    grep -q 'ERROR: No valid DNS servers specified in quorvel.conf' "$RELAIS/out"
verifie "no valid upstream: no start line" bash -c "! grep -q 'DNS server starts' '$RELAIS/out'"
verifie "no valid upstream: nothing bound on port 53" \
    bash -c "! ip netns exec '$NS_R' ss -Hunl | grep -q ':53 '"
dns_arrete "$relais"

# ---- Port 53 already taken ----
ip netns exec "$NS_R" /usr/bin/python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 53)); time.sleep(60)' &
DNS_PIDS+=($!)
occupant=$!
dns_attend_port "$NS_R" 0.0.0.0:53
dns_relais "$(conf 10.53.1.2 10.53.2.2)"
relais=$DNS_PID
# With "console" the launcher sends stderr to the console stream too.
for _ in $(seq 300); do
    cat "$RELAIS/out" "$RELAIS/err" | grep -q 'ERREUR' &&
        grep -qs 'Address already in use' "$RELAIS/quorvel-errors.log" && break
    sleep 0.1
done
verifie "busy port: start and NS lines are printed" grep -q 'NS2: 10.53.2.2' "$RELAIS/out"
verifie "busy port: an internal-error trace names the module" \
    grep -q '^ERREUR: dns/quorvel_dns.cpp ligne' "$RELAIS/out" "$RELAIS/err"
verifie "busy port: the error log says why" grep -q 'Address already in use' "$RELAIS/quorvel-errors.log"
verifie "busy port: no exit line" bash -c "! grep -q 'DNS server exits' '$RELAIS/out'"
dns_arrete "$relais"
dns_arrete "$occupant"

# ---- Not allowed to bind port 53 ----
if [ "$(ip netns exec "$NS_R" sysctl -n net.ipv4.ip_unprivileged_port_start)" -gt 53 ]; then
    DNS_SANS_ROOT=1 dns_relais "$(conf 10.53.1.2 10.53.2.2)"
    relais=$DNS_PID
    for _ in $(seq 300); do grep -qs 'DNS relay' "$RELAIS/quorvel-errors.log" && break; sleep 0.1; done
    verifie "unprivileged: the error log says why and what is needed" \
        grep -q 'Permission denied (ports below 1024 need root or CAP_NET_BIND_SERVICE)' "$RELAIS/quorvel-errors.log"
    dns_arrete "$relais"
fi

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
