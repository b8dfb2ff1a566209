#!/bin/bash
# dns_enabled_e2e.sh BUILD_DIR: which "DNSEnabled" values start the relay.
# A value whose first letter is T or Y (either case) starts it; anything else,
# an empty value or no key at all leaves it off, silently.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqe

echec=0
verifie() {
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}

dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1

# lance LINE: the relay with that DNSEnabled line (or none).
lance() {
    dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.*\n[DNS]\n%s\nDNSServer1=10.53.1.2\n' "$1")"
}

for valeur in yes Yes y true T; do
    lance "DNSEnabled=$valeur"
    relais=$DNS_PID
    if dns_relais_pret > /dev/null; then
        res=$(dns_dig 10.53.3.2 www.zone.test A +short || true)
        verifie "DNSEnabled=$valeur starts the relay" test "$res" = 10.9.9.1
    else
        verifie "DNSEnabled=$valeur starts the relay" false
    fi
    dns_arrete "$relais"
done

for ligne in DNSEnabled=1 DNSEnabled=on DNSEnabled=no DNSEnabled= "# no DNSEnabled key"; do
    lance "$ligne"
    relais=$DNS_PID
    # The module's start entry runs before "Quorvel starts" is logged; give a
    # thread that should not exist time to show itself anyway.
    sleep 0.5
    verifie "'$ligne' leaves the relay off" grep -q 'Quorvel starts' "$RELAIS/quorvel.log"
    verifie "'$ligne' prints nothing of the relay" \
        bash -c "! grep -Eq 'DNS|NS1|ERROR' '$RELAIS/out'"
    verifie "'$ligne' binds nothing" bash -c "! ip netns exec '$NS_R' ss -Hunl | grep -q ':53 '"
    dns_arrete "$relais"
done

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
