#!/bin/bash
# ssl_block_e2e.sh BUILD_DIR: "SSLBlockAds" through the real quorvel. A
# CONNECT to a listed host or a subdomain of one (any case, trailing dot)
# gets the blocked page and never reaches the target; a parent, another
# name and an address literal pass; the log line, the access line, and a
# SIGHUP that turns blocking off and on again, a new list taken up by SIGHUP
# and an unreadable one that keeps the old. The DNS relay blocks from the
# same list, which is loaded once. Needs root (exit 77).
set -uo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/ssl/lib.sh"
ssl_besoin_root
trap ssl_nettoie EXIT
SCRATCH=$(mktemp -d)
ssl_reseau "sslb$$"
# The proxy's namespace resolves the test names to the target.
printf '127.0.0.1 localhost\n10.77.1.2 target.test ads.target.test x.ads.target.test zone.test\n' \
    > "/etc/netns/$NS_P/hosts"
d=$SCRATCH/proxy
ssl_copie "$build" "$d"
# The DNS relay runs too, blocking from the same list: loaded once for both.
cp "$build/quorvel_dns.so" "$d/"
# A list as published: a hosts line and an adblock rule.
printf '# hosts\n127.0.0.1 localhost\n0.0.0.0 ads.target.test\n||other.test^\n' > "$d/liste.txt"
conf() {  # conf SSLBlockAds
    cat > "$d/quorvel.conf" <<FIN
[Main]
AllowedHost0=10.77.0.2
AccessLog=acces.log
[SSL]
SSLEnabled=yes
SSLPort=8080
SSLBlockAds=$1
[DNS]
DNSEnabled=yes
DNSServer1=10.77.1.2
DNSBlockAds=yes
[HTTP_FTP]
AdHostsFile=liste.txt
FIN
}
conf yes
PROXY=10.77.0.1:8080
enc() { ip netns exec "$NS_C" "$PY" "$OUTIL" "$@"; }
ssl_fond "$NS_T" "$PY" "$OUTIL" serve-echo 10.77.1.2 7000
ssl_proxy "$d" "$NS_P" || { cat "$d/out"; exit 1; }
ssl_attend 30 ssl_ecoute "$NS_P" 8080 || { echo "nothing listens on 8080"; cat "$d/out"; exit 1; }
ssl_attend 30 ssl_ecoute "$NS_T" 7000 || exit 1
j=$d/acces.log
# tunnel HOST: "echo" when a tunnel to HOST:7000 carried bytes both ways.
tunnel() {
    local r
    r=$(enc ask "$PROXY" "CONNECT $1:7000 HTTP/1.1\r\n\r\nhello" --half-close 2>/dev/null | tr -d '\r')
    [[ $r == *$'200 OK\n\nhello' ]] && echo echo
}
# lignes REGEX: access lines matching REGEX.
lignes() { grep -cE "$1" "$j" 2>/dev/null || true; }

ssl_attend 30 grep -q "DNS server starts" "$d/out"
ssl_verifie "both modules block: the list status line, once" test "$(grep -c '^2 ad-domains loaded\.$' "$d/out")" -eq 1
for h in ads.target.test x.ads.target.test ADS.Target.TEST. ; do
    ssl_verifie "$h gets the blocked page" enc ask "$PROXY" "CONNECT $h:7000 HTTP/1.1\r\n\r\n" --expect-page 8
done
ssl_verifie "the target saw none of them" \
    bash -c "[ -z \"\$(ip netns exec $NS_T ss -Htn state established '( sport = :7000 )')\" ]"
ssl_attend 30 test "$(lignes ' status=403 ')" -ge 3
ssl_verifie "access lines say status=403 with no address" \
    test "$(lignes '^[0-9-]{10} [0-9:]{8} ssl client=10\.77\.0\.2:[0-9]+ target=(ads|x\.ads|ADS\.Target)\.(target|TEST)\.?(test)?\.?:7000 addr=- status=403 up=0 down=0 ms=[0-9]+$')" -eq 3
