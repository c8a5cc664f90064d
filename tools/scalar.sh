#!/usr/bin/env bash
# Builds the extension without the parser's SIMD paths (the scalar loops that
# processors without SSE2 run), with warnings as errors, and runs the parser
# and cell tests against that build.
#   PYTHON=.venv/bin/python tools/scalar.sh [pytest arguments...]
# PYTHON must have the test dependencies installed.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(command -v "${PYTHON:-python3}")
build=build/scalar
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELM_SCALAR=ON \
      -DCMAKE_CXX_FLAGS=-Werror -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build"
# A copy of the package with the scalar modules in it, first on the path.
rm -rf "$build/pkg" && mkdir -p "$build/pkg"
cp -r src/quelm "$build/pkg/quelm"
rm -f "$build/pkg/quelm/"*.so
cp "$build"/*.so pricing_table.md "$build/pkg/quelm/"
PYTHONPATH="$PWD/$build/pkg" "$py" -c \
    "import quelm.genai_pricing as g, sys; sys.exit(not g.__file__.startswith('$PWD/$build/pkg/'))"
PYTHONPATH="$PWD/$build/pkg" "$py" -m pytest -q -p no:cacheprovider \
    tests/test_parser.py tests/test_cell.py "$@"
