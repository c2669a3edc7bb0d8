#!/usr/bin/env bash
# Builds the module in the source tree and runs every test: the native unit tests, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
if [ -f "$build/CTestTestfile.cmake" ]; then
  ctest --test-dir "$build" -L unit --output-on-failure
fi
python3 -m pytest tests -q "$@"
