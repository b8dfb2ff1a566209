#!/bin/bash
# Builds what Quorvel runs (the program, libkvt.so and the two modules, no
# tests, no benchmarks) in build-run/ and starts it in console mode. The first
# time, the sample configuration becomes build-run/quorvel.conf (or an older
# build/quorvel.conf is carried over); edit that file afterwards.
# Stop it with Ctrl-C.
# build-run/ is a folder of its own: scripts/test.sh configures build/ with
# the tests on, and two scripts sharing one CMake cache would undo each
# other's options and rebuild everything at each switch.
set -euo pipefail
racine=$(cd "$(dirname "$0")/.." && pwd)
. "$racine/scripts/paquets.sh"

dossier=$racine/build-run
quorvel_paquets "${QUORVEL_PAQUETS_RUN[@]}"
cmake -S "$racine" -B "$dossier" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=OFF
cmake --build "$dossier" -j"$(nproc)" --target quorvel kvtlib quorvel_ssl quorvel_dns quorvel_http
if [ ! -e "$dossier/quorvel.conf" ]; then
    if [ -e "$racine/build/quorvel.conf" ]; then
        cp "$racine/build/quorvel.conf" "$dossier/quorvel.conf"
        echo "Created build-run/quorvel.conf from build/quorvel.conf"
    else
        cp "$racine/quorvel.conf.sample" "$dossier/quorvel.conf"
        echo "Created build-run/quorvel.conf from quorvel.conf.sample"
    fi
fi
cd "$dossier"
exec ./quorvel console
