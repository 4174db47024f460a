#!/usr/bin/env bash
# Builds the library and the Algorithm3 program, installs them into a private
# prefix, builds the example host against that tree and runs it: the host
# launches the program over the default device, sends one Algorithm3 call and
# prints the answer.
#   scripts/run.sh [build-dir]
# On a fresh Debian 12 machine as root it first installs what the build lacks
# (the library's packages alone).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/ensure-packages.sh" run
# Absolute: the example's build looks for the installed tree from elsewhere.
build=$(realpath -m "${1:-$root/build-run}")
jobs=$(nproc)
# A new build leaves out the tests and the benchmarks; a folder configured
# before keeps its options (CI runs this on the test command's build).
options=()
[ -f "$build/CMakeCache.txt" ] || options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_TESTS=OFF -DQV_BENCH=OFF)
cmake -S "$root" -B "$build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build" -j "$jobs" --target quorvane quorvane_shared quorvane-algorithm3 >/dev/null
prefix="$build/run-prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$root/examples" -B "$build/run-host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$build/run-host" --target qvalgorithm3host >/dev/null
# The link's sync files go to a folder of this run's own.
export QUORVANE_TMPDIR="${QUORVANE_TMPDIR:-$build/run-tmp}"
mkdir -p "$QUORVANE_TMPDIR"
"$build/run-host/qvalgorithm3host" "$prefix/bin/quorvane-algorithm3"
