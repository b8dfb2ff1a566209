#!/bin/bash
# bench/tunnel/run.sh [BUILD_DIR]: the tunnel, with and without its access
# log, against tinyproxy, squid and a direct connection, in one run, on the
# loopback of a network namespace of
# its own (nothing else on the machine is touched, no packet leaves it).
#   bulk throughput each way (2 GiB), tunnel setups/s from 1 and 50 clients,
#   idle tunnels held at once (each checked by an echoed byte) with the
#   proxy's resident memory per tunnel, under a descriptor limit of 20,000.
# Beside them, the floor (bench-bin/tunnel_plancher): a CONNECT proxy with no
# checks, caps, log or budget, copying and splicing, which shows what this
# machine allows any thread-per-connection proxy.
# Needs root (namespace, squid). Environment: BYTES, SECONDS_SETUP, IDLE, ROUNDS.
set -uo pipefail
build=$(cd "${1:-build}" && pwd)
if [ "$(id -u)" != 0 ]; then echo "bench/tunnel needs root (network namespace, squid)" >&2; exit 77; fi
if [ -z "${QUORVEL_BENCH_NS:-}" ]; then
    # The peers, installed when missing (their services kept from starting).
    . "$(cd "$(dirname "$0")/../.." && pwd)/scripts/paquets.sh"
    quorvel_paquets tinyproxy squid || { echo "bench/tunnel: tinyproxy and squid are needed" >&2; exit 1; }
    exec unshare -n env QUORVEL_BENCH_NS=1 bash "$0" "$build"
fi
ip link set lo up
# Tens of thousands of short connections in one run: let TIME_WAIT ports be
# reused (this namespace only).
sysctl -qw net.ipv4.tcp_tw_reuse=1 net.ipv4.ip_local_port_range="1024 65000" 2>/dev/null
ulimit -n 20000

BYTES=${BYTES:-$((2 << 30))}
SECONDS_SETUP=${SECONDS_SETUP:-4}
IDLE=${IDLE:-9000}
ROUNDS=${ROUNDS:-3}
outil=$build/bench-bin/tunnel_charge
plancher=$build/bench-bin/tunnel_plancher
[ -x "$outil" ] && [ -x "$plancher" ] || { echo "build $outil and $plancher first (ninja -C $build tunnel_charge tunnel_plancher)" >&2; exit 1; }
dir=$(mktemp -d)
chmod 755 "$dir"
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done; rm -rf "$dir"' EXIT

CIBLE=19000
"$outil" cible $CIBLE "$BYTES" & PIDS+=($!)

# quorvel with the tunnel module only.
mkdir "$dir/q"
cp "$build/quorvel" "$build/libkvt.so" "$build/quorvel_ssl.so" "$dir/q/"
printf '[Main]\n[SSL]\nSSLEnabled=yes\nSSLPort=18080\n' > "$dir/q/quorvel.conf"
"$dir/q/quorvel" > "$dir/q/out" 2>&1 & QPID=$!; PIDS+=($QPID)
# The same with the access log on, in the same run: what a line per tunnel costs.
mkdir "$dir/qa"
cp "$build/quorvel" "$build/libkvt.so" "$build/quorvel_ssl.so" "$dir/qa/"
printf '[Main]\nAccessLog=acces.log\n[SSL]\nSSLEnabled=yes\nSSLPort=18083\n' > "$dir/qa/quorvel.conf"
"$dir/qa/quorvel" > "$dir/qa/out" 2>&1 & QAPID=$!; PIDS+=($QAPID)

# tinyproxy: CONNECT to any port (no ConnectPort line), from 127.0.0.1.
cat > "$dir/tinyproxy.conf" <<EOF
Port 18081
Listen 127.0.0.1
Timeout 600
MaxClients 20000
Allow 127.0.0.1
LogLevel Critical
LogFile "$dir/tinyproxy.log"
PidFile "$dir/tinyproxy.pid"
EOF
tinyproxy -d -c "$dir/tinyproxy.conf" > /dev/null 2>&1 & TPID=$!; PIDS+=($TPID)

