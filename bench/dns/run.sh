#!/bin/bash
# bench/dns/run.sh BUILD_DIR [SECONDS [OUTSTANDING]]: DNS queries per second
#   (a) to the first upstream directly,
#   (b) through quorvel_dns, run by the real launcher, with two upstreams,
#   (b1) the same with one upstream,
#   (b2) as (b) with "DNSBlockAds" on and a 100,000-name list that blocks
#        none of the benchmark's names (the cost of the look at the question),
#   (b3) as (b2) with a list that blocks every one of them (answers the
#        relay makes itself, no upstream),
#   (b4) as (b) with "DNSQueryLog" on: one access-log line per query,
#   (b5) as (b) with "DNSHardened" on: random ports and identifiers, answers
#        checked against their query,
#   (c) through dnsmasq as a forwarder to the same upstreams, cache off,
#   (d) through dnsdist over the same upstreams, packet cache off (installed
#       when missing, its service kept from starting),
#   (h) through the floor, a bare batched forwarder (bench-bin/relais_plancher:
#       no checks, no identifiers of its own): what this machine allows any
#       forwarder,
#   (h5) the floor with a port per query, drawn by the kernel,
# and over 1,000 names, each asked again once its answer is known (after the
# first round every query can be a hit):
#   (a') the first upstream directly,
#   (e) quorvel_dns with "DNSCacheSize" 10,000,
#   (f) dnsmasq with its cache (10,000),
#   (g) dnsdist with its packet cache (10,000),
# driven by dnsperf from a client namespace with OUTSTANDING queries in flight
# (default 100) for SECONDS each (default 10); the direct runs give the
# upstream's own CPU per answer. With PROFILE=DIR, runs (b),
# (b5) and (e) are recorded by perf (linux-perf) and their top entries written to
# DIR/dns-b.txt, DIR/dns-b5.txt and DIR/dns-e.txt. The upstreams are the
# benchmark's own responder (bench-bin/dns_repondeur, batched, so it is never
# the limit), or dnsmasq answering from local records when it is not built.
# Everything runs in namespaces made here (the layout of tests/e2e/dns/lib.sh);
# traffic for (a) crosses the relay namespace by kernel forwarding, so every
# run crosses the same two links. Needs root.
set -euo pipefail
racine=$(cd "$(dirname "$0")/../.." && pwd)
. "$racine/tests/e2e/dns/lib.sh"
. "$racine/scripts/paquets.sh"
quorvel_paquets dnsperf dnsdist || echo "dnsdist is missing: (d) is skipped" >&2
dns_exige dnsperf
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [SECONDS [OUTSTANDING]]"; exit 2; }
duree=${2:-10}
envol=${3:-100}
trap dns_nettoie EXIT
dns_prepare "$1" dqb

# Upstreams: a single dnsmasq answers about 20,000 queries a second here,
# less than the relay forwards, so the fast responder is preferred.
repondeur=$DNS_BUILD/bench-bin/dns_repondeur
if [ -x "$repondeur" ]; then amont="dns_repondeur"; else amont="dnsmasq, local records"; fi
for u in "$NS_U1 10.53.1.2 1" "$NS_U2 10.53.2.2 2"; do
    read -r ns adr n <<< "$u"
    if [ -x "$repondeur" ]; then
        ip netns exec "$ns" "$repondeur" "$adr" "10.9.9.$n" > "$DNS_DIR/u$n.out" 2>&1 &
    else
        ip netns exec "$ns" dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
            --bind-interfaces --listen-address="$adr" --pid-file="$DNS_DIR/u$n.pid" --user=root \
            --address=/bench.test/10.9.9.$n > "$DNS_DIR/u$n.out" 2>&1 &
    fi
    DNS_PIDS+=($!)
    dns_attend_port "$ns" "$adr:53"
done
# For (a): the client reaches the upstreams through the relay namespace.
ip netns exec "$NS_R" sysctl -qw net.ipv4.ip_forward=1
ip -n "$NS_C" route add 10.53.1.0/24 via 10.53.3.1
ip -n "$NS_U1" route add 10.53.3.0/24 via 10.53.1.1

for i in $(seq 0 99); do echo "host$i.bench.test A"; done > "$DNS_DIR/requetes"

# pleins NS: UDP datagrams dropped so far in NS for a full receive buffer.
pleins() {
    ip netns exec "$1" awk '/^Udp:/ { if (!n++) { for (i = 1; i <= NF; i++) if ($i == "RcvbufErrors") c = i } else print $c }' /proc/net/snmp
}

# cpu PID: user and system CPU time of a process so far, in clock ticks.
cpu() {
    awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"
}

