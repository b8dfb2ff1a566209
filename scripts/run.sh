#!/bin/bash
# Builds Quorvel in build/ and starts it in console mode. The first time, the
# sample configuration becomes build/quorvel.conf; edit that file afterwards.
# Stop it with Ctrl-C.
set -euo pipefail
racine=$(cd "$(dirname "$0")/.." && pwd)
. "$racine/scripts/paquets.sh"

quorvel_paquets "${QUORVEL_PAQUETS_BUILD[@]}"
cmake -S "$racine" -B "$racine/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$racine/build" -j2
if [ ! -e "$racine/build/quorvel.conf" ]; then
    cp "$racine/quorvel.conf.sample" "$racine/build/quorvel.conf"
    echo "Created build/quorvel.conf from quorvel.conf.sample"
fi
cd "$racine/build"
exec ./quorvel console
