#!/bin/bash
# dns_crafted_e2e.sh BUILD_DIR: the real launcher and DNS module in front of
# two crafted upstreams (dns/amont.py) for the cases dnsmasq cannot make: two
# clients with one identifier, an answer of several KiB compared byte for
# byte, and an answer from an upstream's address but another source port.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqc

echec=0
verifie() {
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}
client() { ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/client.py" "$@"; }

# Answers come 1 s late, so both clients' queries are recorded first.
dns_responder "$NS_U1" 10.53.1.2 10.9.9.1 --delai 1
dns_responder "$NS_U2" 10.53.2.2 10.9.9.2 --delai 1
dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.2\nAllowedHost1=10.53.3.4\n[DNS]\nDNSEnabled=Yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\n')"
relais=$DNS_PID
dns_relais_pret

verifie "a crafted query is answered with its identifier" client ask 10.53.3.1 10.53.3.2 www.zone.test
verifie "same identifier from two clients: the later gets both answers" \
    client same-id 10.53.3.1 10.53.3.2 10.53.3.4
verifie "an answer of several KiB passes byte for byte" client big 10.53.3.1 10.53.3.2
sortie=$(dns_dig 10.53.3.2 big.zone.test TXT +bufsize=16000 +ignore || true)
verifie "dig reads the 24 records of the big answer" grep -q 'ANSWER: 24,' <<< "$sortie"

verifie "a 1-byte datagram gets nothing back (and is not forwarded: see the count below)" \
    client one-byte 10.53.3.1 10.53.3.2
verifie "an answer from an upstream's address and port 5353 is dropped" \
    client silent 10.53.3.1 10.53.3.2 wrongport.zone.test
sleep 1  # the late answers from 5353 have arrived and been handled
verifie "... and is not taken for a query from the upstream" \
    bash -c "! grep -q 'Query from 10.53.[12].2 refused' '$RELAIS/quorvel.log'"
# Each upstream received only queries from the relay's port 53, never a
# datagram that came back from the other port.
verifie "... and is not forwarded back to an upstream" \
    bash -c "cat '$DNS_DIR'/amont-*.log | awk '\$2 != \"10.53.1.1\" && \$2 != \"10.53.2.1\" || \$3 != 53 { bad = 1 } END { exit bad }'"
nb=$(cat "$DNS_DIR"/amont-*.log | wc -l)
verifie "the upstreams saw exactly the 6 queries sent ($nb)" test "$nb" -eq 6
verifie "the relay process is alive" kill -0 "$relais"

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
