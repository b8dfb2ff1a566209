#!/bin/bash
# dns_block_e2e.sh BUILD_DIR: "DNSBlockAds" through the real launcher and
# DNS module, in front of one dnsmasq upstream that logs every query it gets.
# A listed name and its subdomains (any case, trailing dot) get NXDOMAIN from
# the relay with no upstream query, over UDP and TCP; other names and
# datagrams the relay does not read (two questions) are forwarded; the switch
# off changes nothing, and a SIGHUP turns it on.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqk

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}

journal=$DNS_DIR/amont.log
dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1 --log-queries --log-facility="$journal" \
    --host-record=ads.zone.test,10.9.9.7 --host-record=x.ads.zone.test,10.9.9.8 \
    --host-record=a.track.zone.test,10.9.9.9
dns_attend_tcp "$NS_U1" 10.53.1.2:53
# One name per line: the form every version of the list reader takes.
printf 'ads.zone.test\ntrack.zone.test\n' > "$DNS_DIR/liste.txt"

conf() {  # conf DNSBlockAds [DNSQueryLog]: the query log goes to acces.log
    printf '[Main]\nAllowedHost0=10.53.3.2\nAccessLog=acces.log\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSBlockAds=%s\nDNSQueryLog=%s\n[HTTP_FTP]\nAdHostsFile=%s\n' \
        "$1" "${2:-}" "$DNS_DIR/liste.txt"
}
# vus NAME: queries for NAME the upstream has logged.
vus() { grep -ci "query\[[A-Z]*\] $1 from" "$journal" || true; }

# ---- Switch off: listed names are forwarded as before ----
dns_relais "$(conf "")"
relais=$DNS_PID
dns_relais_pret
verifie "off: a listed name is forwarded and answered" \
    grep -qx 10.9.9.7 <<< "$(dns_dig 10.53.3.2 ads.zone.test A +short || true)"
verifie "off: the upstream saw it" test "$(vus ads.zone.test)" -ge 1
verifie "off: a.track.zone.test is answered by the upstream" \
    grep -qx 10.9.9.9 <<< "$(dns_dig 10.53.3.2 a.track.zone.test A +short || true)"
verifie "off: no list status line" bash -c "! grep -q 'ad-domains loaded' '$RELAIS/out'"
verifie "DNSQueryLog off: no query lines" bash -c "! grep -qs ' dns client=' '$RELAIS/acces.log'"

# ---- Turned on by SIGHUP ----
printf '%s\n' "$(conf yes)" > "$RELAIS/quorvel.conf"
kill -HUP "$relais"
for _ in $(seq 300); do grep -qs "Configuration reloaded" "$RELAIS/quorvel.log" && break; sleep 0.1; done
avant=$(vus x.ads.zone.test)
sortie=$(dns_dig 10.53.3.2 x.ads.zone.test A || true)
verifie "after SIGHUP: a subdomain of a listed name gets NXDOMAIN" grep -q 'status: NXDOMAIN' <<< "$sortie"
verifie "and the upstream never saw it" test "$(vus x.ads.zone.test)" -eq "$avant"
dns_arrete "$relais"

# ---- On from the start ----
: > "$journal"
dns_relais "$(conf Yes y)"
relais=$DNS_PID
dns_relais_pret
dns_attend_tcp "$NS_R" 0.0.0.0:53
verifie "the list status line" grep -q '^2 ad-domains loaded\.$' "$RELAIS/out"
sortie=$(dns_dig 10.53.3.2 ads.zone.test A || true)
verifie "a listed name gets NXDOMAIN" grep -q 'status: NXDOMAIN' <<< "$sortie"
verifie "with the question as asked, RD and RA, no records" \
    grep -Eq 'flags: qr rd ra; QUERY: 1, ANSWER: 0, AUTHORITY: 0, ADDITIONAL: 0' <<< "$sortie"
verifie "case and a trailing dot do not matter" \
    grep -q 'status: NXDOMAIN' <<< "$(dns_dig 10.53.3.2 A.Track.ZONE.test. A || true)"
