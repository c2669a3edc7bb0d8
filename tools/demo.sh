#!/usr/bin/env bash
# Builds the module in the source tree and shows what it answers.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build >/dev/null
python3 examples/demo.py
