#!/bin/bash
# fault_accesslog_e2e.sh BUILD_DIR: the access log never holds a service.
# Three runs of the real quorvel (tunnel and DNS relay, query log on):
#   1. the access log is a FIFO whose reader never reads: DNS keeps
#      answering, tunnels work and their threads do not pile up, the lines
#      that do not fit are counted ("Access log: N lines dropped (queue
#      full)", once), SIGUSR1 is served and a SIGHUP to a new path takes
#      effect at once;
#   2. the access log on a full 64 KiB tmpfs: "(No space left on device)",
#      and every line in the file is whole but the one the disk cut;
#   3. a query flood from one client with the query log on: 1,000 query
#      lines in its minute, then `status=not-logged count=N` when the minute
#      ends, with no further query. The minute is shortened to 10 s through
#      the test-only environment variable KVT_ESSAI_MINUTE_MS.
# Needs root (network namespaces, port 53, mount): exit 77 otherwise.
set -uo pipefail
. "$(dirname "$0")/dns/lib.sh"
dns_exige
trap 'dns_nettoie_tout' EXIT
PLEIN=""
dns_nettoie_tout() {
    [ -z "$PLEIN" ] || umount "$PLEIN" 2> /dev/null || true
    dns_nettoie
}
dns_prepare "$1" dqa
t=dqa$(($$ % 100000))
OUTIL=$(dirname "$DNS_LIB")/ssl/outil.py
FLOOD=$(dirname "$DNS_LIB")/tools/qv_dnsflood.py

echec=0
verifie() {  # verifie TEXT COMMAND...: one checked case
    local texte=$1
    shift
    if "$@"; then echo "ok   - $texte"; else echo "FAIL - $texte"; echec=1; fi
}
# attend SECONDS COMMAND...: until COMMAND holds, polled every 0.1 s.
attend() {
    local n=$(($1 * 10))
    shift
    for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
    return 1
}
flood() { ip netns exec "$NS_C" /usr/bin/python3 "$FLOOD" --relay 10.53.3.1 "$@"; }
fils() { ls "/proc/$relais/task" | wc -l; }
fils_au_plus() { [ "$(fils)" -le "$1" ]; }
chiffre() { sed -n "s/.*$1=\([0-9]*\).*/\1/p" <<< "$2"; }

# 80 more client addresses: the query log's bound is per client, so many
# clients are needed to fill 4 MiB of queue.
sources=()
for i in $(seq 100 179); do
    ip -n "$NS_C" addr add "10.53.3.$i/24" dev "${t}c"
    sources+=("10.53.3.$i")
done
sources=$(IFS=,; echo "${sources[*]}")
dns_dnsmasq "$NS_U1" 10.53.1.2 10.9.9.1
dns_dnsmasq "$NS_U2" 10.53.2.2 10.9.9.2
ip netns exec "$NS_U1" /usr/bin/python3 "$OUTIL" serve-echo 10.53.1.2 7000 > "$DNS_DIR/echo.out" 2>&1 &
DNS_PIDS+=("$!")
export DNS_AVEC_SSL=1 KVT_ESSAI_MINUTE_MS=10000
conf() {
    printf '[Main]\nAllowedHost0=10.53.3.*\nAccessLog=%s\n[SSL]\nSSLEnabled=yes\nSSLPort=8080\n[DNS]\nDNSEnabled=yes\nDNSServer1=10.53.1.2\nDNSServer2=10.53.2.2\nDNSQueryLog=yes\n' "$1"
}

# ---- 1. A FIFO whose reader stops --------------------------------------
fifo=$DNS_DIR/acces.fifo
mkfifo "$fifo"
exec 7<> "$fifo"  # the reader: holds the FIFO open and never reads
dns_relais "$(conf "$fifo")"
relais=$DNS_PID
dns_relais_pret
ecoute_ssl() { ip netns exec "$NS_R" ss -Htnl | grep -q ':8080 '; }
attend 30 ecoute_ssl
avant=$(fils)
echo "     threads at start: $avant"
# About 8 MB of query lines (80 clients x 1,000 a minute): far more than
# the pipe and the queue hold.
r=$(flood --src "$sources" --count 84000 --seconds 120 --window 1)
echo "     flood of 80 clients: $r"
verifie "the relay answered the flood though the log is not read" \
    test "$(chiffre answered "$r")" -ge $(($(chiffre sent "$r") * 9 / 10))
attend 60 grep -qs 'Access log: [0-9]* lines dropped (queue full)' "$RELAIS/quorvel-errors.log"
verifie "the dropped lines are reported in the error log, with their count" \
    grep -Eq '^.{19} Access log: [1-9][0-9]* lines dropped \(queue full\)$' "$RELAIS/quorvel-errors.log"
# While the pipe is still not read: DNS answers at its usual pace.
r=$(flood --src 10.53.3.2 --count 20000 --seconds 5 --window 32)
echo "     20,000 queries of one client, log stalled: $r"
verifie "DNS answers while the access log is stalled" \
    test "$(chiffre answered "$r")" -ge $(($(chiffre sent "$r") * 9 / 10))
