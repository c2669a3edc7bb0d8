#!/usr/bin/env bash
# The independent whole-range checks the package's audits are compared with: the C library's logf and
# numpy's exp over every binary32 input, one after the other, on both cores, in a session of their own at
# the lowest priority (they run only on what other sessions leave idle).
#
#   bash tools/independent/run_checks.sh OUT_DIR [--limit N]
#
# Builds check.c (gcc, OpenMP, libmpfr-dev) into OUT_DIR, then writes there for each check NAME.txt (the
# counts), NAME.progress (check's progress lines) and NAME.time (wall and user time); `done` when both have
# finished. --limit N checks only the first N inputs (a smoke run of seconds). PYTHON (default python3)
# needs numpy. A whole range takes hours: the two checks cost about 2 CPU hours each here.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ]; then
  echo "usage: run_checks.sh OUT_DIR [--limit N]" >&2
  exit 2
fi
out=$1
shift
limit=()
if [ $# -gt 0 ]; then
  if [ $# -ne 2 ] || [ "$1" != --limit ]; then
    echo "usage: run_checks.sh OUT_DIR [--limit N]" >&2
    exit 2
  fi
  limit=(--limit "$2")
fi
python=${PYTHON:-python3}
mkdir -p "$out"
if [ -z "${RUN_CHECKS_OWN_SESSION:-}" ]; then
  gcc -O2 -fopenmp "$here/check.c" -lmpfr -lm -o "$out/check"
fi
# Where the kernel groups processes by session (sched_autogroup), nice only ranks processes within their
# own session's group, and the group of a shell that starts these checks weighs as much as any other: the
# checks would take a full share from everyone's interactive work. In a session of their own, whose group
# is itself set to nice 19, they take only what is left.
if [ -z "${RUN_CHECKS_OWN_SESSION:-}" ] && command -v setsid >/dev/null; then
  RUN_CHECKS_OWN_SESSION=1 exec setsid --wait bash "$0" "$out" "$@"
fi
if [ -w /proc/self/autogroup ]; then
  echo 19 > /proc/self/autogroup 2>/dev/null || true
fi
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-2}
rm -f "$out/done"
/usr/bin/time -o "$out/log_libm.time" -f "elapsed %e s, user %U s" nice -n 19 "$out/check" log libm "${limit[@]}" \
  > "$out/log_libm.txt" 2> "$out/log_libm.progress"
/usr/bin/time -o "$out/exp_numpy.time" -f "elapsed %e s, user %U s" \
  bash -c 'set -o pipefail; nice -n 19 "$0" "$1" "${@:4}" | nice -n 19 "$2" exp stdin "${@:4}"' \
  "$python" "$here/dump_numpy_exp.py" "$out/check" _ "${limit[@]}" > "$out/exp_numpy.txt" 2> "$out/exp_numpy.progress"
touch "$out/done"