ssl_verifie "the log line names the client and the host" \
    grep -q ' Connection from 10\.77\.0\.2 to x\.ads\.target\.test blocked (SSL)$' "$d/quorvel.log"
ssl_verifie "a parent of a listed host passes" test "$(tunnel target.test)" = echo
ssl_verifie "an address literal is never blocked" test "$(tunnel 10.77.1.2)" = echo

# Off by a reload: the same host passes; on again: blocked again.
conf no
kill -HUP "$PROXY_PID"
ssl_attend 30 test "$(grep -c 'Configuration reloaded' "$d/quorvel.log")" -ge 1
ssl_verifie "SIGHUP turns blocking off" test "$(tunnel x.ads.target.test)" = echo
conf yes
kill -HUP "$PROXY_PID"
ssl_attend 30 test "$(grep -c 'Configuration reloaded' "$d/quorvel.log")" -ge 2
ssl_verifie "SIGHUP turns it on again" enc ask "$PROXY" "CONNECT x.ads.target.test:7000 HTTP/1.1\r\n\r\n" --expect-page 8
# A tunnel is counted open until its thread has closed both ends: ask
# again until the last one is done.
stats='SSL statistics: open=0 tunnels=3 refused=0 pages=4 bytes_up=[0-9]+ bytes_down=[0-9]+ blocked=4$'
for _ in $(seq 100); do
    kill -USR2 "$PROXY_PID"
    ssl_attend 30 grep -q "SSL statistics:" "$d/quorvel.log"
    grep -Eq " $stats" "$d/quorvel.log" && break
    sleep 0.3
done
ssl_verifie "the statistics line counts the 4 blocked CONNECTs" \
    grep -Eq " $stats" "$d/quorvel.log"
# curl, as a browser would use the proxy, sees the 403 of the CONNECT.
ssl_verifie "curl through the proxy: CONNECT answered 403" test "$(ip netns exec "$NS_C" curl -s -o /dev/null \
    --max-time 30 -w '%{http_connect}' -p -x "http://$PROXY" "https://x.ads.target.test:7000/")" = 403

# The list itself is read again on SIGHUP; one that cannot be read keeps
# the list in force.
printf '0.0.0.0 zone.test\n' > "$d/liste.txt"
kill -HUP "$PROXY_PID"
ssl_attend 30 test "$(grep -c 'Configuration reloaded' "$d/quorvel.log")" -ge 3
ssl_verifie "SIGHUP reads the new list: its name is blocked" \
    enc ask "$PROXY" "CONNECT zone.test:7000 HTTP/1.1\r\n\r\n" --expect-page 8
ssl_verifie "and the old list's name passes" test "$(tunnel x.ads.target.test)" = echo
ssl_verifie "the reload's count in the log" grep -q ' 1 ad-domains loaded\.$' "$d/quorvel.log"
rm "$d/liste.txt"
kill -HUP "$PROXY_PID"
ssl_attend 30 test "$(grep -c 'Configuration reloaded' "$d/quorvel.log")" -ge 4
ssl_verifie "an unreadable list on reload: the line with its reason" \
    grep -q " Ad-domain list reload failed: $d/liste.txt: No such file or directory; the previous list stays\$" "$d/quorvel.log"
ssl_verifie "and the previous list stays in force" \
    enc ask "$PROXY" "CONNECT www.zone.test:7000 HTTP/1.1\r\n\r\n" --expect-page 8
ssl_verifie "the proxy is alive" kill -0 "$PROXY_PID"
ssl_verifie "nothing in the error log" test ! -s "$d/quorvel-errors.log"

ssl_proxy_arrete
[ "$ECHECS" -eq 0 ] || { echo "$ECHECS failed"; tail -5 "$d/out"; exit 1; }
echo "all passed"