# mesure NAME SERVER PORT LABEL [PID [PROFILE_NAME]]: one dnsperf run; prints one result line
# (with the CPU time PID spent per answered query) and keeps
# "qps avg p99 lost" in $DNS_DIR/NAME.res.
mesure() {
    local nom=$1 sortie=$DNS_DIR/$1.dnsperf ns cpu0=""
    local avant=() i=0
    for ns in "$NS_C" "$NS_R" "$NS_U1" "$NS_U2"; do avant+=("$(pleins "$ns")"); done
    [ -z "${5:-}" ] || cpu0=$(cpu "$5")
    local enregistre=""
    if [ -n "${PROFILE:-}" ] && [ -n "${6:-}" ]; then
        perf record -q -g -p "$5" -o "$DNS_DIR/$nom.perf" -- sleep "$duree" > /dev/null 2>&1 &
        enregistre=$!
    fi
    ip netns exec "$NS_C" dnsperf -s "$2" -p "$3" -a 10.53.3.2 -d "${REQUETES:-$DNS_DIR/requetes}" \
        -l "$duree" -q "$envol" -t 2 -v > "$sortie" 2>&1 || true
    if [ -n "$enregistre" ]; then
        wait "$enregistre" || true
        mkdir -p "$PROFILE"
        perf report -q -i "$DNS_DIR/$nom.perf" --stdio --no-children --percent-limit 1 -g none \
            2> /dev/null | head -40 > "$PROFILE/dns-$6.txt" || true
    fi
    # -v prints one line per answer, latency in seconds last.
    local p99
    p99=$(awk '/^> / { print $NF }' "$sortie" | sort -g |
          awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else { i = int(NR * 0.99); if (i < 1) i = 1; printf "%.3f", v[i] * 1000 } }')
    local qps avg perdu
    qps=$(awk '/Queries per second:/ { print $4 }' "$sortie")
    avg=$(awk '/Average Latency/ { printf "%.3f", $4 * 1000 }' "$sortie")
    perdu=$(awk '/Queries lost:/ { print $3 }' "$sortie")
    echo "${qps:-0} ${avg:-nan} $p99 ${perdu:-?}" > "$DNS_DIR/$nom.res"
    # Datagrams the kernel dropped for a full receive buffer, per namespace.
    local bilan=""
    for ns in "$NS_C" "$NS_R" "$NS_U1" "$NS_U2"; do
        bilan+=" $(($(pleins "$ns") - avant[i++]))"
    done
    local parq=""
    if [ -n "$cpu0" ]; then
        local faites
        faites=$(awk '/Queries completed:/ { print $3 }' "$sortie")
        parq=$(awk -v t=$(($(cpu "$5") - cpu0)) -v n="${faites:-0}" -v hz="$(getconf CLK_TCK)" \
            'BEGIN { if (n > 0) printf "   cpu %.1f us/query", t * 1e6 / hz / n }')
    fi
    printf '%-32s %10.0f qps   avg %7s ms   p99 %7s ms   lost %s%s   (full buffers client/relay/up1/up2:%s)\n' \
        "$4" "${qps:-0}" "${avg:-nan}" "$p99" "${perdu:-?}" "$parq" "$bilan"
}

# pair NAME BOUND_ADDRESS PORT LABEL COMMAND...: a peer started in the relay
# namespace, measured once its UDP port is bound, then stopped; its output
# goes to $DNS_DIR/NAME.out.
pair() {
    local nom=$1 lie=$2 port=$3 etiquette=$4
    shift 4
    ip netns exec "$NS_R" "$@" > "$DNS_DIR/$nom.out" 2>&1 &
    DNS_PIDS+=($!)
    relais=$!
    dns_attend_port "$NS_R" "$lie:$port"
    mesure "$nom" 10.53.3.1 "$port" "$etiquette" "$relais"
    dns_arrete "$relais"
}

echo "dnsperf, $duree s per run, $envol queries outstanding, 2 upstreams ($amont)"
mesure direct 10.53.1.2 53 "(a) upstream directly" "${DNS_PIDS[0]}"

dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.*\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\n')"
relais=$DNS_PID
dns_relais_pret > /dev/null
mesure quorvel 10.53.3.1 53 "(b) quorvel_dns" "$relais" b
dns_arrete "$relais"
# An answer whose query slot was overwritten by 100 newer queries reaches nobody.
sans_slot=$(cat "$RELAIS/out" "$RELAIS/err" | grep -c '^ERREUR: dns/quorvel_dns.cpp' || true)

