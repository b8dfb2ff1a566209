#!/bin/bash
# tests/e2e/reload_names_e2e.sh BUILD_DIR: allowed-host names under a
# resolver that never answers, in namespaces of its own (tools/qv_netns.sh):
# the proxy namespace's resolv.conf names a mute server that drops every query.
#   1. Three such names: the start completes and the DNS relay answers within
#      seconds; each name is dropped with its line, once per service.
#   2. SIGHUP starts a reload that waits on the names; SIGUSR2 and SIGUSR1
#      sent meanwhile are served at once.
#   3. SIGHUPs during that reload make exactly one more reload.
#   4. SIGTERM during a reload that waits on the names ends quorvel within
#      2 s, with exit code 0 and "Quorvel stops".
set -uo pipefail
source "$(dirname "$0")/tools/qv_netns.sh"
qv_setup reload_names "${1:?usage: reload_names_e2e.sh BUILD_DIR}" || exit 1
qv_start_upstream || exit 1
qv_mute_resolver || exit 1
NOMS="mort1.names.test mort2.names.test mort3.names.test"
QV_MAIN_EXTRA="AllowedHost5=mort1.names.test
AllowedHost7=mort2.names.test
AllowedHost9=mort3.names.test"

ms() { echo $(($(date +%s%N) / 1000000)); }
compte() { grep -cF -- "$1" "$QV_LOG"; }
# attend_compte TEXT N: 0 once TEXT is in the log N times or more (60 s at most).
attend_compte() {
    local i
    for i in $(seq 600); do
        [ "$(compte "$1")" -ge "$2" ] && return 0
        qv_alive || return 1
        sleep 0.1
    done
    return 1
}
# attend_requetes N: 0 once the mute server got more than N queries (30 s at
# most): a resolution is then under way.
attend_requetes() {
    local i
    for i in $(seq 300); do
        [ "$(qv_lines "$QV_MUTE_LOG")" -gt "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# 1. The start, up to the relay's first answer.
st=0
debut=$(ms)
qv_start_proxy || exit 1
reponse=""
for _ in $(seq 60); do
    reponse=$(ip netns exec "$NS_C" dig +short +tries=1 +time=1 -b $QV_ALLOWED @$QV_PROXY start.soak.test 2>&1)
    [[ $reponse == 10.9.9.[12] ]] && break
done
duree_depart=$(($(ms) - debut))
[[ $reponse == 10.9.9.[12] ]] || st=1
[ "$duree_depart" -le 15000 ] || st=1
for n in $NOMS; do
    grep -q "query $n" "$QV_MUTE_LOG" || { echo "the resolver was never asked for $n"; st=1; }
    lignes=$(compte "AllowedHost pattern '$n' dropped: name does not resolve")
    [ "$lignes" = 2 ] || { echo "$n: $lignes dropped lines, not 2 (one per service)"; st=1; }
done
qv_tunnel_served $QV_ALLOWED || st=1
qv_report "start with three names that never resolve" $st \
    "relay answered ${reponse:-nothing} ${duree_depart} ms after the start; tunnel: $QV_TUNNEL_CODE"

# 2. A reload that waits on the names; SIGUSR2, then SIGUSR1, meanwhile.
st=0
recharges=$(compte "Configuration reloaded")
stats=$(compte "SSL statistics:")
rouverts=$(compte "Logs reopened")
requetes=$(qv_lines "$QV_MUTE_LOG")
debut_recharge=$(ms)
kill -HUP "$QPID"
attend_requetes "$requetes" || { echo "the reload never asked for the names"; st=1; }
t=$(ms)
kill -USR2 "$QPID"
attend_compte "SSL statistics:" $((stats + 1)) || st=1
duree_stats=$(($(ms) - t))
[ "$(compte "Configuration reloaded")" = "$recharges" ] || { echo "the reload ended before the statistics"; st=1; }
t=$(ms)
kill -USR1 "$QPID"
attend_compte "Logs reopened" $((rouverts + 1)) || st=1
duree_usr1=$(($(ms) - t))
[ "$(compte "Configuration reloaded")" = "$recharges" ] || { echo "the reload ended before the reopening"; st=1; }
qv_report "SIGUSR2 and SIGUSR1 during a reload waiting on names" $st \
    "statistics lines after ${duree_stats} ms, logs reopened after ${duree_usr1} ms"

# 3. Three more SIGHUPs during that same reload: one more reload in all.
st=0
kill -HUP "$QPID"
kill -HUP "$QPID"
kill -HUP "$QPID"
attend_compte "Configuration reloaded" $((recharges + 1)) || st=1
duree_recharge=$(($(ms) - debut_recharge))
attend_compte "Configuration reloaded" $((recharges + 2)) || st=1
# A third reload would start at once and wait on the names again: 7 s
# without one (more than a reload's 5-second bound) show there is none.
for _ in $(seq 70); do
    [ "$(compte "Configuration reloaded")" -gt $((recharges + 2)) ] && break
    sleep 0.1
done
fait=$(($(compte "Configuration reloaded") - recharges))
[ "$fait" = 2 ] || st=1
[ "$duree_recharge" -le 10000 ] || st=1
qv_served $QV_ALLOWED || st=1
qv_report "three SIGHUPs during a reload" $st \
    "$fait reloads in all (2 wanted); the first took ${duree_recharge} ms; then $QV_SERVED_WHAT"

# 4. SIGTERM while a reload waits on the names.
st=0
requetes=$(qv_lines "$QV_MUTE_LOG")
kill -HUP "$QPID"
attend_requetes "$requetes" || { echo "the reload never asked for the names"; st=1; }
t=$(ms)
kill -TERM "$QPID"
for _ in $(seq 3000); do   # 30 s at most
    qv_alive || break
    sleep 0.01
done
duree_arret=$(($(ms) - t))
code="still running"
if ! qv_alive; then
    wait "$QPID"
    code=$?
    QPID=""
fi
[ "$code" = 0 ] || st=1
[ "$duree_arret" -le 2000 ] || st=1
[ "$(tail -n 1 "$QV_LOG" | cut -d' ' -f3-)" = "Quorvel stops" ] || { echo "last line: $(tail -n 1 "$QV_LOG")"; st=1; }
grep -q "DNS statistics:.*" <(tail -n 3 "$QV_LOG") || st=1
qv_report "SIGTERM during a reload waiting on names" $st "ended after ${duree_arret} ms with code $code"

qv_finish
