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
    "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        "${root[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${manquants[@]}"
}

# Packages needed to build everything (tests and benchmarks included).
QUORVEL_PAQUETS_BUILD=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev)
# Packages needed to build only what runs (scripts/run.sh).
QUORVEL_PAQUETS_RUN=(cmake ninja-build g++)
