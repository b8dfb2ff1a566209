#!/bin/bash
# tests/e2e/fault_memlimit_e2e.sh BUILD_DIR: quorvel short of memory.
# Once started, the proxy's address space is capped (prlimit) at its idle size
# plus 16 MiB; then 200 tunnel clients come at once, and mixed load follows.
# Thread stacks, heap strings and request records then fail to allocate: every
# such failure must cost one connection (an error page or a close), never the
# process, and a failed datagram buffer only pauses the DNS relay. Once the
# clients leave, both services serve again.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_memlimit "${1:?usage: fault_memlimit_e2e.sh BUILD_DIR}" || exit 1
if [[ $(ldd "$QV_BUILD/quorvel") == *lib[at]san* ]]; then
    echo "SKIPPED: a sanitizer build reserves its shadow memory; it cannot run with an address-space limit"
    exit 77
fi
command -v prlimit > /dev/null || { echo "SKIPPED: fault_memlimit needs prlimit (util-linux)"; exit 77; }
qv_start_upstream || exit 1
qv_start_proxy || exit 1
qv_served || { echo "FAILED: not served at the start: $QV_SERVED_WHAT"; exit 1; }
sleep 1
read -r _ idle_fds idle_thr <<< "$(qv_sample)"
vm=$(awk '/^VmSize:/ {print $2}' "/proc/$QPID/status")
cap=$(((vm + 16384) * 1024))
prlimit --pid "$QPID" --as="$cap:$cap" || { echo "FAILED: prlimit"; exit 1; }
out_before=$(qv_lines "$QV_OUT")
err_before=$(qv_lines "$QV_ERRLOG")

hold=$(qv_client hold --proxy $QV_PROXY:8080 --src $QV_ALLOWED --target $QV_TARGET:7000 \
    --clients 200 --wait 6 --hold 8)
load=$(qv_client load --proxy $QV_PROXY:8080 --target $QV_TARGET:7000 \
    --closed-target $QV_TARGET:7009 --dns $QV_PROXY --allowed $QV_ALLOWED --refused $QV_REFUSED \
    --seconds 10)

st=0
qv_alive || st=1
served=1
for _ in $(seq 20); do
    if qv_tunnel_served $QV_ALLOWED; then served=0; break; fi
    sleep 1
done
[ $served -eq 0 ] || st=1
qv_wait_idle "$idle_fds" "$idle_thr" 40 || st=1
read -r _ fds thr <<< "$(qv_sample)"
threads_failed=$(tail -n +$((err_before + 1)) "$QV_ERRLOG" | grep -c "Unable to start a thread")
qv_report "address space capped at idle + 16 MiB, 200 clients at once, then mixed load" $st \
    "clients saw $hold; the load saw $(qv_field "$load" tunnels_ok) tunnels streamed, $(qv_field "$load" dns_answered) queries answered, $(qv_field "$load" unexpected) unexpected answers; $threads_failed thread starts failed; $(($(qv_lines "$QV_OUT") - out_before)) console lines; a tunnel after: $QV_TUNNEL_CODE; descriptors $fds (idle $idle_fds), threads $thr (idle $idle_thr)"
# The relay's datagram buffer may fail to allocate during the shortage: the
# relay must wait and serve again, never end its thread.
dns_st=1
for _ in $(seq 20); do
    if qv_dns_served $QV_ALLOWED; then dns_st=0; break; fi
    sleep 1
done
if grep -q "DNS server exits" "$QV_OUT"; then dns_st=1; fi
shortages=$(tail -n +$((err_before + 1)) "$QV_ERRLOG" | grep -c "DNS relay: no memory for the 100000-byte datagram buffer")
recoveries=$(tail -n +$((err_before + 1)) "$QV_ERRLOG" | grep -c "DNS relay: datagram buffer obtained again")
qv_report "DNS relay after the memory shortage" $dns_st \
    "answer $QV_DNS_ADDR; $shortages shortage reports, $recoveries recoveries in the error log; exit line: $(grep -c "DNS server exits" "$QV_OUT")"
qv_finish
