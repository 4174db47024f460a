#!/usr/bin/env bash
# Builds the library and its tests out of tree and runs every test in parallel.
#   scripts/test.sh [build-dir] [extra cmake arguments...]
# Fails, too, when a test left anything behind in its temporary folder, and
# when the run created /tmp/Quorvane, the sync folder that running programs
# share: every test must keep to its own QUORVANE_TMPDIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# A clang build (CC=clang CXX=clang++: the sanitizer and fuzz builds) needs clang's packages too.
sets=(test)
case "${CC:-} ${CXX:-}" in *clang*) sets+=(clang) ;; esac
"$root/scripts/ensure-packages.sh" "${sets[@]}"
build=${1:-$root/build}
shift || true
jobs=$(nproc)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j "$jobs"

# Every test's QUORVANE_TMPDIR is a folder of its own in here
# (cmake/QuorvaneTests.cmake); this run owns it, so it starts empty.
test_tmp=$build/test-tmp
rm -rf "$test_tmp"
mkdir -p "$test_tmp"

shared_sync=/tmp/Quorvane
shared_existed=0
if [ -e "$shared_sync" ]; then shared_existed=1; fi
status=0
ctest --test-dir "$build" -j "$jobs" --output-on-failure --no-tests=error || status=$?
if [ "$status" != 0 ]; then
  # Once more at the end, where a reader of only the last lines looks: each
  # failed test's own output (its last 40 lines).
  failed=$build/Testing/Temporary/LastTestsFailed.log
  log=$build/Testing/Temporary/LastTest.log
  if [ -f "$failed" ] && [ -f "$log" ]; then
    cut -d: -f2- "$failed" | while IFS= read -r name; do
      echo "---- output of $name"
      awk -v name="$name" '
        $0 ~ /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); inside = ($0 == name); next }
        inside && /^<end of output>/ { inside = 0 }
        inside' "$log" | tail -n 40
    done
  fi
fi
if [ "$shared_existed" = 0 ] && [ -e "$shared_sync" ]; then
  echo "error: the test run created $shared_sync, the sync folder that running programs share;" \
       "a test ran without a QUORVANE_TMPDIR of its own (remove $shared_sync before the next run)" >&2
  exit 1
fi
# A test's own folder may stay, empty; anything in it was left behind (by the
# test, or by a thread of the library still writing after the test's clean-up).
left=$( { find "$test_tmp" -mindepth 2; find "$test_tmp" -mindepth 1 -maxdepth 1 ! -type d; } | sort)
if [ -n "$left" ]; then
  echo "error: the test run left $(printf '%s\n' "$left" | wc -l) entries in $test_tmp" \
       "(the first folder below it names the test):" >&2
  printf '%s\n' "$left" | head -n 40 >&2
  exit 1
fi
rm -rf "$test_tmp"
exit "$status"