# The same with one upstream: answers then return in query order, so no slot
# is overwritten before its answer, whereas two upstreams let answers overtake.
dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.*\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\n')"
relais=$DNS_PID
dns_relais_pret > /dev/null
mesure quorvel1 10.53.3.1 53 "(b1) quorvel_dns, one upstream" "$relais"
dns_arrete "$relais"

# Ad blocking: 100,000 names none of which is a benchmark name or a parent
# of one, then a list holding the benchmark's domain.
for i in $(seq 100000); do echo "ad$i.tracker$((i % 97)).example"; done > "$DNS_DIR/liste-aucun"
echo bench.test > "$DNS_DIR/liste-tous"
bloque() {  # bloque LIST: the configuration of (b) with blocking on
    printf '[Main]\nAllowedHost0=10.53.3.*\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\nDNSBlockAds=yes\n[HTTP_FTP]\nAdHostsFile=%s\n' "$1"
}
dns_relais "$(bloque "$DNS_DIR/liste-aucun")"
relais=$DNS_PID
dns_relais_pret > /dev/null
mesure bloc_aucun 10.53.3.1 53 "(b2) blocking on, none blocked" "$relais"
dns_arrete "$relais"
dns_relais "$(bloque "$DNS_DIR/liste-tous")"
relais=$DNS_PID
dns_relais_pret > /dev/null
mesure bloc_tous 10.53.3.1 53 "(b3) blocking on, all blocked" "$relais"
dns_arrete "$relais"
dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.*\nAccessLog=acces.log\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\nDNSQueryLog=yes\n')"
relais=$DNS_PID
dns_relais_pret > /dev/null
mesure journal 10.53.3.1 53 "(b4) query log on" "$relais"
dns_arrete "$relais"
lignes_journal=$(wc -l < "$RELAIS/acces.log" 2> /dev/null || echo 0)
dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.*\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\nDNSHardened=yes\n')"
relais=$DNS_PID
dns_relais_pret > /dev/null
mesure durci 10.53.3.1 53 "(b5) hardened mode on" "$relais" b5
dns_arrete "$relais"

pair dnsmasq 10.53.3.1 5300 "(c) dnsmasq forwarder, no cache" \
    dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
    --bind-interfaces --listen-address=10.53.3.1 --port=5300 --pid-file="$DNS_DIR/fwd.pid" \
    --user=root --cache-size=0 --server=10.53.1.2 --server=10.53.2.2

# dnsdist: both upstreams, its default policy, no packet cache (none is
# made unless the configuration asks), no console, no security poll.
if command -v dnsdist > /dev/null; then
    cat > "$DNS_DIR/dnsdist.conf" <<EOF
setLocal("10.53.3.1:5301")
setACL({"10.53.3.0/24"})
newServer({address="10.53.1.2:53"})
newServer({address="10.53.2.2:53"})
setSecurityPollSuffix("")
EOF
    pair dnsdist 10.53.3.1 5301 "(d) dnsdist, no packet cache" \
        dnsdist --supervised --disable-syslog -C "$DNS_DIR/dnsdist.conf"
else
    echo "0 nan nan ?" > "$DNS_DIR/dnsdist.res"
fi

# The floor: a bare batched forwarder (bench-bin/relais_plancher) over the
# same upstreams, what this machine allows any forwarder. Bound to every
# address, as the relay is, so each upstream answers to its own link.
plancher=$DNS_BUILD/bench-bin/relais_plancher
if [ -x "$plancher" ]; then
    pair plancher 0.0.0.0 5304 "(h) floor: a bare forwarder" "$plancher" 0.0.0.0 5304 10.53.1.2 10.53.2.2
    pair plancher5 0.0.0.0 5305 "(h5) floor, a port per query" "$plancher" 0.0.0.0 5305 10.53.1.2 10.53.2.2 port
else
    echo "0 nan nan ?" > "$DNS_DIR/plancher.res"
    echo "0 nan nan ?" > "$DNS_DIR/plancher5.res"
fi

read -r qa _ _ _ < "$DNS_DIR/direct.res"
read -r qb _ _ lb < "$DNS_DIR/quorvel.res"
read -r qc _ _ _ < "$DNS_DIR/dnsmasq.res"
read -r qd _ _ _ < "$DNS_DIR/dnsdist.res"
read -r qb5 _ _ _ < "$DNS_DIR/durci.res"
awk -v a="$qa" -v b="$qb" -v c="$qc" -v d="$qd" -v b5="$qb5" 'BEGIN {
    printf "ratio b/a %.2f (goal >= 0.8)   ratio b/c %.2f (goal >= 2)   ratio b/d %.2f   ratio d/a %.2f\n",
        (a > 0 ? b / a : 0), (c > 0 ? b / c : 0), (d > 0 ? b / d : 0), (a > 0 ? d / a : 0)
    printf "ratio b5/b %.2f (goal >= 0.85: hardened mode)\n", (b > 0 ? b5 / b : 0) }'