verifie "RD clear stays clear" grep -q 'flags: qr ra;' <<< "$(dns_dig 10.53.3.2 +nord ads.zone.test || true)"
sortie=$(dns_dig 10.53.3.2 +tcp x.ads.zone.test A || true)
verifie "over TCP: NXDOMAIN from the relay" grep -q 'status: NXDOMAIN' <<< "$sortie"
verifie "none of the blocked queries reached the upstream" \
    test "$(( $(vus ads.zone.test) + $(vus x.ads.zone.test) + $(vus a.track.zone.test) ))" -eq 0
verifie "a name not listed is forwarded" \
    grep -qx 10.9.9.1 <<< "$(dns_dig 10.53.3.2 www.zone.test A +short || true)"
verifie "a parent of a listed name is not blocked" \
    bash -c "! grep -q 'status: NXDOMAIN' <<< \"\$(ip netns exec $NS_C dig @10.53.3.1 -b 10.53.3.2 +time=10 +tries=1 zone.test SOA || true)\""
verifie "over TCP a name not listed is forwarded" \
    grep -qx 10.9.9.1 <<< "$(dns_dig 10.53.3.2 +tcp www.zone.test A +short || true)"
# Two questions, the first one listed: not read, so forwarded unchanged;
# the upstream's own answer (it refuses such a query) comes back, not the
# relay's NXDOMAIN.
rcode=$(ip netns exec "$NS_C" /usr/bin/python3 - <<'PY' || true
import socket, struct
q = lambda n: b''.join(bytes([len(l)]) + l.encode() for l in n.split('.')) + b'\0\0\1\0\1'
d = struct.pack('>HHHHHH', 0x4242, 0x0100, 2, 0, 0, 0) + q('ads.zone.test') + q('www.zone.test')
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('10.53.3.2', 0))
s.settimeout(10)
s.sendto(d, ('10.53.3.1', 53))
r, _ = s.recvfrom(4096)
print(r[3] & 15 if r[:2] == d[:2] else 'other')
PY
)
verifie "a two-question datagram is forwarded unread (upstream rcode ${rcode:-none})" \
    grep -Eqx '[0-24-9]|1[0-5]' <<< "$rcode"
# The query log: one line per query of an allowed client, datagram or TCP.
acces=$RELAIS/acces.log
ligne() {  # ligne NAME TYPE STATUS: the count of such query lines
    grep -cE "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} dns client=10\.53\.3\.2:[0-9]+ name=$1 type=$2 status=$3\$" "$acces" || true
}
verifie "query log: a blocked name" test "$(ligne ads.zone.test A blocked)" -ge 2
verifie "query log: the name as asked, case kept, no trailing dot" test "$(ligne A.Track.ZONE.test A blocked)" -eq 1
verifie "query log: a forwarded name, UDP and TCP" test "$(ligne www.zone.test A forwarded)" -eq 2
verifie "query log: SOA by its mnemonic" test "$(ligne zone.test SOA forwarded)" -eq 1
dns_dig 10.53.3.2 www.zone.test TYPE99 > /dev/null || true
dns_dig 10.53.3.2 www.zone.test HTTPS > /dev/null || true
verifie "query log: an unnamed type by its number" test "$(ligne www.zone.test 99 forwarded)" -eq 1
verifie "query log: HTTPS" test "$(ligne www.zone.test HTTPS forwarded)" -eq 1
verifie "query log: TCP x.ads.zone.test blocked" test "$(ligne x.ads.zone.test A blocked)" -eq 1
verifie "query log: the two-question datagram writes nothing" bash -c "! grep -q 4242 '$acces'"
kill -USR2 "$relais"
for _ in $(seq 300); do grep -qs "DNS statistics:" "$RELAIS/quorvel.log" && break; sleep 0.1; done
verifie "the statistics line counts the 4 blocked queries (UDP and TCP)" \
    grep -Eq ' DNS statistics: .* blocked=4$' "$RELAIS/quorvel.log"
verifie "the relay process is alive" kill -0 "$relais"
verifie "nothing in the error log" test ! -s "$RELAIS/quorvel-errors.log"
dns_arrete "$relais"

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
echo "PASS"
