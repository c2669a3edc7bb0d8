#!/usr/bin/env bash
# Builds the module in the source tree and runs every test: the native unit tests, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
# FPSCOPE_WERROR=ON (as CI sets it) fails the build on any compiler warning.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFPSCOPE_WARNINGS_AS_ERRORS="${FPSCOPE_WERROR:-OFF}" >/dev/null
cmake --build "$build"
if [ -f "$build/CTestTestfile.cmake" ]; then
  ctest --test-dir "$build" -L unit --output-on-failure
fi
python3 -m pytest tests -q "$@"
