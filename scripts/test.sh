#!/usr/bin/env bash
# Builds the library and its tests out of tree and runs every test in parallel.
#   scripts/test.sh [build-dir] [extra cmake arguments...]
# Fails, too, when the run created /tmp/Quorvane, the sync folder that running
# programs share: every test must keep to its own QUORVANE_TMPDIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/ensure-packages.sh"
build=${1:-$root/build}
shift || true
jobs=$(nproc)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j "$jobs"

shared_sync=/tmp/Quorvane
shared_existed=0
if [ -e "$shared_sync" ]; then shared_existed=1; fi
status=0
ctest --test-dir "$build" -j "$jobs" --output-on-failure --no-tests=error || status=$?
if [ "$shared_existed" = 0 ] && [ -e "$shared_sync" ]; then
  echo "error: the test run created $shared_sync, the sync folder that running programs share;" \
       "a test ran without a QUORVANE_TMPDIR of its own (remove $shared_sync before the next run)" >&2
  exit 1
fi
exit "$status"