read -r qh _ _ _ < "$DNS_DIR/plancher.res"
read -r qh5 _ _ _ < "$DNS_DIR/plancher5.res"
awk -v b="$qb" -v d="$qd" -v h="$qh" -v h5="$qh5" 'BEGIN {
    printf "ratio b/h %.2f (quorvel_dns against the floor)   ratio h/d %.2f (the most any forwarder reaches against dnsdist here)\n",
        (h > 0 ? b / h : 0), (d > 0 ? h / d : 0)
    printf "ratio h5/h %.2f (what a port per query costs the floor itself)\n", (h > 0 ? h5 / h : 0) }'
read -r qb2 _ _ _ < "$DNS_DIR/bloc_aucun.res"
read -r qb3 _ _ _ < "$DNS_DIR/bloc_tous.res"
read -r qb4 _ _ _ < "$DNS_DIR/journal.res"
awk -v b="$qb" -v b2="$qb2" -v b3="$qb3" -v b4="$qb4" -v l="$lignes_journal" 'BEGIN {
    printf "ratio b2/b %.2f (goal >= 0.9)   ratio b3/b %.2f (goal: far above 1)\n", (b > 0 ? b2 / b : 0), (b > 0 ? b3 / b : 0)
    printf "ratio b4/b %.2f (goal >= 0.85), %d query-log lines\n", (b > 0 ? b4 / b : 0), l }'
echo "queries lost through quorvel_dns: $lb; answers it routed to nobody (traces): $sans_slot"

# ---- The answer caches, over 1,000 names ----
for i in $(seq 0 999); do echo "c$i.bench.test A"; done > "$DNS_DIR/requetes-cache"
export REQUETES=$DNS_DIR/requetes-cache
echo "caches: 1,000 names, answers of TTL 60"
mesure direct_c 10.53.1.2 53 "(a') upstream directly" "${DNS_PIDS[0]}"
dns_relais "$(printf '[Main]\nAllowedHost0=10.53.3.*\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\nDNSCacheSize=10000\n')"
relais=$DNS_PID
dns_relais_pret > /dev/null
mesure cache 10.53.3.1 53 "(e) quorvel_dns, cache on" "$relais" e
kill -USR2 "$relais"
for _ in $(seq 100); do grep -q "cache_hits" "$RELAIS/quorvel.log" && break; sleep 0.1; done
ligne_cache=$(grep "DNS statistics:" "$RELAIS/quorvel.log" | tail -1)
dns_arrete "$relais"

pair dnsmasq_c 10.53.3.1 5302 "(f) dnsmasq, cache on" \
    dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
    --bind-interfaces --listen-address=10.53.3.1 --port=5302 --pid-file="$DNS_DIR/fwdc.pid" \
    --user=root --cache-size=10000 --server=10.53.1.2 --server=10.53.2.2

if command -v dnsdist > /dev/null; then
    cat > "$DNS_DIR/dnsdist-c.conf" <<EOF
setLocal("10.53.3.1:5303")
setACL({"10.53.3.0/24"})
newServer({address="10.53.1.2:53"})
newServer({address="10.53.2.2:53"})
setSecurityPollSuffix("")
getPool(""):setCache(newPacketCache(10000))
EOF
    pair dnsdist_c 10.53.3.1 5303 "(g) dnsdist, packet cache on" \
        dnsdist --supervised --disable-syslog -C "$DNS_DIR/dnsdist-c.conf"
else
    echo "0 nan nan ?" > "$DNS_DIR/dnsdist_c.res"
fi
read -r qa2 _ _ _ < "$DNS_DIR/direct_c.res"
read -r qe _ _ _ < "$DNS_DIR/cache.res"
read -r qf _ _ _ < "$DNS_DIR/dnsmasq_c.res"
read -r qg _ _ _ < "$DNS_DIR/dnsdist_c.res"
awk -v a="$qa2" -v e="$qe" -v f="$qf" -v g="$qg" 'BEGIN {
    printf "ratio e/a %.2f (goal >= 0.9)   ratio e/f %.2f (goal > 1)   ratio e/g %.2f (goal > 1)\n",
        (a > 0 ? e / a : 0), (f > 0 ? e / f : 0), (g > 0 ? e / g : 0) }'
echo "CPU per answer: the cpu figure of (e) against that of (b) (goal: at most half); that of (a') is the upstream's own, answering with no lookup at all"
echo "quorvel_dns at the end of (e): ${ligne_cache#*DNS statistics: }"
