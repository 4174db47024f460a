#!/bin/bash
# The export check itself: with the list of promised calls it passes on the
# built library and its public headers, and a promised call that no header
# declares and the library does not export makes it fail, naming the call.
#   qvcheckexports_selftest.sh SOURCE_DIR LIBRARY HEADER...
set -euo pipefail
source_dir=$1
library=$2
shift 2
check="$source_dir/scripts/qvcheck-exports.py"
list="$source_dir/scripts/qvpublic-calls.txt"

python3 "$check" --promised "$list" "$library" "$@"

mkdir -p "${QUORVANE_TMPDIR:-/tmp}"
work=$(mktemp -d "${QUORVANE_TMPDIR:-/tmp}/qvexports.XXXXXX")
trap 'rm -rf "$work"' EXIT
{ cat "$list"; echo RVCallNobodyMade; } >"$work/promised.txt"
status=0
python3 "$check" --promised "$work/promised.txt" "$library" "$@" >"$work/out.txt" || status=$?
test "$status" -eq 1 || { echo "a broken promise ended the check with status $status"; exit 1; }
grep -qx "promised but neither declared nor exported: RVCallNobodyMade" "$work/out.txt" ||
  { echo "the check did not name the missing call:"; cat "$work/out.txt"; exit 1; }
echo "export check ok"
