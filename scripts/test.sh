#!/bin/bash
# The test command: builds Quorvel three ways and runs every test.
#   build/       normal build: unit, threaded, end-to-end and fuzz tests
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer: unit and threaded tests
#   build-tsan/  ThreadSanitizer: threaded tests
# Missing Debian packages are installed first (as root). As a normal user the
# tests that need root (port 53, network namespaces) are skipped.
# Environment: QUORVEL_SOAK_SECONDS shortens or lengthens the soak test;
# QUORVEL_BUILD=name builds in name/, name-asan/ and name-tsan/ instead.
# Exit status 0 only when every step built and every test passed.
set -uo pipefail
racine=$(cd "$(dirname "$0")/.." && pwd)
. "$racine/scripts/paquets.sh"

outils=(curl wget apt-utils dnsutils dnsmasq-base openssl iproute2 tinyproxy dnsperf squid clang
        libclang-rt-14-dev procps python3 logrotate systemd)
if ! quorvel_paquets "${QUORVEL_PAQUETS_BUILD[@]}" "${outils[@]}"; then
    quorvel_paquets "${QUORVEL_PAQUETS_BUILD[@]}" 2>/dev/null || {
        echo "test.sh: the build tools are missing; run it once as root." >&2
        exit 1
    }
    echo "test.sh: some test tools are missing; the tests that need them are skipped." >&2
fi

total_ok=0 total_ko=0 total_saut=0
resume=()

# etape NAME DIR "CMAKE OPTIONS" CTEST-ARGS...: configure, build, run.
etape() {
    local nom=$1 dossier=$racine/$2 options=$3
    shift 3
    echo "=== $nom: configure and build ($dossier)"
    # shellcheck disable=SC2086  # the options are words
    if ! cmake -S "$racine" -B "$dossier" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $options ||
       ! cmake --build "$dossier" -j2; then
        resume+=("$nom: BUILD FAILED")
        total_ko=$((total_ko + 1))
        return
    fi
    echo "=== $nom: tests"
    local journal=$dossier/test.sh.log
    "${prefixe[@]}" ctest --test-dir "$dossier" --output-on-failure -j2 "$@" 2>&1 | tee "$journal"
    local rc=${PIPESTATUS[0]}
    # "95% tests passed, 1 tests failed out of 20"; skipped tests count as passed there.
    local ligne total ko saut
    ligne=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$journal" | tail -1)
    if [ -z "$ligne" ]; then
        if grep -q 'No tests were found' "$journal"; then
            resume+=("$nom: no tests")
            return
        fi
        resume+=("$nom: CTEST FAILED (rc $rc)")
        total_ko=$((total_ko + 1))
        return
    fi
    ko=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$ligne")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$ligne")
    saut=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$journal")
    local ok=$((total - ko - saut))
    if [ "$rc" -ne 0 ] && [ "$ko" -eq 0 ]; then ko=1; fi   # ctest failed without a failed test
    total_ok=$((total_ok + ok)) total_ko=$((total_ko + ko)) total_saut=$((total_saut + saut))
    resume+=("$nom: $ok passed, $ko failed, $saut skipped")
}

debut=$(date +%s)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

b=${QUORVEL_BUILD:-build}
prefixe=()
etape "$b" "$b" ""
etape "$b-asan" "$b-asan" "-DQUORVEL_SANITIZE=address -DQUORVEL_BENCH=OFF" -L 'unit|threaded'
# ThreadSanitizer maps its shadow memory at fixed places, which a randomized
# address layout can occupy on recent kernels: run it without randomization.
if setarch "$(uname -m)" -R true 2>/dev/null; then prefixe=(setarch "$(uname -m)" -R); fi
etape "$b-tsan" "$b-tsan" "-DQUORVEL_SANITIZE=thread -DQUORVEL_BENCH=OFF" -L threaded

echo
echo "=== Summary ($(( ($(date +%s) - debut) / 60 )) min)"
for r in "${resume[@]}"; do echo "  $r"; done
[ "$total_saut" -eq 0 ] || echo "  ($total_saut skipped: not root, a tool missing, or not meaningful under a sanitizer; see the logs)"
echo "$total_ok passed, $total_ko failed"
[ "$total_ko" -eq 0 ]
