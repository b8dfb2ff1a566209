#!/bin/bash
# tests/e2e/fault_files_e2e.sh BUILD_DIR: files that are not files, and
# reloads that would cut the network off, through the real quorvel.
#   1. As the block list, then as the configuration, on SIGHUP: a FIFO with
#      no writer, /dev/zero (the list only: the configuration's name is
#      fixed), a symlink to /dev/zero, a 300 MB sparse file, a folder. Each
#      time the failed-reload line with its reason comes at once and costs
#      little CPU, and the proxy goes on: a tunnel from an allowed client,
#      the block list in force, the metrics endpoint.
#   2. An empty configuration, 10 MB and 512 KiB from /dev/urandom, reloaded:
#      refused; the allowed client's tunnels, blocking and the access log go on.
# Runs on the loopback of a network namespace of its own: as root, or as
# any user where unprivileged user namespaces are allowed (exit 77 when
# neither). The allowed client is 127.0.0.2 (127.0.0.1 is always allowed).
set -uo pipefail
if [ -z "${QV_FICHIERS_NS:-}" ]; then
    export QV_FICHIERS_NS=1
    options=-n
    [ "$(id -u)" -eq 0 ] || options=-rn
    command -v unshare > /dev/null || { echo "SKIPPED: unshare is missing"; exit 77; }
    unshare $options true 2> /dev/null ||
        { echo "SKIPPED: no network namespace of its own (needs root or user namespaces)"; exit 77; }
    exec unshare $options bash "$0" "$@"
fi
build=$(cd "${1:?usage: fault_files_e2e.sh BUILD_DIR}" && pwd)
. "$(dirname "$0")/ssl/lib.sh"
for t in ip curl "$PY"; do
    command -v "$t" > /dev/null || { echo "SKIPPED: $t is missing"; exit 77; }
done
ip link set lo up || { echo "SKIPPED: loopback cannot be brought up"; exit 77; }
trap ssl_nettoie EXIT
SCRATCH=$(mktemp -d)
d=$SCRATCH/proxy
ssl_copie "$build" "$d"
conf=$d/quorvel.conf
liste=$d/liste.txt
ecrit_conf() {  # ecrit_conf ADHOSTSFILE
    cat > "$conf" <<FIN
[Main]
AllowedHost0=127.0.0.2
AccessLog=acces.log
StatsPort=9100
[SSL]
SSLEnabled=yes
SSLPort=8080
SSLBlockAds=yes
[HTTP_FTP]
AdHostsFile=$1
FIN
}
ecrit_conf liste.txt
printf '# the list\nads.test\n' > "$liste"
cp "$conf" "$SCRATCH/conf.bonne"
cp "$liste" "$SCRATCH/liste.bonne"
# Started here directly: the whole script is in its own namespace.
"$PY" "$OUTIL" serve-echo 127.0.0.1 7000 2> /dev/null &
PIDS+=($!)
"$d/quorvel" console > "$d/out" 2>&1 &
PROXY_PID=$!
PIDS+=("$PROXY_PID")
ssl_attend 30 grep -q "Quorvel starts" "$d/quorvel.log" || { echo "FAILED: quorvel did not start"; cat "$d/out"; exit 1; }
ssl_attend 30 bash -c "[ -n \"\$(ss -Hltn 'sport = :7000')\" ]" || { echo "FAILED: no echo server"; exit 1; }
log=$d/quorvel.log

# sert: 0 when the allowed client's tunnel carries bytes both ways, a listed
# host still gets the "Blocked" page, the access log took the tunnel's line
# and the metrics endpoint answers. QV_SERT says what failed.
sert() {
    local r avant
    avant=$(grep -c '' "$d/acces.log" 2> /dev/null)
    r=$("$PY" "$OUTIL" ask 127.0.0.1:8080 'CONNECT 127.0.0.1:7000 HTTP/1.1\r\n\r\nhello' \
        --source 127.0.0.2 --half-close 2> /dev/null | tr -d '\r')
    [[ $r == *$'200 OK\n\nhello' ]] || { QV_SERT="tunnel from 127.0.0.2: ${r:0:40}"; return 1; }
    "$PY" "$OUTIL" ask 127.0.0.1:8080 'CONNECT ads.test:7000 HTTP/1.1\r\n\r\n' --source 127.0.0.2 \
        --expect-page 8 > /dev/null || { QV_SERT="ads.test not blocked"; return 1; }
    ssl_attend 30 test "$(grep -c '' "$d/acces.log" 2> /dev/null)" -ge $((${avant:-0} + 2)) ||
        { QV_SERT="no access line"; return 1; }
    curl -sf --max-time 30 -o /dev/null http://127.0.0.1:9100/metrics || { QV_SERT="no metrics"; return 1; }
    QV_SERT=served
}
ssl_verifie "served at the start" sert
ssl_verifie "the list loaded at start" grep -qx "1 ad-domains loaded." "$d/out"

