#!/usr/bin/env bash
# Incremental developer build: compiles the extension into build/dev and
# copies it next to the package sources, so `python -m pytest` from the
# checkout runs against it.  CI installs the package instead.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
      -DPython_EXECUTABLE="$(command -v "$py")" "$@" >/dev/null
cmake --build build/dev
cp build/dev/*.so src/quelm/
cp pricing_table.md src/quelm/
