#!/bin/bash
# install_e2e.sh BUILD_DIR: installs into a scratch prefix, checks the layout
# and the systemd unit, runs the installed proxy through its bin/ link and
# rotates its logs the way logrotate does (move, then SIGUSR1).
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d /tmp/install_e2e.XXXXXX)
pid=""
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true; rm -rf "$tmp"' EXIT

prefix=$tmp/prefix
lib=$prefix/lib/quorvel

echec() {
    echo "FAIL: $*" >&2
    for f in "$tmp"/out* "$lib"/*.log*; do
        [ -e "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }
    done
    exit 1
}

# attend FILE TEXT: waits up to 30 s (a loaded machine) for TEXT to appear in FILE.
attend() {
    for _ in $(seq 300); do
        grep -qsF "$2" "$1" && return 0
        [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echec "'$2' never appeared in $1"
}

# lance OUT: starts the installed proxy through the link, from another folder.
lance() {
    (cd / && exec "$prefix/bin/quorvel" console) >"$tmp/$1" 2>&1 &
    pid=$!
    attend "$lib/quorvel.log" "Quorvel starts"
}

# arrete SIGNAL: the proxy must stop with exit code 0.
arrete() {
    local rc=0
    kill "-$1" "$pid"
    wait "$pid" || rc=$?
    pid=""
    [ "$rc" -eq 0 ] || echec "exit code $rc after SIG$1"
}

# 1. The layout: everything in lib/quorvel, a relative link in bin/, the unit.
cmake --install "$build" --prefix "$prefix" >"$tmp/out.install" || echec "cmake --install"
for f in quorvel libkvt.so quorvel.conf.sample; do
    [ -f "$lib/$f" ] || echec "$lib/$f not installed"
done
for m in quorvel_socks quorvel_ssl quorvel_dns quorvel_http; do
    if [ -e "$build/$m.so" ]; then [ -f "$lib/$m.so" ] || echec "$m.so not installed"; fi
done
[ "$(readlink "$prefix/bin/quorvel")" = ../lib/quorvel/quorvel ] || echec "bin/quorvel is not the relative link"
unit=$prefix/lib/systemd/system/quorvel.service
[ -f "$unit" ] || echec "no unit installed"
for ligne in "ExecStart=$lib/quorvel console" 'ExecReload=/bin/kill -HUP $MAINPID' DynamicUser=yes \
             AmbientCapabilities=CAP_NET_BIND_SERVICE Restart=on-failure \
             StandardOutput=journal StandardError=journal; do
    grep -qxF "$ligne" "$unit" || echec "unit lacks '$ligne'"
done

# 2. The unit passes systemd's own check, without a single warning.
if command -v systemd-analyze >/dev/null; then
    rc=0
    verif=$(systemd-analyze verify "$unit" 2>&1) || rc=$?
    [ "$rc" -eq 0 ] && [ -z "$verif" ] || echec "systemd-analyze verify (rc $rc): $verif"
else
    echo "install_e2e: systemd-analyze missing, unit check skipped"
fi

# 3. Run through the link from /: configuration and modules are found beside
#    the real program file, the relative log lands there too.
# The port was free a moment ago; when another process takes it meanwhile,
# the tunnel's thread ends: start again on another one.
for essai in 1 2 3 4 5; do
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf '[Main]\nLogFile=quorvel.log\nErrFile=quorvel-errors.log\n[SSL]\nSSLEnabled=yes\nSSLPort=%s\n' \
        "$port" >"$lib/quorvel.conf"
    lance out.1
    [ -e "$lib/quorvel_ssl.so" ] || break
    # The start line comes before the listener listens: wait for the socket.
    ecoute=""
    for _ in $(seq 300); do
        if ss -Hltnp "sport = :$port" | grep -q "pid=$pid,"; then ecoute=1; break; fi
        grep -qF "SSL server exits" "$tmp/out.1" && break
        sleep 0.1
    done
    [ -z "$ecoute" ] || break
    [ "$essai" -lt 5 ] || echec "the installed tunnel never listened on its port"
    arrete TERM
    rm -f "$lib"/*.log*
done
for m in quorvel_ssl quorvel_dns quorvel_http; do
    if [ -e "$lib/$m.so" ] && grep -qF "Unable to load $m.so" "$tmp/out.1"; then
        echec "the installed $m.so did not load"
    fi
done
if [ -e "$lib/quorvel_ssl.so" ]; then
    attend "$tmp/out.1" "SSL server starts ($port)"
    code=$(curl -s --max-time 30 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/" || true)
    [ "${code:-000}" != 000 ] || echec "the installed tunnel did not answer on port $port"
fi

# 4. Rotation by hand: both logs moved away, SIGUSR1, new files; the old
#    ones get nothing more.
mv "$lib/quorvel.log" "$lib/quorvel.log.1"
mv "$lib/quorvel-errors.log" "$lib/quorvel-errors.log.1"
kill -USR1 "$pid"
attend "$lib/quorvel.log" "Logs reopened"
[ -e "$lib/quorvel-errors.log" ] || echec "the error log was not reopened"
arrete TERM
grep -qE '^[0-9-]{10} [0-9:]{8} Quorvel stops$' "$lib/quorvel.log" || echec "no stop line in the new log"
grep -qF "Quorvel starts" "$lib/quorvel.log.1" || echec "the old log lost its lines"
! grep -qF -e "Logs reopened" -e "Quorvel stops" "$lib/quorvel.log.1" || echec "the old log was written after the move"

# 5. Rotation by logrotate with a postrotate signal, then SIGINT.
rm -f "$lib"/*.log*
lance out.2
if command -v logrotate >/dev/null; then
    cat >"$tmp/logrotate.conf" <<EOF
$lib/quorvel.log $lib/quorvel-errors.log {
    rotate 2
    missingok
    sharedscripts
    postrotate
        kill -USR1 $pid
    endscript
}
EOF
    chmod 600 "$tmp/logrotate.conf"
    logrotate -f -s "$tmp/logrotate.state" "$tmp/logrotate.conf" || echec "logrotate failed"
    attend "$lib/quorvel.log" "Logs reopened"
    grep -qF "Quorvel starts" "$lib/quorvel.log.1" || echec "logrotate did not rotate the log"
else
    echo "install_e2e: logrotate missing, rotation by logrotate skipped"
fi
arrete INT
grep -qF "Quorvel stops" "$lib/quorvel.log" || echec "no stop line after SIGINT"

echo "install_e2e: all checks passed"
