#!/bin/bash
# ssl_acces_e2e.sh BUILD_DIR: the access log of the real quorvel: one line
# per tunnel connection with exact byte counts, the status of every page, a
# refused client, a forged target that stays one line, SIGUSR1 reopening
# and SIGHUP moving it. Needs root (exit 77 otherwise).
set -uo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/ssl/lib.sh"
ssl_besoin_root
trap ssl_nettoie EXIT
SCRATCH=$(mktemp -d)
ssl_reseau "sslj$$"
d=$SCRATCH/proxy
ssl_copie "$build" "$d"
conf() {
    cat > "$d/quorvel.conf" <<FIN
[Main]
AllowedHost0=10.77.0.2
AccessLog=$1
[SSL]
SSLEnabled=yes
SSLPort=8080
FIN
}
conf acces.log
PROXY=10.77.0.1:8080
enc() { ip netns exec "$NS_C" "$PY" "$OUTIL" "$@"; }
# nb_lignes FILE: lines in FILE (0 when absent).
nb_lignes() { [ -f "$1" ] && wc -l < "$1" || echo 0; }
# attend_lignes FILE N: FILE holds at least N lines.
attend_lignes() { [ "$(nb_lignes "$1")" -ge "$2" ]; }
# derniere FILE: its last line without the stamp.
derniere() { tail -n 1 "$1" | cut -c21-; }
# conforme TEXT REGEX: TEXT matches; shows it when not.
conforme() { [[ $1 =~ $2 ]] || { echo "    got: $1"; return 1; }; }
N='[0-9]+'

ssl_fond "$NS_T" "$PY" "$OUTIL" serve-echo 10.77.1.2 7000
ssl_proxy "$d" "$NS_P" || { cat "$d/out"; exit 1; }
ssl_attend 30 ssl_ecoute "$NS_P" 8080 || { echo "nothing listens on 8080"; cat "$d/out"; exit 1; }
ssl_attend 30 ssl_ecoute "$NS_T" 7000 || exit 1
j=$d/acces.log
vu=0
# suivante: waits for the next line of $j and sets L to it.
suivante() {
    vu=$((vu + 1))
    ssl_attend 60 attend_lignes "$j" "$vu" || { L="<no line $vu>"; return 0; }
    L=$(sed -n "${vu}p" "$j" | cut -c21-)
}

# 1,234,567 bytes up and 7,654,321 down at once, read both ways at once.
ssl_fond "$NS_T" "$PY" "$OUTIL" serve-bulk 10.77.1.2 7100 7654321
srv=$BG_PID
ssl_attend 30 ssl_ecoute "$NS_T" 7100 || exit 1
cli=$(enc client-bulk "$PROXY" 10.77.1.2:7100 1234567)
wait "$srv" 2>/dev/null
suivante
ssl_verifie "bulk client got every byte" conforme "$cli" " 7654321$"
ssl_verifie "tunnel line: exact counts, status 200" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target=10\.77\.1\.2:7100 addr=10\.77\.1\.2 status=200 up=1234567 down=7654321 ms=$N$"
ssl_verifie "stamp in the format of the other logs" conforme "$(sed -n 1p "$j")" \
    '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ssl '

# The target closes first: an echo that answers and is then told to end by
# the client's half-close; the bytes of both ways are counted.
enc ask "$PROXY" 'CONNECT 10.77.1.2:7000 HTTP/1.1\r\n\r\nhello' --half-close > /dev/null
suivante
ssl_verifie "echo tunnel: 5 bytes each way" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target=10\.77\.1\.2:7000 addr=10\.77\.1\.2 status=200 up=5 down=5 ms=$N$"