# Tunnels: 4 rounds of 50 at once, each checked by an echoed byte; their
# access lines do not fit and are dropped.
for k in 1 2 3 4; do
    r=$(ip netns exec "$NS_C" /usr/bin/python3 "$OUTIL" many 10.53.3.1:8080 10.53.1.2:7000 50 2>&1)
    verifie "50 tunnels at once work (round $k): $r" grep -q '^50 of 50 alive$' <<< "$r"
done
attend 30 fils_au_plus $((avant + 5))
verifie "tunnel threads end: $(fils) threads, $avant at start" fils_au_plus $((avant + 5))
verifie "one report line while the minute lasts" \
    test "$(grep -c 'Access log: .* lines dropped' "$RELAIS/quorvel-errors.log")" -le 2
kill -USR1 "$relais"
attend 10 grep -qs 'Logs reopened' "$RELAIS/quorvel.log"
verifie "SIGUSR1 is served while the pipe is stalled" grep -qs 'Logs reopened' "$RELAIS/quorvel.log"
conf "acces.log" > "$RELAIS/quorvel.conf"
kill -HUP "$relais"
attend 10 grep -qs 'Configuration reloaded' "$RELAIS/quorvel.log"
# The lines the pipe did not take go first into the new file; then a tunnel.
attend 30 test -s "$RELAIS/acces.log"
ip netns exec "$NS_C" /usr/bin/python3 "$OUTIL" ask 10.53.3.1:8080 'CONNECT 10.53.1.2:7000 HTTP/1.1\r\n\r\nhello' \
    --half-close > /dev/null
attend 30 grep -qs 'ssl client=10.53.3.2:[0-9]* target=10.53.1.2:7000 .* up=5 down=5 ' "$RELAIS/acces.log"
verifie "after SIGHUP the new access log takes the lines at once" \
    grep -qs 'ssl client=10.53.3.2:[0-9]* target=10.53.1.2:7000 .* up=5 down=5 ' "$RELAIS/acces.log"
debut=$(date +%s%N)
dns_arrete "$relais"
verifie "the stop is quick ($(( ($(date +%s%N) - debut) / 1000000 )) ms)" test $(( ($(date +%s%N) - debut) / 1000000 )) -lt 2000
exec 7<&-

# ---- 2. A full small tmpfs ---------------------------------------------
PLEIN=$DNS_DIR/plein
mkdir -p "$PLEIN"
mount -t tmpfs -o size=64k tmpfs "$PLEIN"
dns_relais "$(conf "$PLEIN/acces.log")"
relais=$DNS_PID
dns_relais_pret
r=$(flood --src "$sources" --count 4000 --seconds 60 --window 1)
echo "     flood on a full disk: $r"
verifie "DNS answers with the disk full" test "$(chiffre answered "$r")" -ge $(($(chiffre sent "$r") * 9 / 10))
attend 60 grep -qs 'lines dropped (No space left on device)' "$RELAIS/quorvel-errors.log"
verifie "the failed writes are reported with their reason" \
    grep -Eq '^.{19} Access log: [1-9][0-9]* lines dropped \(No space left on device\)$' "$RELAIS/quorvel-errors.log"
# Whole lines only: each ends with its line feed, but the very last, which
# the full disk cut (its line feed is owed).
entieres=$(head -c -1 "$PLEIN/acces.log" | grep -cvE '^.{19} dns client=10\.53\.3\.[0-9]+:[0-9]+ name=www\.zone\.test type=A status=forwarded$' || true)
verifie "no glued or broken line in the file ($(wc -l < "$PLEIN/acces.log") lines)" test "$entieres" -le 1
dns_arrete "$relais"
umount "$PLEIN" && PLEIN=""

# ---- 3. The query log's bound for one client ---------------------------
dns_relais "$(conf acces.log)"
relais=$DNS_PID
dns_relais_pret
r=$(flood --src 10.53.3.2 --count 3000 --seconds 8 --window 32)
echo "     one client, 3000 queries: $r"
ligne_compte() { grep -qs ' dns client=10.53.3.2 status=not-logged count=' "$RELAIS/acces.log"; }
attend 60 ligne_compte
n=$(grep -c ' dns client=10\.53\.3\.2:[0-9]* name=' "$RELAIS/acces.log")
secondes=$(sed -n 's/.*seconds=\([0-9]*\).*/\1/p' <<< "$r")
if [ "$secondes" -ge 9 ]; then
    # The flood outlasted the 10-second minute: a second minute began.
    echo "skip - the flood took ${secondes} s, longer than the minute"
else
    verifie "1000 query lines for the client in its minute ($n)" test "$n" -eq 1000
    c=$(sed -n 's/.* dns client=10\.53\.3\.2 status=not-logged count=\([0-9]*\)$/\1/p' "$RELAIS/acces.log")
    verifie "then one line counts the rest, without further queries (count=$c)" \
        test -n "$c" -a "$((1000 + ${c:-0}))" -ge "$(chiffre answered "$r")" -a "$((1000 + ${c:-0}))" -le "$(chiffre sent "$r")"
fi
verifie "the count line is stamped like the others" \
    grep -Eq '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} dns client=10\.53\.3\.2 status=not-logged count=[0-9]+$' "$RELAIS/acces.log"
dns_arrete "$relais"
exit $echec
