#!/bin/bash
# tests/e2e/fault_stall_e2e.sh BUILD_DIR: tunnels whose ends stop reading.
# 300 tunnels move 4 MiB each way fast, then both ends stop reading while
# they go on writing, so every relay direction faces a destination that takes
# nothing. The proxy's resident memory may grow by at most 64 MiB over its
# idle size, from the first tunnel to the end of the stall; then both ends
# read again and every byte of every tunnel must arrive (counts and CRC-32 of
# both ends compared), and the proxy must serve an allowed client. Where a
# memory cgroup can be made, 1,000 such tunnels run with the proxy under a
# 300 MiB memory limit (the cgroup is made here and removed after).
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_stall "${1:?usage: fault_stall_e2e.sh BUILD_DIR}" || exit 1
ulimit -n 8192 || { echo "SKIPPED: fault_stall needs 8192 descriptors"; exit 77; }
CG=""
stall_cgroup_remove() {
    [ -n "$CG" ] || return 0
    # Whatever is left in it (the proxy, unless it has ended) goes back up.
    local p
    for p in $(cat "$CG/cgroup.procs" 2> /dev/null); do echo "$p" > "$CG_PARENT/cgroup.procs"; done 2> /dev/null
    rmdir "$CG" 2> /dev/null || echo "WARNING: could not remove the cgroup $CG"
    CG=""
}
trap 'stall_cgroup_remove; qv_cleanup' EXIT

STALL=$QV_TOOLS/qv_stall.py
MIB=1048576
qv_start_upstream || exit 1
qv_start_proxy 8192 || exit 1
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$QPID/status" 2> /dev/null || echo 0; }

# stall_round NAME TUNNELS FAST FILL RCVBUF PORT: one round of tunnels; sets
# R_MAX (largest RSS seen, KiB), R_START (RSS before), R_STALL (RSS at the
# end of the stall), R_CHECK (the comparison of both ends) and R_OK.
stall_round() {
    local name=$1 n=$2 fast=$3 fill=$4 rcvbuf=$5 port=$6 ctl=$QV_DIR/$1 i
    mkdir -p "$ctl"
    R_OK=1 R_CHECK="" R_START=$(rss) R_MAX=$(rss) R_STALL=0
    qv_bg "$NS_U" "$ctl/target.out" "$QV_PY" "$STALL" target --addr $QV_TARGET --port "$port" \
        --tunnels "$n" --fast "$fast" --fill "$fill" --rcvbuf "$rcvbuf" --ctl "$ctl" --timeout 200
    local tpid=$QV_LASTPID
    for i in $(seq 100); do [ -e "$ctl/target.ready" ] && break; sleep 0.1; done
    qv_bg "$NS_C" "$ctl/client.out" "$QV_PY" "$STALL" client --proxy $QV_PROXY:8080 --src $QV_ALLOWED \
        --target $QV_TARGET:"$port" --tunnels "$n" --fast "$fast" --fill "$fill" --rcvbuf "$rcvbuf" \
        --ctl "$ctl" --timeout 200
    local cpid=$QV_LASTPID r
    # Fast phase and stall, sampled every 0.1 s until both ends have stalled.
    for i in $(seq 2000); do
        r=$(rss); [ "${r:-0}" -gt "$R_MAX" ] && R_MAX=$r
        [ -e "$ctl/client.stalled" ] && [ -e "$ctl/target.stalled" ] && break
        kill -0 "$cpid" 2> /dev/null && kill -0 "$tpid" 2> /dev/null && qv_alive || break
        sleep 0.1
    done
    # Stalled for 2 s already; a few more seconds of it.
    for i in $(seq 30); do
        r=$(rss); [ "${r:-0}" -gt "$R_MAX" ] && R_MAX=$r
        sleep 0.1
    done
    R_STALL=$(rss)
    touch "$ctl/go"
    for i in $(seq 2000); do
        kill -0 "$cpid" 2> /dev/null || kill -0 "$tpid" 2> /dev/null || break
        sleep 0.1
    done
    qv_stop "$cpid"
    qv_stop "$tpid"
    R_CHECK=$("$QV_PY" - "$ctl" "$n" <<'EOF'
import json, os, sys
ctl, n = sys.argv[1], int(sys.argv[2])
try:
    c = json.load(open(os.path.join(ctl, "client.json")))
    t = json.load(open(os.path.join(ctl, "target.json")))
except (OSError, ValueError) as e:
    print("no result from an end (%s)" % e); sys.exit(1)
bad = []
if c["error"] or t["error"]:
    bad.append("client: %s, target: %s" % (c["error"], t["error"]))
if len(c["tunnels"]) != n or len(t["tunnels"]) != n:
    bad.append("%d tunnels at the client, %d at the target" % (len(c["tunnels"]), len(t["tunnels"])))
up = down = 0
for k, (cs, ccrc, cr, crcrc) in c["tunnels"].items():
    if k not in t["tunnels"]:
        continue
    ts, tcrc, tr, trcrc = t["tunnels"][k]
    if (cs, ccrc) != (tr, trcrc) or (ts, tcrc) != (cr, crcrc):
        bad.append("tunnel %s: client sent %d, target got %d; target sent %d, client got %d" % (k, cs, tr, ts, cr))
    up += cs
    down += ts
if bad:
    print("; ".join(bad[:4]) + (" ..." if len(bad) > 4 else "")); sys.exit(1)
print("%d tunnels intact, %d MiB to the targets and %d MiB back, CRC-32 equal at both ends" % (n, up >> 20, down >> 20))
EOF
    ) && R_OK=0
    qv_alive || { R_OK=1; R_CHECK="$R_CHECK; the proxy has died"; }
}

