#!/bin/bash
# dns_cache_e2e.sh BUILD_DIR: the real launcher and DNS module with its
# answer cache, its question checks and its ports, in front of a crafted
# upstream (dns/amont.py: fixed TTLs, SOA values, large answers, an answer
# to another question) and of dnsmasq:
# - hits: TTLs counting down, the client's letter case and identifier kept,
#   the upstream asked once; negative answers kept for the SOA's MINIMUM;
#   DNSCacheMinTTL; SERVFAIL and answers to another question never kept;
#   an answer too large for the client's UDP size sent truncated, then
#   whole over TCP from the cache; the least recently used pushed out;
#   SIGHUP empties it; a name blocked after a reload is never served from
#   it; the statistics line and the metrics;
# - FORMERR for a question written as a pointer to a blocked name: never
#   forwarded, one query-log line "name=- type=- status=formerr";
# - 200 queries leave from at least 190 ports of the ephemeral range;
# - TCP: one client address holds at most DNSTCPMaxPerClient connections,
#   and messages of length 0 do not push the 30-second limit back.
set -euo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap dns_nettoie EXIT
dns_prepare "$1" dqk

echec=0
verifie() {
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}
cache() { ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/cache.py" "$1" 10.53.3.1 10.53.3.2 "${@:2}"; }
vus() { grep -c '' "$DNS_DIR/amont-10.53.1.2.log" || true; }  # queries the crafted upstream received
champ() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<< "$2"; }
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

printf 'nothing.example\n' > "$DNS_DIR/liste.txt"
conf() {
    printf '[Main]\nAllowedHost0=10.53.3.2\nAllowedHost1=10.53.3.4\nAccessLog=acces.log\nStatsPort=9153\nStatsListen=127.0.0.1\n[DNS]\nDNSEnabled=Yes\nDNSServer1=10.53.1.2\nDNSBlockAds=yes\nDNSQueryLog=yes\nDNSTCPMaxPerClient=3\n%b\n[HTTP_FTP]\nAdHostsFile=%s\n' "$1" "$DNS_DIR/liste.txt"
}

# ---- The crafted upstream ----
dns_responder "$NS_U1" 10.53.1.2 10.9.9.1 --tcp
amont=$DNS_PID
dns_attend_tcp "$NS_U1" 10.53.1.2:53
dns_relais "$(conf 'DNSCacheSize=3\nDNSCacheMinTTL=50')"
relais=$DNS_PID
dns_relais_pret

r1=$(cache udp ttl100.zone.test || true)
n=$(vus)
sleep 2  # two whole seconds pass in the cache
r2=$(cache udp TTL100.Zone.TEST || true)
verifie "a hit: the upstream asked once ($n, $(vus))" test "$(vus)" -eq "$n"
verifie "... the TTL counts down from 100 ($r1 / $r2)" \
    bash -c "[ '$(champ ttls "$r1")' = 100 ] && [ '$(champ ttls "$r2")' -le 98 ] && [ '$(champ ttls "$r2")' -ge 90 ]"
verifie "... the client's identifier and letter case kept" test "$(champ same "$r2")" = 1

r1=$(cache udp ttl5.zone.test || true)
n=$(vus)
r2=$(cache udp ttl5.zone.test || true)
verifie "DNSCacheMinTTL raises a TTL of 5 to 50 ($r1 / $r2)" \
    bash -c "[ '$(champ ttls "$r1")' = 5 ] && [ '$(champ ttls "$r2")' -ge 45 ] && [ $(vus) -eq $n ]"

r1=$(cache udp nx.zone.test || true)
n=$(vus)
r2=$(cache udp nx.zone.test || true)
verifie "NXDOMAIN with an SOA kept ($r2)" \
    bash -c "[ '$(champ rcode "$r2")' = 3 ] && [ '$(champ ttls "$r2")' -le 300 ] && [ '$(champ ttls "$r2")' -ge 290 ] && [ $(vus) -eq $n ]"
sleep 4  # past the SOA's MINIMUM of 3 s, which DNSCacheMinTTL does not raise
cache udp nx.zone.test > /dev/null || true
verifie "... for the SOA's MINIMUM (3 s), not raised to DNSCacheMinTTL" test "$(vus)" -eq $((n + 1))

cache udp servfail.zone.test > /dev/null || true
n=$(vus)
cache udp servfail.zone.test > /dev/null || true
verifie "SERVFAIL is not kept" test "$(vus)" -eq $((n + 1))
cache udp otherq.zone.test > /dev/null || true
n=$(vus)
cache udp otherq.zone.test > /dev/null || true
verifie "an answer to another question is neither given nor kept" test "$(vus)" -eq $((n + 1))

cache udp mid.zone.test > /dev/null || true  # the crafted upstream sends it whole
n=$(vus)
r1=$(cache udp mid.zone.test || true)
r2=$(cache tcp mid.zone.test || true)
verifie "an answer over 512 bytes: truncated over UDP without OPT ($r1)" \
    bash -c "[ '$(champ tc "$r1")' = 1 ] && [ '$(champ an "$r1")' = 0 ] && [ '$(champ same "$r1")' = 1 ]"
verifie "... whole over TCP, from the cache ($r2)" \
    bash -c "[ '$(champ tc "$r2")' = 0 ] && [ '$(champ an "$r2")' = 6 ] && [ $(vus) -eq $n ] && ! grep -q '^tcp ' '$DNS_DIR/amont-10.53.1.2.log'"