# Every page: status, no bytes counted, no address for a failed target.
enc ask "$PROXY" 'garbage\r\n\r\n' --expect-page 0 > /dev/null
suivante
ssl_verifie "400 page, empty target" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target= addr=- status=400 up=0 down=0 ms=$N$"
enc ask "$PROXY" 'GET http://10.77.1.2:7000/ HTTP/1.1\r\n\r\n' --expect-page 1 > /dev/null
suivante
ssl_verifie "405 page" conforme "$L" "^ssl client=10\.77\.0\.2:$N target=[^ ]* addr=- status=405 up=0 down=0 ms=$N$"
enc ask "$PROXY" 'CONNECT nowhere.test:443 HTTP/1.1\r\n\r\n' --expect-page 4 > /dev/null
suivante
ssl_verifie "503 page, resolution" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target=nowhere\.test:443 addr=- status=503 up=0 down=0 ms=$N$"
enc ask "$PROXY" 'CONNECT 10.77.1.2:7999 HTTP/1.1\r\n\r\n' --expect-page 3 > /dev/null
suivante
ssl_verifie "503 page, connection refused" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target=10\.77\.1\.2:7999 addr=- status=503 up=0 down=0 ms=$N$"
enc ask "$PROXY" 'CONNECT 10.77.0.1:8080 HTTP/1.1\r\n\r\n' --expect-page 2 > /dev/null
suivante
ssl_verifie "403 page, the gateway's own port" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target=10\.77\.0\.1:8080 addr=- status=403 up=0 down=0 ms=$N$"

# A refused client: 403, logged like its refusal line.
enc ask "$PROXY" 'CONNECT 10.77.1.2:7000 HTTP/1.1\r\n\r\n' --source 10.77.0.3 --expect-page 2 > /dev/null
suivante
ssl_verifie "refused client: 403 line" conforme "$L" \
    "^ssl client=10\.77\.0\.3:$N target= addr=- status=403 up=0 down=0 ms=$N$"

# A forged target: '=', control bytes, a lone CR and a blank inside the
# host cannot make a field or a line of their own.
avant=$(nb_lignes "$j")
enc ask "$PROXY" 'CONNECT a=b\x01c\rd\x7fe:7000 HTTP/1.1\r\nHost: x\r\n\r\n' --half-close > /dev/null
enc ask "$PROXY" 'CONNECT 10.77.1.2:7000 x=1 status=200 HTTP/1.1\r\n\r\n' --half-close > /dev/null
suivante
ssl_verifie "forged target 1 stays one line, own fields" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target=[^ =]* addr=[^ =]+ status=$N up=$N down=$N ms=$N$"
suivante
ssl_verifie "forged target 2 stays one line, own fields" conforme "$L" \
    "^ssl client=10\.77\.0\.2:$N target=[^ =]* addr=[^ =]+ status=$N up=$N down=$N ms=$N$"
ssl_verifie "two forged requests, two lines" [ "$(nb_lignes "$j")" -eq $((avant + 2)) ]

# SIGUSR1: the moved file is let go, a new one takes the next lines.
mv "$j" "$j.1"
n_re=$(grep -c "Logs reopened" "$d/quorvel.log")
kill -USR1 "$PROXY_PID"
ssl_attend 30 eval '[ "$(grep -c "Logs reopened" "$d/quorvel.log")" -gt '"$n_re"' ]'
enc ask "$PROXY" 'CONNECT 10.77.1.2:7000 HTTP/1.1\r\n\r\nabc' --half-close > /dev/null
vu=0
suivante
ssl_verifie "after SIGUSR1 the new file has the line" conforme "$L" "^ssl .* status=200 up=3 down=3 ms=$N$"

# SIGHUP with a new path: the next lines go there.
conf autre.log
kill -HUP "$PROXY_PID"
ssl_attend 30 grep -q "Configuration reloaded" "$d/quorvel.log"
enc ask "$PROXY" 'CONNECT 10.77.1.2:7000 HTTP/1.1\r\n\r\nabcd' --half-close > /dev/null
j=$d/autre.log
vu=0
suivante
ssl_verifie "after SIGHUP the new path has the line" conforme "$L" "^ssl .* status=200 up=4 down=4 ms=$N$"
ssl_verifie "the old path got nothing more" [ "$(nb_lignes "$d/acces.log")" -eq 1 ]


ssl_proxy_arrete
[ "$ECHECS" -eq 0 ] || { echo "$ECHECS failed"; tail -5 "$d/out"; exit 1; }
echo "all passed"
