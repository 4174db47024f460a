#!/bin/sh
# One short fuzz run under ctest:
#   qvrunfuzz.sh <target> <scratch folder> <seconds> [seed folders...]
# New inputs go to the scratch folder, never into the seeds. The run leaves the
# library's sync folder in its QUORVANE_TMPDIR; it goes when empty, as a test
# program's clean-up does, and anything left in it stays for the leftover check.
target=$1 scratch=$2 seconds=$3
shift 3
mkdir -p "$scratch" || exit 1
"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 "$scratch" "$@"
status=$?
if [ -n "$QUORVANE_TMPDIR" ]; then rmdir "$QUORVANE_TMPDIR/org.quorvane.sync" 2>/dev/null; fi
exit $status
