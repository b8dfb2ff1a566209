#!/bin/bash
# run_fuzz.sh SRC_DIR OUT_DIR SECONDS FUZZ_DIR NAME SOURCE...
# Builds the fuzzer FUZZ_DIR/NAME.cpp with clang (libFuzzer, ASan, UBSan)
# straight from the sources, with the SOURCEs it tests (paths under SRC_DIR)
# and the support library, and runs it for SECONDS from a scratch copy of
# FUZZ_DIR/corpus (with FUZZ_DIR's *.dict when there is one), so the
# repository stays untouched. Any crash, leak or undefined behaviour fails
# the run. Exit 77 (skipped) when clang++ is missing.
set -euo pipefail
usage="usage: run_fuzz.sh SRC_DIR OUT_DIR SECONDS FUZZ_DIR NAME SOURCE..."
src=$(cd "${1:?$usage}" && pwd)
out=${2:?$usage}
secs=${3:?$usage}
dossier=${4:?$usage}
nom=${5:?$usage}
shift 5
[ $# -gt 0 ] || { echo "$usage" >&2; exit 2; }

if ! command -v clang++ >/dev/null; then
    echo "run_fuzz.sh: clang++ not installed, fuzzing skipped"
    exit 77
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Every support source but the tests: the sources under test reference the
# socket layer, and an unresolved symbol fails the link even if nothing calls it.
support=()
for f in "$src"/support/*.cpp; do
    case $f in *_test.cpp) ;; *) support+=("$f") ;; esac
done
sources=() inclus=(-I"$src/support")
for f in "$@"; do
    sources+=("$src/$f")
    inclus+=(-I"$src/$(dirname "$f")")
done
clang++ -std=c++20 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fmacro-prefix-map="$src/"= \
    "${inclus[@]}" "$src/$dossier/$nom.cpp" "${sources[@]}" \
    "${support[@]}" -pthread -o "$out/$nom"

corpus=$(mktemp -d "$out/corpus.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
cp "$src/$dossier"/corpus/* "$corpus/"
dico=()
for d in "$src/$dossier"/*.dict; do [ -e "$d" ] && dico=(-dict="$d"); done

# close_fd_mask=2 silences the library's traces; libFuzzer and the sanitizers
# keep their own copy of stderr for reports.
# libFuzzer reports findings with exit code 77 by default, which the test
# runner reads as "skipped": any finding must fail instead.
rc=0
"$out/$nom" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
    -error_exitcode=1 -timeout_exitcode=1 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$out/" \
    "${dico[@]}" "$corpus" || rc=$?
if [ "$rc" -ne 0 ]; then
    echo "run_fuzz.sh: the fuzzer failed (exit $rc); reproducer in $out/" >&2
    exit 1
fi
