#!/bin/bash
# tests/e2e/http_apt_e2e.sh BUILD_DIR: apt-get update and apt-get download
# through the HTTP proxy module, from a package repository built here and
# served over HTTP on loopback. Every apt setting points into the scratch
# folder: the machine's own apt state is never read for sources nor written.
set -uo pipefail
source "$(dirname "$0")/http/lib.sh"
build=$(cd "${1:?usage: http_apt_e2e.sh BUILD_DIR}" && pwd)
for t in apt-get apt-ftparchive dpkg-deb; do
    command -v "$t" >/dev/null || { echo "skipped: $t is missing (package apt-utils)" >&2; exit 77; }
done
http_prepare http_apt "$build"

# A repository of one package, flat layout.
D=$SCRATCH/depot
mkdir -p "$D" "$SCRATCH/paquet/DEBIAN" "$SCRATCH/paquet/usr/share/quorvel-essai"
head -c 200000 /dev/urandom > "$SCRATCH/paquet/usr/share/quorvel-essai/donnees"
cat > "$SCRATCH/paquet/DEBIAN/control" <<EOF
Package: quorvel-essai
Version: 1.0
Architecture: all
Maintainer: Quorvel tests <tests@quorvel.invalid>
Description: package of the HTTP proxy's end-to-end test
EOF
dpkg-deb -b "$SCRATCH/paquet" "$D/quorvel-essai_1.0_all.deb" > /dev/null || { echo "FAIL: dpkg-deb" >&2; exit 1; }
(cd "$D" && apt-ftparchive packages . > Packages && gzip -9k Packages && apt-ftparchive release . > Release) ||
    { echo "FAIL: apt-ftparchive" >&2; exit 1; }

P=$(http_port) R=$(http_port)
(cd "$D" && exec "$PY" -m http.server --bind 127.0.0.1 "$R") > "$SCRATCH/depot.out" 2>&1 &
PIDS+=($!)
http_attend 30 curl -sf -o /dev/null "http://127.0.0.1:$R/Release" || { echo "FAIL: repository server" >&2; exit 1; }
cat > "$SCRATCH/quorvel.conf" <<EOF
[Main]
AccessLog=access.log
[HTTP_FTP]
HTTPEnabled=yes
HTTPPort=$P
EOF
http_proxy || { echo "FAIL: the proxy did not start"; cat "$SCRATCH/out"; exit 1; }

A=$SCRATCH/apt
mkdir -p "$A/lists/partial" "$A/cache/archives/partial" "$A/parts" "$A/prefs" "$A/dl"
echo "deb [trusted=yes] http://127.0.0.1:$R/ ./" > "$A/sources.list"
apt_options=(-o Dir::Etc::sourcelist="$A/sources.list" -o Dir::Etc::sourceparts="$A/parts"
             -o Dir::Etc::preferencesparts="$A/prefs" -o Dir::State::Lists="$A/lists"
             -o Dir::Cache="$A/cache" -o Acquire::http::Proxy="http://127.0.0.1:$P"
             -o APT::Get::AllowUnauthenticated=true -o APT::Sandbox::User=root
             -o Debug::NoLocking=1 -o Acquire::Retries=0 -o Acquire::http::Timeout=30)
export http_proxy="" HTTP_PROXY=""
http_verifie "apt-get update through the proxy" \
    bash -c "apt-get ${apt_options[*]@Q} update > '$A/update.out' 2>&1"
http_verifie "the repository's index is in the scratch lists" bash -c "ls '$A/lists' | grep -q Packages"
http_verifie "apt-get download through the proxy" \
    bash -c "cd '$A/dl' && apt-get ${apt_options[*]@Q} download quorvel-essai > '$A/download.out' 2>&1"
http_verifie "the downloaded package is the repository's, byte for byte" \
    cmp -s "$A/dl/quorvel-essai_1.0_all.deb" "$D/quorvel-essai_1.0_all.deb"
http_verifie "the proxy's access log has apt's requests" \
    http_attend 30 grep -qE "http client=127\.0\.0\.1:[0-9]+ method=GET url=http://127\.0\.0\.1:$R/\./quorvel-essai_1\.0_all\.deb addr=127\.0\.0\.1 status=200 " "$SCRATCH/access.log"
if [ "$ECHECS" -ne 0 ]; then cat "$A/update.out" "$A/download.out" >&2 2>/dev/null; fi
http_fin