# Milliseconds since the epoch; CPU seconds (user + system) of the proxy.
ms() { echo $(($(date +%s%N) / 1000000)); }
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$PROXY_PID/stat"; }

# recharge NAME LINE: SIGHUP, then the failed-reload LINE (fixed text) must
# come within 30 s with the reload's closing line, at little CPU cost; then
# the proxy must serve as before.
recharge() {
    local nom=$1 ligne=$2 avant fin_avant t0 c0 t1 c1 ok=0
    avant=$(grep -cF -- "$ligne" "$log")
    fin_avant=$(grep -cE ' Configuration reload(ed| failed)' "$log")
    t0=$(ms) c0=$(cpu)
    kill -HUP "$PROXY_PID"
    for _ in $(seq 1500); do
        if [ "$(grep -cF -- "$ligne" "$log")" -gt "$avant" ] &&
            [ "$(grep -cE ' Configuration reload(ed| failed)' "$log")" -gt "$fin_avant" ]; then
            ok=1
            break
        fi
        kill -0 "$PROXY_PID" 2> /dev/null || break
        sleep 0.02
    done
    t1=$(ms) c1=$(cpu)
    if [ $ok = 0 ]; then
        ssl_ko "$nom: never logged: $ligne"
        return
    fi
    # A reload that spins or reads without end would take seconds of CPU.
    if awk -v a="$c0" -v b="$c1" 'BEGIN { exit !(b - a < 2) }'; then
        ssl_ok "$nom: the line came in $((t1 - t0)) ms, CPU $(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.2f", b - a }') s"
    else
        ssl_ko "$nom: the reload took $(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }') s of CPU"
    fi
    if sert; then ssl_ok "$nom: still served"; else ssl_ko "$nom: $QV_SERT"; fi
}
remet() {  # the good configuration and list back, taken up by a reload
    rm -rf "$conf" "$liste"
    cp "$SCRATCH/conf.bonne" "$conf"
    cp "$SCRATCH/liste.bonne" "$liste"
}

# place KIND PATH: KIND at PATH (removed first).
place() {
    rm -rf "$2"
    case $1 in
    fifo) mkfifo "$2" ;;
    lien) ln -s /dev/zero "$2" ;;
    grand) truncate -s 300M "$2" ;;
    dossier) mkdir "$2" ;;
    esac
}
declare -A raison=([fifo]="not a regular file" [lien]="not a regular file" [dossier]="Is a directory")

# 1. As the block list.
for k in fifo zero lien grand dossier; do
    remet
    if [ $k = zero ]; then
        ecrit_conf /dev/zero
        nom=/dev/zero r="not a regular file"
    else
        place $k "$liste"
        nom=$liste r=${raison[$k]:-larger than 256 MiB}
    fi
    recharge "list: $k" "Ad-domain list reload failed: $nom: $r; the previous list stays"
done

# 2. As the configuration.
for k in fifo lien grand dossier; do
    remet
    place $k "$conf"
    recharge "configuration: $k" \
        "Configuration reload failed: $conf: ${raison[$k]:-larger than 1 MiB}; the running configuration stays"
done

# 3. Emptied, overwritten with garbage.
remet
: > "$conf"
recharge "configuration: empty" \
    "Configuration reload failed: the file has no section; the running configuration stays"
head -c 10000000 /dev/urandom > "$conf"
recharge "configuration: 10 MB of random bytes" \
    "Configuration reload failed: $conf: larger than 1 MiB; the running configuration stays"
head -c 524288 /dev/urandom > "$conf"
# Its reason depends on the bytes: either of the two.
recharge "configuration: 512 KiB of random bytes" "; the running configuration stays"
ssl_verifie "the 512 KiB file's reason" \
    grep -qE " Configuration reload failed: (the file has no section|[0-9]+ of [0-9]+ lines are not settings); the running configuration stays$" "$log"
ssl_verifie "no reload took the defaults: never 'Configuration reloaded'" \
    test "$(grep -c ' Configuration reloaded$' "$log")" -eq 5

# A good file again is taken, and the proxy stops cleanly.
remet
n=$(grep -c ' Configuration reloaded$' "$log")
kill -HUP "$PROXY_PID"
ssl_attend 30 test "$(grep -c ' Configuration reloaded$' "$log")" -gt "$n"
ssl_verifie "a good file is taken again" test "$(grep -c ' Configuration reloaded$' "$log")" -gt "$n"
ssl_verifie "served after" sert
kill -TERM "$PROXY_PID"
wait "$PROXY_PID"
ssl_verifie "SIGTERM ends it with 0" test $? -eq 0
if grep -qs "ERROR: AddressSanitizer\|ERROR: LeakSanitizer\|runtime error:\|WARNING: ThreadSanitizer" "$d/out"; then
    ssl_ko "sanitizer report in quorvel's output"
fi
echo "$ECHECS failed"
[ "$ECHECS" -eq 0 ]
