#!/bin/bash
# tests/e2e/fault_upstream_e2e.sh BUILD_DIR: the DNS relay when an upstream
# server fails.
# - NS1 stops answering (SIGSTOP: a server that hangs): the relay keeps
#   serving through NS2. A query sent to NS1 is lost, so a client that retries
#   gets its answer; no allowed client is refused.
# - NS1 is gone (its port answers with ICMP port unreachable): the same, and
#   the errors that come back do not stop the relay's socket.
# - Both are gone, then come back: nothing is answered meanwhile, and the
#   relay serves again as soon as they are back, without a restart.
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup fault_upstream "${1:?usage: fault_upstream_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
qv_start_proxy || exit 1

# A try waits 1 s: an answer that is slow on a loaded machine is not lost,
# and a query sent to a dead upstream still costs little.
ask() {   # ask COUNT TRIES: the JSON of `qv_client.py dns` from the allowed client
    qv_client dns --server $QV_PROXY --src $QV_ALLOWED --count "$1" --tries "$2" --timeout 1
}
answers_via() {   # answers_via JSON...: answers per upstream (by the address it gives), summed
    "$QV_PY" -c '
import collections, json, sys
c = collections.Counter()
for j in sys.argv[1:]:
    c.update(json.loads(j)["answers"])
print(" ".join("%s:%d" % kv for kv in sorted(c.items())) or "none")' "$@"
}
refusals() { grep -c "refused (DNS)" "$QV_LOG"; }

r=$(ask 40 1)
via=$(answers_via "$r")
ok=0
[ "$(qv_field "$r" answered)" -ge 36 ] || ok=1
[[ $via == *10.9.9.1* && $via == *10.9.9.2* ]] || ok=1
qv_report "both upstreams answering" $ok \
    "$(qv_field "$r" answered)/40 answered at the first try, answers by upstream: $via"

check_one_down() {   # check_one_down LABEL: NS1 out of service, NS2 serving
    local r1 r2 via first all before st=0
    before=$(refusals)
    r1=$(ask 30 1)
    r2=$(ask 16 12)
    first=$(qv_field "$r1" answered)
    all=$(qv_field "$r2" answered)
    via=$(answers_via "$r1" "$r2")
    # Each query goes to one upstream: about half reach NS2 at the first try.
    [ "$first" -ge 7 ] || st=1
    [ "$all" -eq 16 ] || st=1
    [[ $via != *10.9.9.1* ]] || st=1
    [ "$(refusals)" -eq "$before" ] || st=1
    qv_alive || st=1
    qv_report "$1" $st "$first/30 answered at the first try, $all/16 within 12 tries, answers by upstream: $via; $(($(refusals) - before)) refused"
}

kill -STOP "$QV_NS1_PID"
check_one_down "upstream NS1 stops answering (hangs)"
kill -CONT "$QV_NS1_PID"

qv_stop "$QV_NS1_PID"
check_one_down "upstream NS1 gone (port unreachable)"

qv_stop "$QV_NS2_PID"
r=$(ask 10 1)
none=$(qv_field "$r" answered)
qv_dnsmasq $QV_NS1 10.9.9.1 ns1b
qv_dnsmasq $QV_NS2 10.9.9.2 ns2b
# Both answer again, asked directly, before the relay is judged.
for _ in $(seq 120); do
    [ "$(ip netns exec "$NS_Q" dig +short +tries=1 +time=1 @$QV_NS1 a.soak.test)" = 10.9.9.1 ] &&
        [ "$(ip netns exec "$NS_Q" dig +short +tries=1 +time=1 @$QV_NS2 a.soak.test)" = 10.9.9.2 ] && break
    sleep 0.5
done
r=$(ask 20 4)
back=$(qv_field "$r" answered)
st=0
[ "$none" -eq 0 ] && [ "$back" -eq 20 ] && qv_alive || st=1
qv_report "both upstreams gone, then back" $st \
    "$none/10 answered while both were gone; $back/20 answered once they were back"

qv_served || QV_FAILED=1
echo "fault: served afterwards: $QV_SERVED_WHAT"
qv_finish
