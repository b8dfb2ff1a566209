#!/bin/bash
# dns_tcp_e2e.sh BUILD_DIR: DNS over TCP through the real launcher and DNS
# module, in front of two dnsmasq upstreams that also serve a TXT answer of
# about 6 KiB. Over UDP that answer comes back truncated (TC bit); dig then
# asks again over TCP and gets all of it. dig +tcp, pipelined queries on one
# connection, a refused client closed unread and an idle client closed after
# 30 seconds.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqt

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}
tcp() { ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/tcp.py" "$@"; }

# 24 TXT records of 250 characters: about 6 KiB, far over a datagram's 1232.
gros=()
for k in $(seq 24); do
    gros+=("--txt-record=big.zone.test,$(printf "r%02d%0247d" "$k" 0)")
done
dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1 "${gros[@]}"
dns_dnsmasq "$NS_U2" 10.53.2.2 10.9.9.2 "${gros[@]}"
dns_attend_tcp "$NS_U1" 10.53.1.2:53
dns_attend_tcp "$NS_U2" 10.53.2.2:53

dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.2\nAllowedHost1=10.53.3.4\nAccessLog=acces.log\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\n')"
relais=$DNS_PID
dns_relais_pret
dns_attend_tcp "$NS_R" 0.0.0.0:53
verifie "status lines as before" grep -qz $'DNS server starts\nNS1: 10.53.1.2\nNS2: 10.53.2.2\n' "$RELAIS/out"

sortie=$(dns_dig 10.53.3.2 +tcp www.zone.test A || true)
verifie "dig +tcp is answered through the relay" \
    grep -Eq 'www\.zone\.test\..*IN\s+A\s+10\.9\.9\.[12]' <<< "$sortie"

sortie=$(dns_dig 10.53.3.2 +ignore big.zone.test TXT || true)
verifie "over UDP the big answer comes back truncated (TC bit)" grep -Eq 'flags:[a-z ]* tc[ ;]' <<< "$sortie"

sortie=$(dns_dig 10.53.3.2 big.zone.test TXT || true)
verifie "dig retries a truncated answer over TCP" grep -q 'Truncated, retrying in TCP mode' <<< "$sortie"
verifie "and reads all 24 records" grep -q 'ANSWER: 24,' <<< "$sortie"
taille=$(sed -n 's/.*MSG SIZE  rcvd: \([0-9]*\).*/\1/p' <<< "$sortie")
verifie "the TCP answer is over 4 KiB ($taille bytes)" test "${taille:-0}" -gt 4096

sortie=$(dns_dig 10.53.3.2 +tcp big.zone.test TXT || true)
verifie "dig +tcp reads the big answer whole" grep -q 'ANSWER: 24,' <<< "$sortie"

verifie "pipelined queries on one connection: every answer comes back" \
    tcp pipeline 10.53.3.1 10.53.3.4 www.zone.test big.zone.test none.zone.test www.zone.test big.zone.test

verifie "a refused client is closed with nothing sent back" tcp refused 10.53.3.1 10.53.3.3
for _ in $(seq 50); do grep -qs 'Query from 10.53.3.3 refused (DNS)' "$RELAIS/quorvel.log" && break; sleep 0.1; done
verifie "the refusal is logged like a datagram's" grep -qx '.\{19\} Query from 10.53.3.3 refused (DNS)' "$RELAIS/quorvel.log"

verifie "a client that sends no complete message is closed after 30 s" tcp idle 10.53.3.1 10.53.3.2 29 40

# The access log: one line per TCP connection, none for datagrams.
acces=$RELAIS/acces.log
N='[0-9]+'
for _ in $(seq 100); do [ "$(grep -c . "$acces" 2>/dev/null)" -ge 6 ] && break; sleep 0.1; done
lignes() { cut -c21- "$acces"; }
verifie "access log: one line per TCP connection (6), none for datagrams" test "$(grep -c . "$acces")" -eq 6
verifie "access log: first dig +tcp relayed, both ways counted" grep -Eq \
    "^dns-tcp client=10\.53\.3\.2:$N upstream=10\.53\.[12]\.2 status=200 up=[1-9][0-9]* down=[1-9][0-9]* ms=$N$" \
    <<< "$(lignes | head -n 1)"
verifie "access log: the big TCP answer counted over 4 KiB" \
    test "$(lignes | sed -n 2p | sed -n 's/.* down=\([0-9]*\) .*/\1/p')" -gt 4096
verifie "access log: the refused client's line" grep -Eqx \
    "dns-tcp client=10\.53\.3\.3:$N upstream=- status=403 up=0 down=0 ms=0" <<< "$(lignes)"
verifie "access log: the idle client ended by the time limit" grep -Eq \
    "^dns-tcp client=10\.53\.3\.2:$N upstream=10\.53\.[12]\.2 status=504 up=$N down=0 ms=[0-9]{5,}$" <<< "$(lignes | tail -n 1)"

verifie "the UDP relay still answers" grep -Eq '^10\.9\.9\.[12]$' <<< "$(dns_dig 10.53.3.2 www.zone.test A +short || true)"
verifie "the relay process is alive" kill -0 "$relais"
verifie "nothing in the error log" test ! -s "$RELAIS/quorvel-errors.log"
dns_arrete "$relais"

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
echo "PASS"
