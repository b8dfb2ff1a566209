#!/bin/bash
# launcher_e2e.sh BUILD_DIR: the real launcher, copied without its modules
# into scratch folders, started with real configuration files and stopped
# by its PID.
set -euo pipefail
build=$(cd "$1" && pwd)
racine=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d /tmp/launcher_e2e.XXXXXX)
pid=""
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true; rm -rf "$tmp"' EXIT

echec() {
    echo "FAIL: $*" >&2
    for f in "$tmp"/*/out "$tmp"/*/err "$tmp"/*/*.log; do
        [ -e "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }
    done
    exit 1
}

# installe NAME [PROGRAM]: a folder holding the launcher (as PROGRAM) and libkvt.so only.
installe() {
    mkdir -p "$tmp/$1"
    cp "$build/quorvel" "$tmp/$1/${2:-quorvel}"
    cp "$build"/libkvt.so "$tmp/$1/"
}

# lance DIR LOG ARGS...: starts DIR's program, waits until LOG says it started.
lance() {
    local d=$1 log=$2 prog
    shift 2
    prog=$(find "$d" -maxdepth 1 -type f -perm -u+x ! -name '*.so' | head -1)
    "$prog" "$@" >"$d/out" 2>"$d/err" &
    pid=$!
    for _ in $(seq 300); do   # 30 s at most, for a loaded machine
        grep -qs "Quorvel starts" "$d/$log" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echec "$prog never logged 'Quorvel starts' in $log"
}

# arrete SIGNAL: stops the running launcher; its exit code must be 0.
arrete() {
    local rc=0
    kill "-$1" "$pid"
    wait "$pid" || rc=$?
    pid=""
    [ "$rc" -eq 0 ] || echec "exit code $rc after SIG$1"
}

attendus="Unable to load quorvel_socks.so (_demarre_serveur_socks).
Unable to load quorvel_ssl.so (_demarre_serveur_ssl).
Unable to load quorvel_dns.so (_demarre_serveur_dns).
Unable to load quorvel_http.so (_demarre_serveur_http)."
horodate='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} '

# 1. Console, the sample configuration: exactly the four lines (no warning
#    about the sample either), both log lines, exit 0 on SIGTERM.
installe console
cp "$racine/quorvel.conf.sample" "$tmp/console/quorvel.conf"
lance "$tmp/console" quorvel.log console
arrete TERM
[ "$(cat "$tmp/console/out")" = "$attendus" ] || echec "console output is not the four lines"
[ ! -s "$tmp/console/err" ] || echec "console mode left text on the original stderr"
grep -qE "${horodate}Quorvel starts$" "$tmp/console/quorvel.log" || echec "no start line"
grep -qE "${horodate}Quorvel stops$" "$tmp/console/quorvel.log" || echec "no stop line"

# 2. No console, SIGINT: the lines still reach a redirected stdout (flushed
#    at exit).
installe plain
printf '[Main]\nLogFile=events.log\nErrFile=errors.log\n' >"$tmp/plain/quorvel.conf"
lance "$tmp/plain" events.log --verbose
arrete INT
[ "$(cat "$tmp/plain/out")" = "$attendus" ] || echec "stdout without console"
grep -q "Quorvel stops" "$tmp/plain/events.log" || echec "no stop line after SIGINT"

# 3. A copy named proxy reads proxy.conf, never quorvel.conf.
installe proxy proxy
printf '[Main]\nLogFile=proxy-events.log\n' >"$tmp/proxy/proxy.conf"
printf '[Main]\nLogFile=wrong.log\n' >"$tmp/proxy/quorvel.conf"
lance "$tmp/proxy" proxy-events.log console
arrete TERM
[ ! -e "$tmp/proxy/wrong.log" ] || echec "proxy read quorvel.conf"

# 4. A module file that is not a shared library: the loader's reason on
#    stderr, its "Unable to load" line, and the launcher goes on.
installe faux
printf '[Main]\nLogFile=faux.log\n' >"$tmp/faux/quorvel.conf"
echo "not a library" >"$tmp/faux/quorvel_ssl.so"
lance "$tmp/faux" faux.log
arrete TERM
[ "$(cat "$tmp/faux/out")" = "$attendus" ] || echec "stdout with a broken module"
grep -q "quorvel_ssl.so" "$tmp/faux/err" || echec "no loader reason on stderr"
[ "$(grep -c . "$tmp/faux/err")" -eq 1 ] || echec "stderr holds more than the loader's reason"

# 5. A longer word that holds "console" turns the console on: the loader's
#    reason then joins stdout.
installe mot
printf '[Main]\nLogFile=mot.log\n' >"$tmp/mot/quorvel.conf"
echo "not a library" >"$tmp/mot/quorvel_dns.so"
lance "$tmp/mot" mot.log x xconsoley
arrete TERM
[ ! -s "$tmp/mot/err" ] || echec "a word holding 'console' did not turn the console on"
grep -q "quorvel_dns.so:" "$tmp/mot/out" || echec "the loader's reason is not on the console"

# 6. A program path too long for the 260-character buffers: the two traces,
#    exit code -1, nothing loaded and no log opened.
long=$tmp/$(printf 'a%.0s' $(seq 80))/$(printf 'b%.0s' $(seq 80))/$(printf 'c%.0s' $(seq 80))
mkdir -p "$long"
cp "$build/quorvel" "$build"/libkvt.so "$long/"
rc=0
"$long/quorvel" console >"$tmp/long.out" 2>&1 || rc=$?
[ "$rc" -eq 255 ] || echec "exit code $rc for a too long path (want 255)"
[ "$(cat "$tmp/long.out")" = "ERREUR: launcher/quorvel_main.cpp ligne 99
ERREUR: launcher/quorvel_main.cpp ligne 199" ] || { cat "$tmp/long.out" >&2; echec "traces for a too long path"; }
[ -z "$(find "$long" -name '*.log')" ] || echec "a log was opened for a too long path"

echo "launcher_e2e: all checks passed"
