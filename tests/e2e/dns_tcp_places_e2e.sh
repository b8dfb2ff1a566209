#!/bin/bash
# dns_tcp_places_e2e.sh BUILD_DIR: the 64 places of DNS over TCP through the
# real launcher, in front of the crafted upstream: with every place taken,
# a newcomer takes the place of the connection idle longest (no complete
# message since it opened), whatever the order of the accepts, and every
# other connection is still served; a refused client is closed unread and
# logged; a reload that lowers DNSTCPMaxPerClient applies to the next
# connections.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqp

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}
cache() { ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/cache.py" "$1" 10.53.3.1 "${@:2}"; }
conf() {
    printf '[Main]\nAllowedHost0=10.53.3.2\nAllowedHost1=10.53.3.4\nAccessLog=acces.log\n[DNS]\nDNSEnabled=Yes\nDNSServer1=10.53.1.2\nDNSTCPMaxPerClient=%s\n' "$1"
}
recharge() {  # SIGHUP, then until the reload is logged
    local avant
    avant=$(grep -c "Configuration reloaded" "$RELAIS/quorvel.log" || true)
    kill -HUP "$1"
    for _ in $(seq 300); do
        [ "$(grep -c "Configuration reloaded" "$RELAIS/quorvel.log" || true)" -gt "$avant" ] && return 0
        sleep 0.1
    done
    return 1
}

dns_responder "$NS_U1" 10.53.1.2 10.9.9.1 --tcp
amont=$DNS_PID
dns_attend_tcp "$NS_U1" 10.53.1.2:53
dns_relais "$(conf 64)"
relais=$DNS_PID
dns_relais_pret
dns_attend_tcp "$NS_R" 0.0.0.0:53

# Two clients, so that neither reaches its own limit of 64.
verifie "64 places taken, one more: the idlest closed, every other served" \
    cache tcp-idlest 10.53.3.2 64 10.53.3.4
verifie "a refused client is closed unread" \
    ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/tcp.py" refused 10.53.3.1 10.53.3.3
verifie "... and logged" grep -q ' Query from 10.53.3.3 refused (DNS)$' "$RELAIS/quorvel.log"

# Every connection of 10.53.3.4 (32) has ended, with its access line, before
# its limit is lowered.
for _ in $(seq 300); do
    [ "$(grep -c ' dns-tcp client=10\.53\.3\.4:' "$RELAIS/acces.log" || true)" -ge 32 ] && break
    sleep 0.1
done
printf '%s' "$(conf 2)" > "$RELAIS/quorvel.conf"
verifie "SIGHUP takes up DNSTCPMaxPerClient=2" recharge "$relais"
verifie "a third connection of one client is then closed at once, the first served" \
    cache tcp-limit 10.53.3.4 2

verifie "the relay process is alive" kill -0 "$relais"
verifie "nothing in the error log" test ! -s "$RELAIS/quorvel-errors.log"
dns_arrete "$relais"
dns_arrete "$amont"
[ "$echec" -eq 0 ] && echo PASS || echo FAIL
exit "$echec"
