#!/bin/bash
# ssl_settings_e2e.sh BUILD_DIR: "SSLEnabled" and "SSLPort" as the real
# quorvel reads them. Each run is in a namespace of its own, so the fixed
# ports 8080 and 443 never meet another program. Needs root (exit 77).
set -uo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/ssl/lib.sh"
ssl_besoin_root
trap ssl_nettoie EXIT
SCRATCH=$(mktemp -d)
ns=ssls$$
ssl_ns "$ns" ""
d=$SCRATCH/proxy
ssl_copie "$build" "$d"

# The module shows the launcher its three entries and nothing else.
if command -v nm >/dev/null; then
    ssl_verifie "quorvel_ssl.so exports LibMain, _demarre_serveur_ssl and _recharge_serveur_ssl only" \
        [ "$(nm -D --defined-only "$d/quorvel_ssl.so" | awk '{print $3}' | LC_ALL=C sort | tr '\n' ' ')" = "LibMain _demarre_serveur_ssl _recharge_serveur_ssl " ]
fi

# lance SECTION-LINES: writes the configuration and starts the proxy.
lance() {
    rm -f "$d/quorvel.log" "$d/out"
    printf '[Main]\n[SSL]\n%s' "$1" > "$d/quorvel.conf"
    ssl_proxy "$d" "$ns" || { echo "launcher did not start"; cat "$d/out"; return 1; }
}

# A value that enables the tunnel prints the start line and listens.
for v in yes Y true t TRUE Yesterday '"yes"'; do
    lance $'SSLEnabled='"$v"$'\nSSLPort=8080\n'
    ssl_verifie "SSLEnabled=$v starts the server" ssl_attend 30 ssl_ecoute "$ns" 8080
    ssl_verifie "SSLEnabled=$v prints the start line" grep -qx "SSL server starts (8080)" "$d/out"
    ssl_proxy_arrete
done

# Any other value, or none, leaves the module silent: no line, no port.
for v in "" 1 on enabled no false '" yes"' ABSENT; do
    if [ "$v" = ABSENT ]; then lance $'SSLPort=8080\n'; else lance $'SSLEnabled='"$v"$'\nSSLPort=8080\n'; fi
    sleep 0.5    # a server thread would have printed by now
    ssl_verifie "SSLEnabled=$v stays off (no line)" bash -c "! grep -q 'SSL server' '$d/out'"
    ssl_verifie "SSLEnabled=$v stays off (no port)" bash -c "[ -z \"\$(ip netns exec $ns ss -Hltn)\" ]"
    ssl_proxy_arrete
done

# "SSLPort" absent gives 8080; "443abc" reads as 443.
lance $'SSLEnabled=yes\n'
ssl_verifie "SSLPort absent listens on 8080" ssl_attend 30 ssl_ecoute "$ns" 8080
ssl_verifie "SSLPort absent prints 8080" grep -qx "SSL server starts (8080)" "$d/out"
ssl_proxy_arrete
lance $'SSLEnabled=yes\nSSLPort=443abc\n'
ssl_verifie "SSLPort=443abc listens on 443" ssl_attend 30 ssl_ecoute "$ns" 443
ssl_verifie "SSLPort=443abc prints 443" grep -qx "SSL server starts (443)" "$d/out"
ssl_proxy_arrete

# Letters alone read as port 0, which the listener refuses: the server
# thread prints its exit line with the listener's result, and opens nothing.
for v in abc 99999999999 -1 70000; do
    lance $'SSLEnabled=yes\nSSLPort='"$v"$'\n'
    ssl_verifie "SSLPort=$v prints the exit line" ssl_attend 30 grep -q "^SSL server exits (-" "$d/out"
    [ "$v" != abc ] || ssl_verifie "SSLPort=abc reads as port 0" grep -qx "SSL server starts (0)" "$d/out"
    ssl_verifie "SSLPort=$v opens no port" bash -c "[ -z \"\$(ip netns exec $ns ss -Hltn)\" ]"
    ssl_verifie "SSLPort=$v leaves the launcher running" kill -0 "$PROXY_PID"
    ssl_proxy_arrete
done

echo "$ECHECS failure(s)"
[ "$ECHECS" -eq 0 ]
