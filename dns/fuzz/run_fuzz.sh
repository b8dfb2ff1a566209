#!/bin/bash
# run_fuzz.sh SRC_DIR OUT_DIR SECONDS
# Builds the DNS question fuzzer with clang (libFuzzer, ASan, UBSan) straight
# from the sources and runs it for SECONDS from a scratch copy of the seed
# corpus, so the repository stays untouched. Any crash, leak or undefined
# behaviour fails the run. Exit 77 (skipped) when clang++ is missing.
set -euo pipefail
src=$(cd "${1:?usage: run_fuzz.sh SRC_DIR OUT_DIR SECONDS}" && pwd)
out=${2:?usage: run_fuzz.sh SRC_DIR OUT_DIR SECONDS}
secs=${3:?usage: run_fuzz.sh SRC_DIR OUT_DIR SECONDS}

if ! command -v clang++ >/dev/null; then
    echo "run_fuzz.sh: clang++ not installed, fuzzing skipped"
    exit 77
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Every support source but the tests: the question reader references the socket
# layer, and an unresolved symbol fails the link even if nothing calls it.
support=()
for f in "$src"/support/*.cpp; do
    case $f in *_test.cpp) ;; *) support+=("$f") ;; esac
done
clang++ -std=c++20 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fmacro-prefix-map="$src/"= \
    -I"$src/dns" -I"$src/access" -I"$src/support" \
    "$src/dns/fuzz/quorvel_dns_question_fuzz.cpp" "$src"/dns/quorvel_dns_question.cpp "$src"/access/quorvel_ip_mask.cpp \
    "${support[@]}" -pthread -o "$out/quorvel_dns_question_fuzz"

corpus=$(mktemp -d "$out/corpus.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
cp "$src"/dns/fuzz/corpus/* "$corpus/"

# close_fd_mask=2 silences the library's traces; libFuzzer and the sanitizers
# keep their own copy of stderr for reports.
# libFuzzer reports findings with exit code 77 by default, which the test
# runner reads as "skipped": any finding must fail instead.
rc=0
"$out/quorvel_dns_question_fuzz" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
    -error_exitcode=1 -timeout_exitcode=1 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$out/" \
    "$corpus" || rc=$?
if [ "$rc" -ne 0 ]; then
    echo "run_fuzz.sh: the fuzzer failed (exit $rc); reproducer in $out/" >&2
    exit 1
fi
