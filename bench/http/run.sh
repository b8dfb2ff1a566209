#!/bin/bash
# bench/http/run.sh [BUILD_DIR]: the HTTP proxy module against tinyproxy and
# squid (both forward http://) and a direct connection, in one run, on the
# loopback of a network namespace of its own, with a local origin server
# (bench-bin/http_charge origine):
#   keep-alive GETs of a 1 KiB object from 1 and from 50 clients (requests/s,
#   and the proxy's CPU per request), one 1 GiB GET, and 1,000 idle
#   keep-alive client connections (resident KiB each).
# Needs root (namespace, squid). Environment: SECONDS_REQ, IDLE, ROUNDS.
set -uo pipefail
build=$(cd "${1:-build}" && pwd)
if [ "$(id -u)" != 0 ]; then echo "bench/http needs root (network namespace, squid)" >&2; exit 77; fi
if [ -z "${QUORVEL_BENCH_NS:-}" ]; then
    . "$(cd "$(dirname "$0")/../.." && pwd)/scripts/paquets.sh"
    quorvel_paquets tinyproxy squid || { echo "bench/http: tinyproxy and squid are needed" >&2; exit 1; }
    exec unshare -n env QUORVEL_BENCH_NS=1 bash "$0" "$build"
fi
ip link set lo up
sysctl -qw net.ipv4.tcp_tw_reuse=1 net.ipv4.ip_local_port_range="1024 65000" 2>/dev/null
ulimit -n 20000

SECONDS_REQ=${SECONDS_REQ:-4}
IDLE=${IDLE:-1000}
ROUNDS=${ROUNDS:-3}
outil=$build/bench-bin/http_charge
[ -x "$outil" ] || { echo "build $outil first (ninja -C $build http_charge)" >&2; exit 1; }
dir=$(mktemp -d)
chmod 755 "$dir"
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done; rm -rf "$dir"' EXIT

ORIGINE=19100
"$outil" origine $ORIGINE & PIDS+=($!)

mkdir "$dir/q"
cp "$build/quorvel" "$build/libkvt.so" "$build/quorvel_http.so" "$dir/q/"
printf '[Main]\n[HTTP_FTP]\nHTTPEnabled=yes\nHTTPPort=19101\n' > "$dir/q/quorvel.conf"
"$dir/q/quorvel" > "$dir/q/out" 2>&1 & QPID=$!; PIDS+=($QPID)

cat > "$dir/tinyproxy.conf" <<EOT
Port 19102
Listen 127.0.0.1
Timeout 600
MaxClients 20000
Allow 127.0.0.1
LogLevel Critical
LogFile "$dir/tinyproxy.log"
PidFile "$dir/tinyproxy.pid"
EOT
tinyproxy -d -c "$dir/tinyproxy.conf" > /dev/null 2>&1 & TPID=$!; PIDS+=($TPID)

mkdir -m 777 "$dir/squid"
cat > "$dir/squid.conf" <<EOT
http_port 127.0.0.1:19103
acl lo src 127.0.0.1/32
http_access allow lo
http_access deny all
cache deny all
cache_mem 0 MB
access_log none
cache_store_log none
cache_log $dir/squid/cache.log
pid_filename $dir/squid/squid.pid
coredump_dir $dir/squid
max_filedescriptors 20000
dns_nameservers 127.0.0.1
shutdown_lifetime 0 seconds
EOT
squid -N -f "$dir/squid.conf" > /dev/null 2>&1 & SPID=$!; PIDS+=($SPID)

pret() { for _ in $(seq 100); do ss -Hltn "sport = :$1" | grep -q . && return 0; sleep 0.1; done; return 1; }
for p in $ORIGINE 19101 19102 19103; do pret $p || { echo "nothing listens on $p" >&2; cat "$dir/q/out" "$dir/squid/cache.log" 2>/dev/null | tail; exit 1; }; done

