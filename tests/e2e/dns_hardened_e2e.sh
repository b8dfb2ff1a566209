#!/bin/bash
# dns_hardened_e2e.sh BUILD_DIR: "DNSHardened" through the real launcher and
# DNS module. In front of crafted upstreams (dns/amont.py): queries leave
# from ports other than 53 under identifiers of the relay's own, two clients
# with one identifier each get their own answer, big answers, ad blocking
# and the query log work as without it; an upstream-address forger sending
# all 65,536 identifiers to port 53 while the real answer waits gets nothing
# through. In front of dnsmasq: TCP, and the restart line of a reload.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqh

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}
client() { ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/client.py" "$@"; }
printf 'ads.zone.test\n' > "$DNS_DIR/liste.txt"
conf() {  # conf SERVERS_TEXT [extra DNS lines]
    printf '[Main]\nAllowedHost0=10.53.3.2\nAllowedHost1=10.53.3.4\nAccessLog=acces.log\n[DNS]\nDNSEnabled=yes\n%b\nDNSHardened=yes\nDNSBlockAds=yes\nDNSQueryLog=yes\n%b\n[HTTP_FTP]\nAdHostsFile=%s\n' \
        "$1" "${2:-}" "$DNS_DIR/liste.txt"
}
statistiques() {  # the next "DNS statistics" line after a SIGUSR2
    local avant
    avant=$(grep -c "DNS statistics:" "$RELAIS/quorvel.log" || true)
    kill -USR2 "$1"
    for _ in $(seq 300); do
        [ "$(grep -c "DNS statistics:" "$RELAIS/quorvel.log" || true)" -gt "$avant" ] && break
        sleep 0.1
    done
    grep "DNS statistics:" "$RELAIS/quorvel.log" | tail -1
}

# ---- Crafted upstreams, answers 1 s late ----
dns_responder "$NS_U1" 10.53.1.2 10.9.9.1 --delai 1
u1=$DNS_PID
dns_responder "$NS_U2" 10.53.2.2 10.9.9.2 --delai 1
u2=$DNS_PID
dns_relais "$(conf 'DNSServer1=10.53.1.2\nDNSServer2=10.53.2.2')"
relais=$DNS_PID
dns_relais_pret

verifie "same identifier from two clients: each gets its own answer" \
    client own-id 10.53.3.1 10.53.3.2 10.53.3.4
journaux=("$DNS_DIR/amont-10.53.1.2.log" "$DNS_DIR/amont-10.53.2.2.log")
ids=$(cat "${journaux[@]}" | awk '{ print $4 }' | sort -u | wc -l)
verifie "... under two distinct relay identifiers ($ids)" test "$ids" -eq 2
verifie "an answer of several KiB passes byte for byte" client big 10.53.3.1 10.53.3.2
verifie "an answer from the upstream's address and port 5353 is dropped" \
    client silent 10.53.3.1 10.53.3.2 wrongport.zone.test
verifie "dig gets its answer" grep -Eqx '10\.9\.9\.[12]' <<< "$(dns_dig 10.53.3.2 www.zone.test A +short || true)"
vus=$(cat "${journaux[@]}" | wc -l)
sortie=$(dns_dig 10.53.3.2 X.Ads.zone.test A || true)
verifie "a listed name gets NXDOMAIN from the relay" grep -q 'status: NXDOMAIN' <<< "$sortie"
verifie "... and no upstream saw it" test "$(cat "${journaux[@]}" | wc -l)" -eq "$vus"
verifie "every query left from the relay's upstream-side address, never from port 53" \
    bash -c "cat ${journaux[*]} | awk '(\$2 != \"10.53.1.1\" && \$2 != \"10.53.2.1\") || \$3 == 53 { bad = 1 } END { exit bad || NR < 5 }'"
verifie "the query log has the forwarded and the blocked query" \
    bash -c "grep -q ' dns client=10.53.3.2:[0-9]* name=www.zone.test type=A status=forwarded$' '$RELAIS/acces.log' &&
             grep -q ' dns client=10.53.3.2:[0-9]* name=X.Ads.zone.test type=A status=blocked$' '$RELAIS/acces.log'"
ligne=$(statistiques "$relais")
# The answer from the wrong port is dropped by the relay's checks (and
# counted), or by the kernel when it came after its query's port was given back.
verifie "statistics: 1 blocked ($ligne)" \
    grep -Eq ' dropped=[0-9]+ .* blocked=1$' <<< "$ligne"
dns_arrete "$relais"
dns_arrete "$u1"
dns_arrete "$u2"

# ---- A forger at the upstream's address: every identifier, before the answer ----
dns_responder "$NS_U1" 10.53.1.2 10.9.9.1 --delai 2 --forge 10.6.6.6
u1=$DNS_PID
dns_relais "$(conf 'DNSServer1=10.53.1.2')"
relais=$DNS_PID
dns_relais_pret
sortie=$(dns_dig 10.53.3.2 www.zone.test A +short || true)
verifie "the forger sent its 65,536 answers" grep -q "forged 65536" "$DNS_DIR/amont-10.53.1.2.log"
verifie "the client got the real answer ($sortie)" test "$sortie" = 10.9.9.1
ligne=$(statistiques "$relais")
verifie "the forged answers were dropped ($ligne)" grep -Eq ' answers=1 .* dropped=[1-9][0-9]* ' <<< "$ligne"
dns_arrete "$relais"
dns_arrete "$u1"

# ---- dnsmasq upstream: TCP, and a reload ----
dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1
dns_attend_tcp "$NS_U1" 10.53.1.2:53
dns_relais "$(conf 'DNSServer1=10.53.1.2')"
relais=$DNS_PID
dns_relais_pret
dns_attend_tcp "$NS_R" 0.0.0.0:53
verifie "UDP through dnsmasq" grep -qx 10.9.9.1 <<< "$(dns_dig 10.53.3.2 www.zone.test A +short || true)"
verifie "TCP through dnsmasq" grep -qx 10.9.9.1 <<< "$(dns_dig 10.53.3.2 www.zone.test A +tcp +short || true)"
sortie=$(dns_dig 10.53.3.2 ads.zone.test A +tcp || true)
verifie "TCP: a listed name gets NXDOMAIN" grep -q 'status: NXDOMAIN' <<< "$sortie"
printf '%s\n' "$(conf 'DNSServer1=10.53.1.2' | sed '/^DNSHardened=/d')" > "$RELAIS/quorvel.conf"
kill -HUP "$relais"
for _ in $(seq 300); do grep -qs "Configuration reloaded" "$RELAIS/quorvel.log" && break; sleep 0.1; done
verifie "a reload names DNSHardened in the restart line" \
    grep -q "Configuration reload: DNSHardened changed; the running value stays until a restart" "$RELAIS/quorvel.log"
verifie "and the relay still answers" grep -qx 10.9.9.1 <<< "$(dns_dig 10.53.3.2 www.zone.test A +short || true)"
verifie "the relay process is alive" kill -0 "$relais"

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