# Size 3: ttl5, nx and mid were kept after ttl100, which was pushed out.
n=$(vus)
cache udp ttl100.zone.test > /dev/null || true
verifie "the least recently used was pushed out (size 3)" test "$(vus)" -eq $((n + 1))
ligne=$(statistiques "$relais")
verifie "statistics: cache_hits cache_misses cache_entries after the fields ($ligne)" \
    grep -Eq ' blocked=[0-9]+ cache_hits=[1-9][0-9]* cache_misses=[1-9][0-9]* cache_entries=3$' <<< "$ligne"
metriques=$(ip netns exec "$NS_R" curl -s --max-time 20 http://127.0.0.1:9153/metrics || true)
metriques_cache() {
    grep -Eq '^quorvel_dns_cache_hits_total [1-9]' <<< "$metriques" &&
        grep -Eq '^quorvel_dns_cache_misses_total [1-9]' <<< "$metriques" &&
        grep -Eq '^quorvel_dns_cache_evictions_total [1-9]' <<< "$metriques" &&
        grep -q '^quorvel_dns_cache_entries 3$' <<< "$metriques"
}
verifie "metrics: hits, misses, evictions, entries" metriques_cache
verifie "the query log says cached" grep -q ' dns client=10.53.3.2:[0-9]* name=TTL100.Zone.TEST type=A status=cached$' "$RELAIS/acces.log"

cache udp ttl200.zone.test > /dev/null || true
printf 'nothing.example\nttl200.zone.test\n' > "$DNS_DIR/liste.txt"
verifie "SIGHUP reloads" recharge "$relais"
r1=$(cache udp ttl200.zone.test || true)
verifie "a name blocked after a reload is not served from the cache ($r1)" test "$(champ rcode "$r1")" = 3
n=$(vus)
cache udp nx.zone.test > /dev/null || true
verifie "SIGHUP emptied the cache" test "$(vus)" -eq $((n + 1))

# ---- FORMERR ----
printf 'ads.zone.test\n' > "$DNS_DIR/liste.txt"
recharge "$relais"
n=$(vus)
verifie "a question written as a pointer to a blocked name gets FORMERR" cache formerr ads.zone.test
verifie "... is never forwarded" test "$(vus)" -eq "$n"
verifie "... and its only query-log line is formerr" \
    bash -c "grep -q ' dns client=10.53.3.2:[0-9]* name=- type=- status=formerr$' '$RELAIS/acces.log' && ! grep -q 'ads.zone.test' '$RELAIS/acces.log'"

# ---- TCP: the per-client limit ----
verifie "TCP: a fourth connection from one client is closed at once, the others served" cache tcp-limit 3
# From the other client: the first one's connections may still be closing.
verifie "TCP: empty messages do not hold a connection past its 30 s" \
    ip netns exec "$NS_C" /usr/bin/python3 "$DNS_LIB/cache.py" tcp-empty 10.53.3.1 10.53.3.4

# ---- Ports: one per query ----
: > "$DNS_DIR/amont-10.53.1.2.log"
for i in $(seq 200); do cache udp "p$i.zone.test" > /dev/null || true; done
read -r bas haut < <(ip netns exec "$NS_R" cat /proc/sys/net/ipv4/ip_local_port_range)
ports=$(awk '$1 != "tcp" { print $3 }' "$DNS_DIR/amont-10.53.1.2.log" | sort -u | wc -l)
verifie "200 queries left from $ports distinct ports (at least 190)" test "$ports" -ge 190
verifie "... all in the ephemeral range $bas-$haut" \
    awk -v b="$bas" -v h="$haut" '$1 != "tcp" && ($3 < b || $3 > h) { bad = 1 } END { exit bad || NR < 200 }' "$DNS_DIR/amont-10.53.1.2.log"
verifie "the relay process is alive" kill -0 "$relais"
verifie "nothing in the error log" test ! -s "$RELAIS/quorvel-errors.log"
dns_arrete "$relais"
dns_arrete "$amont"

# ---- dnsmasq as the upstream ----
dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1 --local-ttl=300
dns_relais "$(conf 'DNSCacheSize=100')"
relais=$DNS_PID
dns_relais_pret
a1=$(dns_dig 10.53.3.2 www.zone.test A +noall +answer || true)
sleep 1
a2=$(dns_dig 10.53.3.2 WWW.zone.test A +noall +answer || true)
verifie "dnsmasq's answer served again from the cache ($a2)" \
    bash -c "grep -q 'status=cached' '$RELAIS/acces.log' && grep -q '10.9.9.1' <<< '$a2' && [ \$(awk '{print \$2}' <<< '$a2') -lt 300 ]"
verifie "with dig's OPT and without, two entries (the key)" \
    bash -c "dns_x=\$(ip netns exec '$NS_C' dig @10.53.3.1 -b 10.53.3.2 +time=10 +tries=1 +noedns www.zone.test A +short); [ \"\$dns_x\" = 10.9.9.1 ]"
verifie "the relay process is alive" kill -0 "$relais"

if [ "$echec" -ne 0 ]; then
    DNS_GARDE=1
    echo "scratch folder kept: $DNS_DIR"
    exit 1
fi
echo PASS
