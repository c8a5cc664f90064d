#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own virtual environment and runs the whole test suite under it.
# Any sanitizer report stops the run with a non-zero exit.
#   tools/sanitize.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
venv=build/sanitize-venv
if [ ! -x "$venv/bin/python" ]; then
    python3.11 -m venv "$venv"
fi
"$venv/bin/pip" install -q --disable-pip-version-check '.[test]' \
    -Ccmake.define.QUELM_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir=build/sanitize
asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
# The interpreter's own allocations are not ours to audit: leak detection is
# off (reference leaks have their own test), and PYTHONMALLOC=malloc routes
# every object through the sanitizer's allocator so overruns are caught.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87
export PYTHONMALLOC=malloc
# Run away from the checkout root so the installed package is the one tested.
cd tests
LD_PRELOAD="$asan:$ubsan" "../$venv/bin/python" -m pytest -q -p no:cacheprovider \
    --rootdir=.. -c ../pyproject.toml "$@" .
