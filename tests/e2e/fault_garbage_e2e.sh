#!/bin/bash
# tests/e2e/fault_garbage_e2e.sh BUILD_DIR: hostile input on both ports.
# - The tunnel port: a CONNECT request cut at every length, a list of
#   malformed requests (overlong names, 200 header lines, NUL bytes, format
#   directives, a TLS record instead of a request...), random blobs with and
#   without a blank line, from allowed and refused addresses. Each one must be
#   answered or closed, never left hanging, and a truncated request gets 400
#   or a close; a refused client gets 403 whatever it sends.
# - Port 53: random datagrams of 0 to 65,507 bytes from allowed and refused
#   clients, and from an upstream server's address on another port.
# Afterwards the proxy still runs, holds no more descriptors or threads than
# when idle, and serves every allowed client.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_garbage "${1:?usage: fault_garbage_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
qv_start_proxy || exit 1
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
sleep 1
read -r _ idle_fds idle_thr <<< "$(qv_sample)"
out_before=$(qv_lines "$QV_OUT")

r=$(qv_client garbage --proxy $QV_PROXY:8080 --target $QV_TARGET:7000 --dns $QV_PROXY \
    --allowed $QV_ALLOWED --refused $QV_REFUSED --tcp-count 200 --udp-count 2000)
rc=$?
# Random datagrams from NS1's address but not from port 53: not answers.
ip netns exec "$NS_U" "$QV_PY" - "$QV_NS1" 10.77.2.1 <<'EOF'
import os, socket, sys
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.bind((sys.argv[1], 0))
for i in range(200):
    u.sendto(os.urandom(i % 600), (sys.argv[2], 53))
EOF
sleep 1

st=0
qv_alive || st=1
[ $rc -eq 0 ] || st=1
counts=$("$QV_PY" -c 'import json,sys; d=json.loads(sys.argv[1]); print(", ".join("%s %s" % (k, v) for k, v in d.items() if k != "errors"))' "$r")
qv_report "random and truncated requests on the tunnel port" $st "$counts"
[ $rc -eq 0 ] || echo "  $r"

st=0
qv_alive || st=1
refusals=$(grep -c "Query from $QV_REFUSED refused (DNS)" "$QV_LOG")
qv_report "random datagrams on port 53" $st \
    "$(qv_field "$r" datagrams_allowed) from allowed clients, $(qv_field "$r" datagrams_refused) from a refused one ($(qv_field "$r" datagrams_refused_2_bytes_or_more) of 2 bytes or more; $refusals refusal lines logged), 200 from NS1's address on another port; $(($(qv_lines "$QV_OUT") - out_before)) console lines meanwhile"

st=0
qv_wait_idle "$idle_fds" "$idle_thr" 40 || st=1
read -r _ fds thr <<< "$(qv_sample)"
served_a=1 served_b=1
qv_served $QV_ALLOWED && served_a=0
what_a=$QV_SERVED_WHAT
qv_served $QV_ALLOWED2 && served_b=0
dns=$(qv_client dns --server $QV_PROXY --src $QV_ALLOWED --count 20 --tries 3 --timeout 2)
[ $served_a -eq 0 ] && [ $served_b -eq 0 ] && [ "$(qv_field "$dns" answered)" -eq 20 ] && qv_alive || st=1
qv_report "allowed clients after the garbage" $st \
    "$QV_ALLOWED $what_a; $QV_ALLOWED2 $QV_SERVED_WHAT; $(qv_field "$dns" answered)/20 queries answered; descriptors $fds (idle $idle_fds), threads $thr (idle $idle_thr)"
qv_finish
