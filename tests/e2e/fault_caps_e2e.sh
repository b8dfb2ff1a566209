#!/bin/bash
# tests/e2e/fault_caps_e2e.sh BUILD_DIR: connection limits of the tunnel port,
# quorvel started with a limit of 256 descriptors.
# 1. Default settings: one allowed client holds 300 silent connections and
#    opens a new one whenever the proxy closes one. Another allowed client
#    must get its tunnel within 2 s meanwhile: silent connections give their
#    slots to working ones instead of filling the descriptors.
# 2. SSLMaxPerClient=50: one client holds 50 tunnels; its 51st connection
#    gets the 503 page, byte for byte, and the refusal line is logged; the
#    other client is still served.
# Each time the proxy must stay up and serve afterwards; its descriptors and
# threads before, during and after are reported.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_caps "${1:?usage: fault_caps_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
CAPS=$QV_TOOLS/qv_caps.py

caps() {   # caps SUBCOMMAND ARGS...: the limits client, in the client namespace
    ip netns exec "$NS_C" "$QV_PY" "$CAPS" "$@"
}

stop_proxy() {
    kill -TERM "$QPID" 2> /dev/null
    for _ in $(seq 100); do qv_alive || break; sleep 0.1; done
    wait "$QPID" 2> /dev/null
    QPID=""
}

# ---- 1. 300 silent connections, default limits
qv_start_proxy 256 || exit 1
limit=$(awk '/^Max open files/ {print $4}' "/proc/$QPID/limits")
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
sleep 1
read -r _ idle_fds idle_thr <<< "$(qv_sample)"
errlines_before=$(qv_lines "$QV_ERRLOG")

rm -f "$QV_DIR/silent.ready"
qv_bg "$NS_C" "$QV_DIR/silent.json" "$QV_PY" "$CAPS" silent --proxy $QV_PROXY:8080 \
    --src $QV_ALLOWED --count 300 --seconds 12 --ready "$QV_DIR/silent.ready"
silent_pid=$QV_LASTPID
for _ in $(seq 300); do [ -s "$QV_DIR/silent.ready" ] && break; sleep 0.1; done
opened=$(cat "$QV_DIR/silent.ready" 2> /dev/null || echo 0)
sleep 1     # the proxy has taken what it will of them
read -r _ busy_fds busy_thr <<< "$(qv_sample)"
t=$(caps tunnel --proxy $QV_PROXY:8080 --src $QV_ALLOWED2 --target $QV_TARGET:7000 --timeout 60)
read -r _ busy2_fds busy2_thr <<< "$(qv_sample)"
for _ in $(seq 300); do kill -0 "$silent_pid" 2> /dev/null || break; sleep 0.1; done
qv_stop "$silent_pid"
silent_result=$(cat "$QV_DIR/silent.json")

served=1
for _ in $(seq 30); do
    if qv_served; then served=0; break; fi
    sleep 1
done
idle=0
qv_wait_idle "$idle_fds" "$idle_thr" 40 || idle=1
read -r _ end_fds end_thr <<< "$(qv_sample)"
errlines=$(($(qv_lines "$QV_ERRLOG") - errlines_before))

st=0
[ "$limit" = 256 ] || st=1
[ "$opened" = 300 ] || st=1
[ "$(qv_field "$t" status)" = 200 ] && [ "$(qv_field "$t" echoed)" = True ] || st=1
awk -v s="$(qv_field "$t" seconds)" 'BEGIN { exit !(s < 2.0) }' || st=1
[ "$busy_fds" -lt "$limit" ] || st=1
qv_alive || st=1
[ $served -eq 0 ] && [ $idle -eq 0 ] || st=1
qv_report "descriptor limit 256, 300 silent connections from one client" $st \
    "limit $limit; other client's tunnel: $t; silent client saw $silent_result; proxy idle: $idle_fds descriptors, $idle_thr threads; under attack: $busy_fds/$busy2_fds descriptors, $busy_thr/$busy2_thr threads; after: served: $QV_SERVED_WHAT, descriptors $end_fds, threads $end_thr; $errlines error-log lines"
if [ $st -ne 0 ]; then
    echo "  error log (last lines):"
    tail -5 "$QV_ERRLOG" 2> /dev/null | sed 's/^/  /'
fi
stop_proxy

# ---- 2. SSLMaxPerClient=50
QV_SSL_EXTRA="SSLMaxPerClient=50"
qv_start_proxy 256 || exit 1
qv_served || { echo "FAILED: not served at the start (per-client run): $QV_SERVED_WHAT"; exit 1; }
sleep 1
read -r _ idle_fds idle_thr <<< "$(qv_sample)"
log_before=$(qv_lines "$QV_LOG")
r=$(caps perclient --proxy $QV_PROXY:8080 --src $QV_ALLOWED --target $QV_TARGET:7000 --count 50 --timeout 20 --other-src $QV_ALLOWED2)
expected=$("$QV_PY" - <<'EOF'
body = ("<HTML><HEAD><TITLE>Quorvel Proxy Server : Error</TITLE></HEAD><BODY>"
        "<H1>Too many connections</H1>This gateway serves no more connections at the moment."
        "<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>Quorvel Proxy Server 1.0"
        "<BR>A gateway proxy for the local network: "
        "<A HREF=\"https://quorvel.example/\">Quorvel</A>"
        "</I></FONT></DIV></BODY></HTML>").encode()
head = ("HTTP/1.1 503 Service Unavailable\r\nConnexion: close\r\nContent-Type: text/html\r\n"
        "Content-Length: %d\r\n\r\n" % len(body)).encode()
print((head + body).hex())
EOF
)
refusals=$(tail -n +"$((log_before + 1))" "$QV_LOG" |
    grep -c "Connection from $QV_ALLOWED refused: too many connections (SSL)$")
served=1
qv_served && served=0
idle=0
qv_wait_idle "$idle_fds" "$idle_thr" 40 || idle=1
read -r _ end_fds end_thr <<< "$(qv_sample)"

st=0
[ "$(qv_field "$r" tunnels)" = 50 ] || st=1
[ "$(qv_field "$r" answer_hex)" = "$expected" ] || st=1
awk -v s="$(qv_field "$r" seconds)" 'BEGIN { exit !(s < 5.0) }' || st=1
[ "$refusals" = 1 ] || st=1
[ "$(qv_field "$r" other_client)" = 200 ] && [ $served -eq 0 ] && [ $idle -eq 0 ] || st=1
qv_alive || st=1
answer=$("$QV_PY" -c 'import sys; print(bytes.fromhex(sys.argv[1])[:60])' "$(qv_field "$r" answer_hex)")
qv_report "SSLMaxPerClient=50, a 51st connection from one client" $st \
    "tunnels held: $(qv_field "$r" tunnels); 51st answered in $(qv_field "$r" seconds) s with $answer...; exact page: $([ "$(qv_field "$r" answer_hex)" = "$expected" ] && echo yes || echo no); refusal lines: $refusals; other client meanwhile: $(qv_field "$r" other_client); after: served: $QV_SERVED_WHAT, descriptors $end_fds (idle $idle_fds), threads $end_thr (idle $idle_thr)"
qv_finish
