#!/usr/bin/env bash
# Runs the test suite against the fpscope that `python3` (or $PYTHON) imports, from a copy of the tests
# outside the source tree, so an installed wheel is tested rather than the in-tree build.
#
# Arguments go to pytest in place of the default `tests` (test paths are given relative to the copy:
# `bash tools/test_installed.sh tests/test_cli.py -x`).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$root/tests" "$scratch/tests"
# The escape-table cross-check reads the generated table beside the tests.
mkdir -p "$scratch/src/py"
cp "$root/src/py/unicode_tables.inc" "$scratch/src/py/"
cd "$scratch"

loaded=$("$python" -c 'import fpscope, os; print(os.path.dirname(os.path.realpath(fpscope.__file__)))')
if [ "$loaded" = "$(realpath "$root/fpscope")" ]; then
  echo "test_installed.sh: $python imports fpscope from the source tree ($loaded), not an installed copy" >&2
  exit 2
fi
echo "test_installed.sh: testing fpscope from $loaded with $("$python" -c 'import sys; print(sys.version.split()[0])')" >&2
[ $# -gt 0 ] || set -- tests
# The source tree's pytest settings (markers, the default selection) with the copy as the root.
"$python" -m pytest -p no:cacheprovider -c "$root/pyproject.toml" --rootdir "$scratch" "$@"
