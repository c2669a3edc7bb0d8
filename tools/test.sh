#!/usr/bin/env bash
# All tests on a fresh machine: installs what they need, builds the module into the source tree, runs
# the native unit tests (ctest), then pytest (which also runs the documentation's examples and builds
# the documentation with warnings as errors).
#
# - Python tools go into a virtual environment of its own, .venv-test/ (FPSCOPE_VENV to move it), from
#   requirements-test.txt with the pins of constraints/py3.X.txt for the Python it is made with
#   (PYTHON, default python3); they are installed again only when those files change.
# - System packages (GoogleTest, MPFR and Debian's unicode-data) are installed with apt-get when they are
#   missing and the script runs as root; otherwise the tests that need them are skipped.
# - The build goes to build-test/ (BUILD_DIR to move it), never to the build/ of the README's plain
#   `cmake -S . -B build`, so the two cannot disagree about the generator.
#
# Arguments go to pytest (for example: bash tools/test.sh -x -k cli).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
venv=${FPSCOPE_VENV:-$root/.venv-test}
build=${BUILD_DIR:-build-test}

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null && command -v dpkg-query >/dev/null; then
  missing=()
  for package in libgtest-dev libmpfr-dev unicode-data; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "test.sh: installing ${missing[*]} with apt-get" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
fi

version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
constraints=constraints/py$version.txt
if [ ! -f "$constraints" ]; then
  echo "test.sh: no $constraints: CPython $version is not supported (3.9 to 3.13 are)" >&2
  exit 2
fi
if [ ! -x "$venv/bin/python" ]; then
  echo "test.sh: creating $venv with $python ($version)" >&2
  "$python" -m venv "$venv"
fi
wanted=$(cat requirements-test.txt "$constraints" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$wanted" ]; then
  echo "test.sh: installing the test tools into $venv" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-test.txt -c "$constraints"
  echo "$wanted" > "$venv/.requirements"
fi
export PATH=$venv/bin:$PATH

# FPSCOPE_WERROR=ON (as CI sets it) fails the build on any compiler warning.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$venv/bin/python" \
  -DFPSCOPE_WARNINGS_AS_ERRORS="${FPSCOPE_WERROR:-OFF}" >/dev/null
cmake --build "$build"
if [ -f "$build/CTestTestfile.cmake" ]; then
  ctest --test-dir "$build" -L unit --output-on-failure
fi
"$venv/bin/python" -m pytest tests -q "$@"
