#!/bin/bash
# tests/e2e/fault_halfclose_e2e.sh BUILD_DIR: tunnels that nobody ends.
# 1. Default settings: 200 clients open a tunnel to a target that never sends
#    nor closes, then close at once. The proxy must let each tunnel go once
#    the other direction has been silent for 60 s: its threads and
#    descriptors come back to idle then, and not long before.
# 2. SSLIdleTimeout=3: 50 tunnels held open with no byte either way are
#    closed by the proxy after about 3 s, while a tunnel that echoes a byte
#    every second carries on.
# Each time the proxy serves an allowed client afterwards.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_halfclose "${1:?usage: fault_halfclose_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
OUTIL=$QV_TOOLS/qv_silence.py
SILENCE=7010

qv_bg "$NS_U" "$QV_DIR/silence.out" "$QV_PY" "$OUTIL" target --addr $QV_TARGET --port $SILENCE --lifetime 400
for _ in $(seq 300); do
    [ -n "$(ip netns exec "$NS_U" ss -ltnH "sport = :$SILENCE")" ] && break
    sleep 0.1
done

ouvre() {   # ouvre ARGS...: the tunnel client, in the client namespace; prints its JSON
    rm -f "$QV_DIR/ouvre.ready"
    ip netns exec "$NS_C" "$QV_PY" "$OUTIL" open --proxy $QV_PROXY:8080 --src $QV_ALLOWED \
        --ready "$QV_DIR/ouvre.ready" "$@"
}

stop_proxy() {
    kill -TERM "$QPID" 2> /dev/null
    for _ in $(seq 300); do qv_alive || break; sleep 0.1; done
    wait "$QPID" 2> /dev/null
    QPID=""
}

# ---- 1. Half-closed tunnels, default settings
qv_start_proxy || exit 1
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
qv_wait_idle 1000000 1000000 1
read -r _ idle_fds idle_thr <<< "$(qv_sample)"
# Worker threads of the requests above linger a few seconds before they end.
qv_wait_idle "$idle_fds" 4 60
read -r _ idle_fds idle_thr <<< "$(qv_sample)"

r=$(ouvre --target $QV_TARGET:$SILENCE --count 200 --close)
ferme=$(date +%s)
opened=$(qv_field "$r" opened)
read -r _ fds thr <<< "$(qv_sample)"
echo "half-close: $opened tunnels opened and closed by their clients; proxy now $fds descriptors, $thr threads (idle $idle_fds, $idle_thr)"
[ "$opened" -eq 200 ] || qv_report "half-closed tunnels opened" 1 "$r"
qv_wait_idle "$idle_fds" "$idle_thr" 150
rc=$?
apres=$(( $(date +%s) - ferme ))
read -r _ fds thr <<< "$(qv_sample)"
# The bound is 60 s of silence: ended well before it would mean the rule
# cut live tunnels; a loaded machine only makes it later, and 150 s is wide.
[ "$rc" -eq 0 ] && [ "$apres" -ge 50 ]
qv_report "tunnels whose client left end after 60 s of silence" $? \
    "back to $fds descriptors and $thr threads $apres s after the clients closed"
qv_served
qv_report "served after the half-closed tunnels" $? "$QV_SERVED_WHAT"
stop_proxy

# ---- 2. SSLIdleTimeout
QV_SSL_EXTRA="SSLIdleTimeout=3" qv_start_proxy || exit 1
r=$(ouvre --target $QV_TARGET:$SILENCE --count 50 --hold 25 --echo-target $QV_TARGET:7000 --echo-every 1)
echo "idle limit: $r"
ended=$(qv_field "$r" ended)
first=$(qv_field "$r" first_end_s)
last=$(qv_field "$r" last_end_s)
echo_alive=$(qv_field "$r" echo_alive)
awk -v n="$ended" -v f="$first" -v l="$last" 'BEGIN { exit !(n == 50 && f >= 2.5 && l <= 20) }'
qv_report "SSLIdleTimeout=3 closes silent tunnels" $? "$ended of 50 ended, from $first s to $last s"
[ "$echo_alive" = True ]
qv_report "a tunnel that carries bytes outlives the idle limit" $? "echo alive for 25 s: $echo_alive"
qv_served
qv_report "served after the idle limit" $? "$QV_SERVED_WHAT"
qv_finish
