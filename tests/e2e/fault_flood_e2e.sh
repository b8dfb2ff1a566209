#!/bin/bash
# tests/e2e/fault_flood_e2e.sh BUILD_DIR: floods from a refused address
# must not fill the disk, and allowed clients are served throughout.
# - 5,000 empty datagrams: a bounded number of trace lines on stderr.
# - 20,000 refused datagrams on port 53 and 20,000 refused connections on
#   the tunnel port: the log grows by at most about 110 lines each, while
#   an allowed client is answered at intervals during the flood.
# - About a minute after each flood started, one line gives the count of
#   what was not written.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_flood "${1:?usage: fault_flood_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
qv_start_proxy || exit 1
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
debut=$SECONDS

# qv_pendant PID CMD...: runs CMD every 0.3 s while PID runs; prints
# "tries served" for the whole run (at least one try).
qv_pendant() {
    local pid=$1 n=0 ok=0
    shift
    while :; do
        n=$((n + 1))
        "$@" > /dev/null 2>&1 && ok=$((ok + 1))
        kill -0 "$pid" 2> /dev/null || break
        sleep 0.3
    done
    echo "$n $ok"
}

# 1. Empty datagrams, before any access check.
out0=$(qv_lines "$QV_OUT")
ip netns exec "$NS_C" "$QV_PY" - $QV_REFUSED $QV_PROXY 5000 <<'EOF'
import socket, sys
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.bind((sys.argv[1], 0))
for _ in range(int(sys.argv[3])):
    u.sendto(b"", (sys.argv[2], 53))
EOF
qv_dns_served $QV_ALLOWED   # the relay has read past the empty datagrams
traces=$(($(qv_lines "$QV_OUT") - out0))
st=0
[ "$traces" -le 110 ] && qv_alive || st=1
qv_report "5,000 empty datagrams" $st "$traces lines on stderr"

# 2. Refused datagrams, an allowed client asking meanwhile.
log0=$(qv_lines "$QV_LOG")
ip netns exec "$NS_C" "$QV_PY" - $QV_REFUSED $QV_PROXY 20000 <<'EOF' &
import socket, struct, sys, time
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.bind((sys.argv[1], 0))
q = b"\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x05flood\x04soak\x04test\x00\x00\x01\x00\x01"
for i in range(int(sys.argv[3])):
    u.sendto(struct.pack("!H", i & 0xFFFF) + q[2:], (sys.argv[2], 53))
    # Bursts the relay's receive buffer holds even when the relay waits for
    # a core: past that, the kernel drops datagrams before the relay sees
    # them, the client's and its answers as often as the flood's.
    if i % 100 == 99:
        time.sleep(0.01)
EOF
fpid=$!
QV_PIDS+=("$fpid")
read -r n ok <<< "$(qv_pendant "$fpid" qv_dns_served $QV_ALLOWED)"
wait "$fpid"
qv_dns_served $QV_ALLOWED && ok2=1 || ok2=0
lignes=$(($(qv_lines "$QV_LOG") - log0))
st=0
[ "$lignes" -le 110 ] && [ "$ok" -eq "$n" ] && [ "$ok2" -eq 1 ] && qv_alive || st=1
qv_report "20,000 refused datagrams" $st "$lignes log lines; allowed client answered $ok of $n times during the flood, and after: $ok2"

# 3. Refused connections, an allowed client tunnelling meanwhile.
log0=$(qv_lines "$QV_LOG")
ip netns exec "$NS_C" "$QV_PY" - $QV_REFUSED $QV_PROXY 20000 <<'EOF' &
import socket, struct, sys, threading
src, dst, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
fails = [0]
def worker(k):
    for _ in range(k):
        try:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(10)
            # No TIME_WAIT left behind: 20,000 of them would run out of ports.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.bind((src, 0))
            s.connect((dst, 8080))
            while s.recv(4096):
                pass
            s.close()
        except OSError:
            fails[0] += 1
ts = [threading.Thread(target=worker, args=(n // 8,)) for _ in range(8)]
for t in ts: t.start()
for t in ts: t.join()
print("connection failures:", fails[0], file=sys.stderr)
EOF
fpid=$!
QV_PIDS+=("$fpid")
read -r n ok <<< "$(qv_pendant "$fpid" qv_tunnel_served $QV_ALLOWED)"
wait "$fpid"
qv_tunnel_served $QV_ALLOWED && ok2=1 || ok2=0
lignes=$(($(qv_lines "$QV_LOG") - log0))
refus=$(grep -c "Connection from $QV_REFUSED refused (SSL)" "$QV_LOG")
st=0
# The relay's count line may land in this stretch: one line more.
[ "$lignes" -le 111 ] && [ "$ok" -eq "$n" ] && [ "$ok2" -eq 1 ] && qv_alive || st=1
qv_report "20,000 refused connections" $st "$lignes log lines ($refus refusal lines in all); allowed client tunnelled $ok of $n times during the flood, and after: $ok2"

# 4. The count lines, about a minute after each flood started, though
#    nothing more comes.
attend_ligne() {   # attend_ligne FILE REGEX SECONDS
    local fin=$((SECONDS + $3))
    while [ $SECONDS -lt $fin ]; do
        grep -qE "$2" "$1" && return 0
        sleep 1
    done
    grep -qE "$2" "$1"
}
for quoi in "DNS refusals|$QV_LOG|^[-0-9]+ [:0-9]+ [0-9]+ more refusals not logged \(DNS\)$" \
            "SSL refusals|$QV_LOG|^[-0-9]+ [:0-9]+ [0-9]+ more refusals not logged \(SSL\)$" \
            "DNS traces|$QV_OUT|^[0-9]+ more traces not written \(DNS\)$"; do
    nom=${quoi%%|*} reste=${quoi#*|}
    f=${reste%%|*} re=${reste#*|}
    st=0
    attend_ligne "$f" "$re" 100 || st=1
    qv_report "count line for $nom" $st "\"$(grep -hE "$re" "$f" | head -1)\" at $((SECONDS - debut)) s after the first flood"
done

# Every refusal received is either a line or counted (the socket's buffer
# drops what the relay cannot read in time: those never reach it).
n_dns=$(grep -c "Query from $QV_REFUSED refused (DNS)" "$QV_LOG")
c_dns=$(grep -E "more refusals not logged \(DNS\)$" "$QV_LOG" | awk '{s += $3} END {print s + 0}')
st=0
[ "$n_dns" -le 110 ] && [ "$c_dns" -ge 1 ] && [ $((n_dns + c_dns)) -le 20000 ] || st=1
qv_report "refused datagrams written or counted" $st "$n_dns written + $c_dns counted of 20,000 sent"
qv_served || qv_report "served at the end" 1 "$QV_SERVED_WHAT"
qv_finish
