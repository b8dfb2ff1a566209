# Sourced by run.sh and test.sh: installs the Debian packages that are
# missing, and only those. apt-get needs root; a normal user gets sudo when
# it asks for no password, otherwise a list of what to install.

# quorvel_paquets PKG...: 0 when every package is (now) installed.
quorvel_paquets() {
    local manquants=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            manquants+=("$p")
    done
    [ ${#manquants[@]} -eq 0 ] && return 0
    local root=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
            root=(sudo -n)
        else
            echo "Missing Debian packages: ${manquants[*]}" >&2
            echo "Install them as root: apt-get install ${manquants[*]}" >&2
            return 1
        fi
    fi
    echo "Installing: ${manquants[*]}"
    # Several of these ship a daemon (squid, tinyproxy, dnsdist): a policy
    # keeps the package scripts from starting its service, for the length of
    # the install only, and only when the machine has no policy of its own.
    local politique=/usr/sbin/policy-rc.d posee="" r=0
    if [ ! -e "$politique" ]; then
        printf '#!/bin/sh\n# Quorvel test tools: installed packages start no service.\nexit 101\n' |
            "${root[@]}" tee "$politique" > /dev/null && "${root[@]}" chmod 755 "$politique" && posee=1
    fi
    "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        "${root[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${manquants[@]}" || r=$?
    [ -z "$posee" ] || "${root[@]}" rm -f "$politique"
    return "$r"
}

# Packages needed to build everything (tests and benchmarks included).
QUORVEL_PAQUETS_BUILD=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev)
# Packages needed to build only what runs (scripts/run.sh).
QUORVEL_PAQUETS_RUN=(cmake ninja-build g++)
