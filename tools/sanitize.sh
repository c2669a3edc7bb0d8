#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/ and runs the
# whole pytest suite against that build. Fails on a failing test and on any sanitizer report, including
# one from a subprocess that a test started.
#
# The sanitized module never replaces the release fpscope/_core.abi3.so in the source tree: it is built
# into build-sanitize/pkg/fpscope/ beside a copy of the package's Python files, and pytest runs with that
# directory as its working directory, so `import fpscope` finds the sanitized copy first.
#
# Arguments go to pytest (for example: bash tools/sanitize.sh tests/test_frame.py -x); paths are taken
# relative to the repository root, and without one the whole of `tests` runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build-sanitize}
pkg=$build/pkg
start=$SECONDS

cmake -S "$root" -B "$build" -G Ninja \
  -DFPSCOPE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFPSCOPE_NATIVE_TESTS=OFF -DFPSCOPE_OUTPUT_DIR="$pkg/fpscope" \
  -DFPSCOPE_WARNINGS_AS_ERRORS="${FPSCOPE_WERROR:-OFF}" >/dev/null
cmake --build "$build"

# The rest of the package (Python files, stubs, data) next to the sanitized module; stale copies of
# removed files go first.
mkdir -p "$pkg/fpscope"
find "$pkg/fpscope" -mindepth 1 -maxdepth 1 ! -name '*.so' -exec rm -rf {} +
for item in "$root"/fpscope/*; do
  case "$item" in
    *.so|*/__pycache__) ;;
    *) cp -r "$item" "$pkg/fpscope/" ;;
  esac
done

asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
for lib in "$asan_runtime" "$ubsan_runtime"; do
  if [ ! -e "$lib" ]; then
    echo "sanitize.sh: sanitizer runtime $lib not found" >&2
    exit 2
  fi
done

# Reports go to files so that one written by a child process is seen as well; they are shown, and turn
# the exit status into a failure, however the script ends.
logs=$(mktemp -d)
finish() {
  local status=$?
  local reports
  unset LD_PRELOAD
  reports=$(find "$logs" -type f | sort)
  if [ -n "$reports" ]; then
    echo "sanitize.sh: sanitizer reports:" >&2
    for report in $reports; do
      echo "--- $report" >&2
      cat "$report" >&2
    done
    [ "$status" -ne 0 ] || status=1
  fi
  rm -rf "$logs"
  echo "sanitize.sh: finished in $((SECONDS - start)) s with status $status" >&2
  exit "$status"
}
trap finish EXIT
# The interpreter itself does not free everything at exit, so leak detection would only report that.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export LD_PRELOAD="$asan_runtime $ubsan_runtime"
# Working from the package copy also keeps hypothesis's example database out of the source tree.
cd "$pkg"

loaded=$(python3 -c 'import fpscope._core as c; print(c.__file__)')
if [ "$loaded" != "$pkg/fpscope/_core.abi3.so" ]; then
  echo "sanitize.sh: imported $loaded instead of the sanitized module" >&2
  exit 2
fi

# Without a test path among the arguments (options alone, such as -q -x), the whole suite runs: pytest's
# own default would search the working directory, which is the package copy.
args=()
paths=0
for arg in "$@"; do
  if [[ $arg != -* && -e $root/${arg%%::*} ]]; then arg=$root/$arg; paths=1; fi
  args+=("$arg")
done
[ $paths -eq 1 ] || args+=("$root/tests")

python3 -m pytest -q -p no:cacheprovider --rootdir "$root" -c "$root/pyproject.toml" "${args[@]}"
