#!/bin/bash
# tests/e2e/fault_fdlimit_e2e.sh BUILD_DIR: quorvel started with a limit of
# 64 descriptors, and 200 tunnel clients at once.
# The proxy serves what its descriptors allow; the others wait in the listen
# queue or get an error page. It must survive, must not spin while accept
# fails (CPU time is measured over the overload), must not flood its error
# log (at most 20 lines a second), must keep relaying DNS (which needs no descriptor per query), and must
# serve again once the clients leave.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_fdlimit "${1:?usage: fault_fdlimit_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
qv_start_proxy 64 || exit 1
limit=$(awk '/^Max open files/ {print $4}' "/proc/$QPID/limits")
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
sleep 1
read -r _ idle_fds idle_thr <<< "$(qv_sample)"
errlines_before=$(qv_lines "$QV_ERRLOG")

hold=15
qv_bg "$NS_C" "$QV_DIR/hold.json" "$QV_PY" "$QV_TOOLS/qv_client.py" hold --proxy $QV_PROXY:8080 \
    --src $QV_ALLOWED --target $QV_TARGET:7000 --clients 200 --wait 8 --hold $hold
hold_pid=$QV_LASTPID
sleep 9     # every client connected and has had its answer, or waits in the queue
read -r _ busy_fds busy_thr <<< "$(qv_sample)"
cpu0=$(qv_cpu)
t0=$(date +%s.%N)
dns=$(qv_client dns --server $QV_PROXY --src $QV_ALLOWED2 --count 10 --tries 4 --timeout 2)
sleep 3
cpu1=$(qv_cpu)
t1=$(date +%s.%N)
for _ in $(seq 300); do kill -0 "$hold_pid" 2> /dev/null || break; sleep 0.1; done
qv_stop "$hold_pid"
hold_result=$(cat "$QV_DIR/hold.json")

# The clients have left: the proxy drains its listen queue and serves again.
served=1
for _ in $(seq 30); do
    if qv_served; then served=0; break; fi
    sleep 1
done
idle=0
qv_wait_idle "$idle_fds" "$idle_thr" 40 || idle=1
read -r _ end_fds end_thr <<< "$(qv_sample)"
errlines=$(($(qv_lines "$QV_ERRLOG") - errlines_before))
cpu_pct=$(awk -v a="$cpu0" -v b="$cpu1" -v s="$t0" -v e="$t1" 'BEGIN { printf "%d", 100 * (b - a) / (e - s) }')

st=0
[ "$limit" = 64 ] || st=1
qv_alive || st=1
[ "$(qv_field "$hold_result" status_200)" -ge 10 ] || st=1
[ "$(qv_field "$dns" answered)" -eq 10 ] || st=1
[ "$cpu_pct" -lt 50 ] || st=1
# One line per failure episode is fine (an accepted connection that frees a
# descriptor ends one); a line per failed accept would be thousands a second.
[ "$errlines" -le $((20 * hold)) ] || st=1
[ $served -eq 0 ] && [ $idle -eq 0 ] || st=1
qv_report "descriptor limit 64, 200 clients at once" $st \
    "limit $limit; clients saw $hold_result; while they held: $busy_fds descriptors, $busy_thr threads, CPU ${cpu_pct}%, DNS $(qv_field "$dns" answered)/10 answered; $errlines error-log lines; after they left: served: $QV_SERVED_WHAT, descriptors $end_fds (idle $idle_fds), threads $end_thr (idle $idle_thr)"
if [ $st -ne 0 ]; then
    echo "  error log (last lines):"
    tail -5 "$QV_ERRLOG" 2> /dev/null | sed 's/^/  /'
fi
qv_finish