# squid: no cache, no access log, CONNECT to any port from localhost.
mkdir -m 777 "$dir/squid"
cat > "$dir/squid.conf" <<EOF
http_port 127.0.0.1:18082
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
EOF
squid -N -f "$dir/squid.conf" > /dev/null 2>&1 & SPID=$!; PIDS+=($SPID)
"$plancher" 18084 copie > /dev/null 2>&1 & FPID=$!; PIDS+=($FPID)
"$plancher" 18085 splice > /dev/null 2>&1 & FSPID=$!; PIDS+=($FSPID)

pret() { for _ in $(seq 100); do ss -Hltn "sport = :$1" | grep -q . && return 0; sleep 0.1; done; return 1; }
for p in $CIBLE 18080 18081 18082 18083 18084 18085; do pret $p || { echo "nothing listens on $p" >&2; cat "$dir/q/out" "$dir/squid/cache.log" 2>/dev/null | tail; exit 1; }; done

noms=(direct quorvel tinyproxy squid quorvel_log floor floor_splic)
ports=(direct 18080 18081 18082 18083 18084 18085)
declare -A R
mesure() { timeout 300 "$outil" "$@" || echo 0; }
echo "bulk: $((BYTES >> 20)) MiB each way, setups: ${SECONDS_SETUP} s per figure, idle: $IDLE tunnels"
echo "each figure is the best of $ROUNDS rounds, the five targets interleaved (a shared machine is noisy); CPU per setup is the median, 1 / 50 clients"
HZ=$(getconf CLK_TCK)
declare -A PIDN=([direct]="" [quorvel]=$QPID [tinyproxy]=$TPID [squid]=$SPID [quorvel_log]=$QAPID [floor]=$FPID [floor_splic]=$FSPID)
cpu() { [ -n "$1" ] && awk '{ print $14 + $15 }' "/proc/$1/stat" || echo 0; }
par_setup() { awk -v t="$1" -v hz="$HZ" -v r="$2" -v d="$SECONDS_SETUP" \
    'BEGIN { if (r > 0) printf "%.0f", t / hz * 1e6 / (r * d); else print "-" }'; }
mediane() { tr ' ' '\n' <<< "$1" | grep -E '^[0-9]+$' | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }'; }
max() { awk -v a="${1:-0}" -v b="${2:-0}" 'BEGIN { print (a + 0 > b + 0) ? a : b }'; }
for r in $(seq "$ROUNDS"); do
    for i in 0 1 2 3 4 5 6; do
        n=${noms[$i]} p=${ports[$i]}
        h=$(mesure haut "$p" $CIBLE "$BYTES") b=$(mesure bas "$p" $CIBLE "$BYTES")
        c0=$(cpu "${PIDN[$n]}")
        s1=$(mesure setups "$p" $CIBLE 1 "$SECONDS_SETUP" 1000000)
        c1=$(cpu "${PIDN[$n]}")
        s50=$(mesure setups "$p" $CIBLE 50 "$SECONDS_SETUP" 1000000)
        c2=$(cpu "${PIDN[$n]}")
        # The proxy's own processor time per setup tells a busy proxy from a slow round trip.
        us1=$(par_setup $((c1 - c0)) "$s1") us50=$(par_setup $((c2 - c1)) "$s50")
        [ -n "${PIDN[$n]}" ] || us1=- us50=-
        printf '  round %d %-10s up %6s MiB/s  down %6s MiB/s  setups/s 1 client %6s  50 clients %6s (us CPU each %s / %s)\n' \
            "$r" "$n" "$h" "$b" "$s1" "$s50" "$us1" "$us50"
        R[$n,haut]=$(max "${R[$n,haut]:-0}" "$h") R[$n,bas]=$(max "${R[$n,bas]:-0}" "$b")
        R[$n,s1]=$(max "${R[$n,s1]:-0}" "$s1") R[$n,s50]=$(max "${R[$n,s50]:-0}" "$s50")
        # CPU per setup: the round's figures, the median of the rounds in the summary.
        R[$n,us1]="${R[$n,us1]:-} $us1" R[$n,us50]="${R[$n,us50]:-} $us50"
    done
