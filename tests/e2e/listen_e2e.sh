#!/bin/bash
# listen_e2e.sh BUILD_DIR: DNSListen and SSLListen on a gateway with a LAN
# side (10.53.3.1, toward the clients) and an Internet side (10.53.1.1 and
# 10.53.2.1, toward the upstreams). Set to the LAN address, the services
# answer there and the Internet side gets nothing: no datagram answer,
# connections refused. A local resolver's socket on 127.0.0.53:53 (bound
# with SO_REUSEADDR, as such resolvers do) keeps a relay on every interface
# from starting, with a hint in the error log; with DNSListen both run side
# by side. A value that does not resolve or is not ours starts nothing.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dql

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}
tcp() {  # tcp NS ARGS...: dns/tcp.py in namespace NS
    local ns=$1
    shift
    ip netns exec "$ns" /usr/bin/python3 "$DNS_LIB/tcp.py" "$@"
}
rien_sur() {  # rien_sur PORT: nothing of the relay namespace is bound to PORT
    ! ip netns exec "$NS_R" ss -Hunlt | grep -Eq -- "[0-9*]:$1 "
}
attend_ligne() {  # attend_ligne FILE TEXT: until FILE holds TEXT (5 s)
    for _ in $(seq 50); do grep -qsF -- "$2" "$1" && return 0; sleep 0.1; done
    return 1
}

# The upstreams answer the relay's LAN address: on a real gateway the
# masquerading of the LAN does this; here a route back stands for it.
ip -n "$NS_U1" route add 10.53.3.0/24 via 10.53.1.1
ip -n "$NS_U2" route add 10.53.3.0/24 via 10.53.2.1
dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1
dns_dnsmasq "$NS_U2" 10.53.2.2 10.9.9.2
dns_attend_tcp "$NS_U1" 10.53.1.2:53

conf() {  # conf DNSListen SSLListen
    printf '[Main]\nAllowedHost0=10.53.3.2\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\nDNSListen=%s\n[SSL]\nSSLEnabled=yes\nSSLListen=%s\n' "$1" "$2"
}

# ---- A local resolver on 127.0.0.53:53, UDP and TCP ----
ip netns exec "$NS_R" /usr/bin/python3 -c '
import socket, time
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
u.bind(("127.0.0.53", 53))
t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
t.bind(("127.0.0.53", 53))
t.listen(8)
time.sleep(600)' &
DNS_PIDS+=($!)
resolveur=$!
dns_attend_port "$NS_R" 127.0.0.53:53

# Without DNSListen the relay cannot take port 53 of every interface.
dns_relais "$(printf '[Main]\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\n')"
relais=$DNS_PID
attend_ligne "$RELAIS/quorvel-errors.log" "DNS relay: bind to UDP port 53 failed" || true
verifie "busy port 53: the error log says why and what to do" grep -qx '.\{19\} DNS relay: bind to UDP port 53 failed: Address already in use; another program holds UDP port 53 (often a local resolver on 127.0.0.53); set DNSListen to the LAN address' "$RELAIS/quorvel-errors.log"
verifie "busy port 53: start and NS lines, no exit line" grep -qz $'DNS server starts\nNS1: 10.53.1.2\nNS2: 10.53.2.2\n' "$RELAIS/out"
verifie "busy port 53: no exit line" bash -c "! grep -q 'DNS server exits' '$RELAIS/out'"
dns_arrete "$relais"

# With both set to the LAN address.
DNS_AVEC_SSL=1 dns_relais "$(conf 10.53.3.1 10.53.3.1)"
relais=$DNS_PID
dns_relais_pret 10.53.3.1
dns_attend_tcp "$NS_R" 10.53.3.1:53
verifie "DNSListen: the status lines are as before" grep -qz $'DNS server starts\nNS1: 10.53.1.2\nNS2: 10.53.2.2\n' "$RELAIS/out"
verifie "DNSListen: port 53 is bound on the LAN address only" \
    bash -c "! ip netns exec '$NS_R' ss -Hunlt | grep -E ':53 ' | grep -vE ' (10\.53\.3\.1|127\.0\.0\.53):53 '"
verifie "the local resolver's socket is still there" kill -0 "$resolveur"
verifie "a LAN client is answered over UDP" \
    grep -Eq '^10\.9\.9\.[12]$' <<< "$(dns_dig 10.53.3.2 www.zone.test A +short || true)"
verifie "a LAN client is answered over TCP" \
    grep -Eq '^10\.9\.9\.[12]$' <<< "$(dns_dig 10.53.3.2 +tcp www.zone.test A +short || true)"
sortie=$(ip netns exec "$NS_U1" dig @10.53.1.1 -b 10.53.1.2 +time=2 +tries=1 www.zone.test A 2>&1 || true)
# The port is closed there: an ICMP "port unreachable", or silence.
verifie "the Internet side gets no datagram answer" \
    bash -c "! grep -q 'status:' <<< \"\$1\" && grep -Eq 'connection refused|timed out' <<< \"\$1\"" _ "$sortie"
verifie "the Internet side: TCP port 53 refused" tcp "$NS_U1" no-port 10.53.1.1 10.53.1.2
verifie "the Internet side: the tunnel port refused" tcp "$NS_U1" no-port 10.53.1.1 10.53.1.2 8080

dns_attend_tcp "$NS_R" 10.53.3.1:8080
verifie "SSLListen: the start line is as before" grep -qx 'SSL server starts (8080)' "$RELAIS/out"
verifie "SSLListen: port 8080 is bound on the LAN address only" \
    bash -c "! ip netns exec '$NS_R' ss -Htnl | grep ':8080 ' | grep -v ' 10\.53\.3\.1:8080 '"
verifie "a LAN client's tunnel is opened" tcp "$NS_C" connect 10.53.3.1 10.53.3.2 8080 10.53.1.2:53
verifie "nothing in the error log" bash -c "! grep -q . '$RELAIS/quorvel-errors.log'"
dns_arrete "$relais"
dns_arrete "$resolveur"

# ---- Values that do not resolve or are not ours: nothing starts ----
for cas in "192.0.2.1|is not an address of this machine" "1.2.3.4.5|does not resolve to an IPv4 address"; do
    IFS='|' read -r valeur raison <<< "$cas"
    DNS_AVEC_SSL=1 dns_relais "$(conf "$valeur" "$valeur")"
    relais=$DNS_PID
    attend_ligne "$RELAIS/out" "DNS server exits (-1)" || true
    attend_ligne "$RELAIS/out" "SSL server exits (-1)" || true
    verifie "DNSListen=$valeur: the error log names key, value and reason" \
        grep -qx ".\{19\} DNS relay: DNSListen \"$valeur\" $raison; not started" "$RELAIS/quorvel-errors.log"
    verifie "SSLListen=$valeur: the error log names key, value and reason" \
        grep -qx ".\{19\} SSL tunnel: SSLListen \"$valeur\" $raison; not started" "$RELAIS/quorvel-errors.log"
    verifie "$valeur: both exit lines and no start line" \
        bash -c "grep -qx 'DNS server exits (-1)' '$RELAIS/out' && grep -qx 'SSL server exits (-1)' '$RELAIS/out' && ! grep -q 'server starts' '$RELAIS/out'"
    verifie "$valeur: nothing on port 53 or 8080" bash -c "$(declare -f rien_sur); NS_R=$NS_R; rien_sur 53 && rien_sur 8080"
    dns_arrete "$relais"
done

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
echo "PASS"