noms=(direct quorvel tinyproxy squid)
ports=(direct 19101 19102 19103)
declare -A PIDN=([direct]="" [quorvel]=$QPID [tinyproxy]=$TPID [squid]=$SPID)
declare -A R
HZ=$(getconf CLK_TCK)
mesure() { timeout 600 "$outil" "$@" || echo 0; }
cpu() { [ -n "$1" ] && awk '{ print $14 + $15 }' "/proc/$1/stat" || echo 0; }
par_req() { awk -v t="$1" -v hz="$HZ" -v r="$2" -v d="$SECONDS_REQ" \
    'BEGIN { if (r > 0) printf "%.1f", t / hz * 1e6 / (r * d); else print "-" }'; }
max() { awk -v a="${1:-0}" -v b="${2:-0}" 'BEGIN { print (a + 0 > b + 0) ? a : b }'; }
echo "keep-alive GETs of 1 KiB: ${SECONDS_REQ} s per figure, and a 1 GiB GET; best of $ROUNDS interleaved rounds (CPU: the proxy's, us per request, last round)"
for r in $(seq "$ROUNDS"); do
    for i in 0 1 2 3; do
        n=${noms[$i]} p=${ports[$i]}
        c0=$(cpu "${PIDN[$n]}")
        # tinyproxy does not keep its clients' connections: one per request.
        f=""; [ "$n" = tinyproxy ] && f=ferme
        r1=$(mesure requetes "$p" $ORIGINE 1 "$SECONDS_REQ" $f)
        c1=$(cpu "${PIDN[$n]}")
        r50=$(mesure requetes "$p" $ORIGINE 50 "$SECONDS_REQ" $f)
        c2=$(cpu "${PIDN[$n]}")
        g=$(mesure gros "$p" $ORIGINE)
        R[$n,r1]=$(max "${R[$n,r1]:-0}" "$r1") R[$n,r50]=$(max "${R[$n,r50]:-0}" "$r50")
        R[$n,gros]=$(max "${R[$n,gros]:-0}" "$g")
        R[$n,us1]=$(par_req $((c1 - c0)) "$r1") R[$n,us50]=$(par_req $((c2 - c1)) "$r50")
        [ -n "${PIDN[$n]}" ] || R[$n,us1]=- R[$n,us50]=-
        printf '  round %d %-10s requests/s 1 client %7s  50 clients %7s  (us CPU each %s / %s)  1 GiB GET %s MiB/s\n' \
            "$r" "$n" "$r1" "$r50" "${R[$n,us1]}" "${R[$n,us50]}" "$g"
    done
    R[tunnel,gros]=$(max "${R[tunnel,gros]:-0}" "$(mesure gros_tunnel 19101 $ORIGINE)")
done
for i in 0 1 2 3; do
    n=${noms[$i]} p=${ports[$i]}
    printf '%-10s requests/s 1 client %7s  50 clients %7s  1 GiB GET %6s MiB/s\n' "$n" "${R[$n,r1]}" "${R[$n,r50]}" "${R[$n,gros]}"
done
printf '%-10s 1 GiB GET through a CONNECT tunnel of the same port %6s MiB/s (the relay, for comparison)\n' quorvel "${R[tunnel,gros]}"
# Idle connections: tinyproxy holds none after its answer, so it is left out.
for i in 1 3; do
    n=${noms[$i]} p=${ports[$i]}
    read -r R[$n,idle] R[$n,kib] < <(mesure inactifs "$p" $ORIGINE "$IDLE" "${PIDN[$n]}")
    printf '%-10s idle keep-alive connections answering %6s of %s, %6s KiB resident each\n' "$n" "${R[$n,idle]}" "$IDLE" "${R[$n,kib]}"
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
echo
echo "ratios"
for s in r1 r50; do
    printf '  requests/s %-3s quorvel/tinyproxy %s  quorvel/squid %s\n' "$s" \
        "$(ratio "${R[quorvel,$s]}" "${R[tinyproxy,$s]}")" "$(ratio "${R[quorvel,$s]}" "${R[squid,$s]}")"
done
printf '  1 GiB GET quorvel/direct %s  (its CONNECT relay/direct %s)\n' "$(ratio "${R[quorvel,gros]}" "${R[direct,gros]}")" \
    "$(ratio "${R[tunnel,gros]}" "${R[direct,gros]}")"
echo "goals: requests/s >= 1.5 x tinyproxy and ahead of squid, CPU per request below both; 1 GiB GET >= 0.8 of direct; idle KiB each <= tinyproxy's"
