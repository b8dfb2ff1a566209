#!/bin/bash
# tests/e2e/fault_reset_e2e.sh BUILD_DIR: connections reset (RST) by one side.
# - A target resets the connection mid-stream, while the client reads and
#   while it uploads: the tunnel ends promptly, the proxy serves on.
# - A client resets its tunnel while the target streams to it: the relay ends
#   and the upstream connection is closed (descriptors back to idle).
# - A client resets the connection while its error page (403, 405, 400, 503)
#   is being sent: the failed send neither kills the process (no SIGPIPE) nor
#   leaves a socket or a thread behind.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_reset "${1:?usage: fault_reset_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
qv_start_proxy || exit 1
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
sleep 1
read -r _ idle_fds idle_thr <<< "$(qv_sample)"

back_to_idle() {   # "fds F threads T" and status 0 once back to the idle counts
    local st=0
    qv_wait_idle "$idle_fds" "$idle_thr" 40 || st=1
    read -r _ f t <<< "$(qv_sample)"
    echo "descriptors $f (idle $idle_fds), threads $t (idle $idle_thr)"
    return $st
}

r=$(qv_client reset --proxy $QV_PROXY:8080 --src $QV_ALLOWED --reset-target $QV_TARGET:7001 \
    --stream-target $QV_TARGET:7002 --count 20)
rc=$?
idle=$(back_to_idle)
st=$?
[ $rc -eq 0 ] && qv_alive && qv_served || st=1
qv_report "target resets mid-stream" $st \
    "$(qv_field "$r" ended_after_target_reset)/20 tunnels ended after the target's reset (slowest $(qv_field "$r" worst_end_seconds) s, 10 of them while uploading); $(qv_field "$r" client_reset_mid_stream)/20 clients reset mid-stream; then $idle; served: $QV_SERVED_WHAT"
[ $rc -eq 0 ] || echo "  $r"

traces_before=$(qv_lines "$QV_OUT")
r=$(qv_client rstpage --proxy $QV_PROXY:8080 --allowed $QV_ALLOWED --refused $QV_REFUSED \
    --closed-target $QV_TARGET:7009 --count 400)
rc=$?
idle=$(back_to_idle)
st=$?
[ $rc -eq 0 ] && qv_alive && qv_served || st=1
qv_report "clients reset while their error page is sent" $st \
    "$(qv_field "$r" reset_refused) refused (403), $(qv_field "$r" reset_get) GET (405), $(qv_field "$r" reset_bad) bad request (400), $(qv_field "$r" reset_closed) closed port (503) clients reset; $(($(qv_lines "$QV_OUT") - traces_before)) lines on the console meanwhile; then $idle; served: $QV_SERVED_WHAT"
[ $rc -eq 0 ] || echo "  $r"
qv_finish