# 300 tunnels, small windows at the ends (64 KiB receive buffers).
stall_round small 300 $((4 * MIB)) $((2 * MIB)) 65536 7100
grow=$(((R_MAX - R_START) / 1024))
st=$R_OK
limit="limit +64"
if [[ $(ldd "$QV_BUILD/quorvel") == *lib[at]san* ]]; then
    # A sanitizer's shadow memory and quarantine count in the RSS.
    limit="not judged in a sanitizer build"
elif [ "$grow" -gt 64 ]; then
    st=1
fi
qv_tunnel_served $QV_ALLOWED || st=1
qv_report "300 tunnels stalled after 4 MiB each way" $st \
    "RSS $((R_START / 1024)) MiB before, at most $((R_MAX / 1024)) MiB (+$grow MiB, $limit), $((R_STALL / 1024)) MiB at the end of the stall; $R_CHECK; a tunnel after: $QV_TUNNEL_CODE"

# 1,000 tunnels with the proxy in a memory cgroup of 300 MiB.
CG_KIND=""
v2=$(awk '$3 == "cgroup2" {print $2; exit}' /proc/mounts)
if [ -n "$v2" ] && grep -qw memory "$v2/cgroup.controllers" 2> /dev/null &&
    grep -qw memory "$v2/cgroup.subtree_control" 2> /dev/null &&
    mkdir "$v2/qv-stall-$$" 2> /dev/null; then
    CG=$v2/qv-stall-$$ CG_PARENT=$v2 CG_KIND="cgroup v2 memory.max"
    echo 300M > "$CG/memory.max" || { echo "FAILED: memory.max"; exit 1; }
else
    echo "SKIPPED: 1,000 tunnels under a 300 MiB limit: no cgroup v2 with the memory controller at ${v2:-(not mounted)}"
    v1=$(awk '$3 == "cgroup" && $4 ~ /(^|,)memory(,|$)/ {print $2; exit}' /proc/mounts)
    if [ -n "$v1" ] && mkdir "$v1/qv-stall-$$" 2> /dev/null; then
        # The v1 controller: the same limit on the proxy's own memory (its
        # socket buffers are not charged there).
        CG=$v1/qv-stall-$$ CG_PARENT=$v1 CG_KIND="cgroup v1 memory.limit_in_bytes (socket buffers not charged)"
        echo $((300 * MIB)) > "$CG/memory.limit_in_bytes" || { echo "FAILED: memory.limit_in_bytes"; exit 1; }
        echo "instead: the same with the cgroup v1 memory controller at $v1"
    fi
fi
if [ -n "$CG" ]; then
    echo "$QPID" > "$CG/cgroup.procs" || { echo "FAILED: the proxy could not join $CG"; exit 1; }
    stall_round cgroup 1000 $MIB $((512 * 1024)) 65536 7101
    st=$R_OK
    qv_alive || st=1
    qv_tunnel_served $QV_ALLOWED || st=1
    qv_dns_served $QV_ALLOWED || st=1
    qv_report "1,000 stalled tunnels under a 300 MiB limit ($CG_KIND)" $st \
        "RSS at most $((R_MAX / 1024)) MiB; $R_CHECK; a tunnel after: $QV_TUNNEL_CODE, a query after: $QV_DNS_ADDR"
    stall_cgroup_remove
fi
qv_finish
