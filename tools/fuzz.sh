#!/usr/bin/env bash
# Coverage-guided fuzzing of the extension with atheris (libFuzzer).
#
# Builds the extension with clang's fuzzing coverage, AddressSanitizer and
# UndefinedBehaviorSanitizer (QUELM_FUZZ=ON) into its own virtual
# environment, then runs each target in fuzz/ for its share of the time:
# two thirds for the pricing documents, one third for usage extraction.
# A crash, a sanitizer report or a failed check stops that target, keeps the
# input under build/fuzz-findings/ and makes the script exit non-zero.
# Installs clang 14 and its runtime libraries with apt-get when missing.
#
#   tools/fuzz.sh [seconds]          (default 60, all targets together)
#   tools/fuzz.sh --repro TARGET FILE   runs one saved input again
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/fuzz-venv
findings=build/fuzz-findings
cxx=clang++-14

ensure_clang() {
    if command -v "$cxx" >/dev/null && dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null |
            grep -q "ok installed"; then
        return
    fi
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "fuzz: installing clang-14 and libclang-rt-14-dev"
    local try
    for try in 1 2 3; do
        if $sudo apt-get update -qq &&
                $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                    clang-14 libclang-rt-14-dev >/dev/null; then
            return
        fi
        sleep $((try * 10))
    done
    echo "fuzz: could not install clang-14" >&2
    return 1
}

build() {
    ensure_clang
    [ -x "$venv/bin/python" ] || python3.11 -m venv "$venv"
    "$venv/bin/pip" install -q --disable-pip-version-check --only-binary atheris atheris==3.0.0
    CC=clang-14 CXX="$cxx" "$venv/bin/pip" install -q --disable-pip-version-check . \
        -Ccmake.define.QUELM_FUZZ=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/fuzz
}

# The interpreter is not instrumented: the sanitizer runtime that carries
# libFuzzer is preloaded, and PYTHONMALLOC=malloc sends every object through
# its allocator so that overruns of str and dict storage are caught.
run_python() {
    local runtime
    runtime="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:malloc_context_size=10 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONMALLOC=malloc LD_PRELOAD="$runtime" "$venv/bin/python" "$@"
}

if [ "${1:-}" = "--repro" ]; then
    build
    run_python "fuzz/fuzz_$2.py" "$3"
    exit
fi

total=${1:-60}
build
mkdir -p "$findings"
status=0
executed=0
for entry in "pricing:2" "usage:1" "shapes:1"; do
    target=${entry%%:*}
    share=${entry##*:}
    seconds=$(( total * share / 4 ))
    [ "$seconds" -ge 1 ] || seconds=1
    corpus=build/fuzz-corpus/$target  # new inputs; fuzz/corpus/ only seeds
    mkdir -p "$corpus"
    dict=()
    [ -f "fuzz/$target.dict" ] && dict=("-dict=fuzz/$target.dict")
    log=$findings/$target.log
    echo "fuzz: $target for ${seconds}s"
    set +e
    run_python "fuzz/fuzz_$target.py" -max_total_time="$seconds" -rss_limit_mb=6144 \
        -timeout=60 -max_len=4096 -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="$findings/$target-" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    executed=$(( executed + ${runs:-0} ))
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" |
        sed "s/^/fuzz: $target: /" || true
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "fuzz: $target FAILED (exit $rc); log: $log"
        # The report: a sanitizer's, an uncaught exception's or libFuzzer's.
        start=$(grep -n -m1 -E 'ERROR: (AddressSanitizer|libFuzzer)|runtime error:|Uncaught Python exception' \
                "$log" | cut -d: -f1)
        if [ -n "$start" ]; then sed -n "${start},$((start + 25))p" "$log"; else tail -n 40 "$log"; fi
        grep -E '^(artifact_prefix|Base64)' "$log" || true
    fi
done
echo "fuzz: $executed inputs run in ${total}s"
exit "$status"