done
for n in "${noms[@]}"; do
    printf '%-10s up %6s MiB/s  down %6s MiB/s  setups/s 1 client %6s  50 clients %6s  us CPU per setup %s / %s\n' \
        "$n" "${R[$n,haut]}" "${R[$n,bas]}" "${R[$n,s1]}" "${R[$n,s50]}" "$(mediane "${R[$n,us1]:-}")" "$(mediane "${R[$n,us50]:-}")"
done
# Let the TIME_WAIT of the setups drain a little before thousands of tunnels.
sleep 2
for i in 1 2 3; do
    n=${noms[$i]} p=${ports[$i]}
    case $n in quorvel) pid=$QPID;; tinyproxy) pid=$TPID;; squid) pid=$SPID;; esac
    read -r R[$n,idle] R[$n,kib] R[$n,fd] < <(mesure idle "$p" $CIBLE "$IDLE" "$pid")
    printf '%-10s idle tunnels alive %6s of %s, %6s KiB resident and %5s descriptors per tunnel\n' \
        "$n" "${R[$n,idle]}" "$IDLE" "${R[$n,kib]}" "${R[$n,fd]:-?}"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }
echo
echo "ratios"
for sens in haut bas; do
    [ $sens = haut ] && mot=up || mot=down
    printf '  %-4s quorvel/direct %s  squid/direct %s  tinyproxy/direct %s  quorvel/squid %s\n' "$mot" \
        "$(ratio "${R[quorvel,$sens]}" "${R[direct,$sens]}")" "$(ratio "${R[squid,$sens]}" "${R[direct,$sens]}")" \
        "$(ratio "${R[tinyproxy,$sens]}" "${R[direct,$sens]}")" "$(ratio "${R[quorvel,$sens]}" "${R[squid,$sens]}")"
done
for s in s1 s50; do
    [ $s = s1 ] && mot="1 client" || mot="50 clients"
    printf '  setups %-10s quorvel/tinyproxy %s  quorvel/squid %s  us CPU per setup quorvel %s tinyproxy %s\n' "$mot" \
        "$(ratio "${R[quorvel,$s]}" "${R[tinyproxy,$s]}")" "$(ratio "${R[quorvel,$s]}" "${R[squid,$s]}")" \
        "$(mediane "${R[quorvel,us${s#s}]:-}")" "$(mediane "${R[tinyproxy,us${s#s}]:-}")"
done
for sens in haut bas; do
    [ $sens = haut ] && mot=up || mot=down
    printf '  %-4s floor/direct %s  floor_splice/direct %s  quorvel/floor %s\n' "$mot" \
        "$(ratio "${R[floor,$sens]}" "${R[direct,$sens]}")" "$(ratio "${R[floor_splic,$sens]}" "${R[direct,$sens]}")" \
        "$(ratio "${R[quorvel,$sens]}" "${R[floor,$sens]}")"
done
for s in s1 s50; do
    [ $s = s1 ] && mot="1 client" || mot="50 clients"
    printf '  setups %-10s floor/tinyproxy %s  quorvel/floor %s  us CPU per setup floor %s\n' "$mot" \
        "$(ratio "${R[floor,$s]}" "${R[tinyproxy,$s]}")" "$(ratio "${R[quorvel,$s]}" "${R[floor,$s]}")" \
        "$(mediane "${R[floor,us${s#s}]:-}")"
done
for k in haut bas s1 s50; do
    case $k in haut) mot="bulk up";; bas) mot="bulk down";; s1) mot="setups 1 client";; s50) mot="setups 50 clients";; esac
    printf '  access log on/off %-17s %s\n' "$mot" "$(ratio "${R[quorvel_log,$k]}" "${R[quorvel,$k]}")"
done
echo "access log lines written: $(wc -l < "$dir/qa/acces.log" 2>/dev/null || echo 0)"
echo "goals: access log on >= 0.95 of off for bulk and setups; bulk >= 0.90 of direct each way; setups >= 1.6 x tinyproxy from 1 client, 1.3 x from 50; CPU per setup <= 150 / 120 us; $IDLE idle tunnels, <= 16 KiB each"
