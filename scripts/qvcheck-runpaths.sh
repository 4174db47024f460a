#!/bin/bash
# Checks every program and shared library below the given folders: each entry
# of its run path (RUNPATH or RPATH) is absolute or starts at $ORIGIN (an
# empty or relative entry makes the loader search the current folder), and
# the loader finds every library it needs. Folders named test-tmp (what the
# tests make while they run) are left out.
#   qvcheck-runpaths.sh FOLDER...
set -euo pipefail
mapfile -d '' candidates < <(find "$@" -name test-tmp -prune -o -type f \( -perm -u+x -o -name '*.so*' \) -print0)
# One readelf for all: "File: NAME" starts each file's part; files that are
# not ELF (scripts) get no type line and drop out.
report=$( ((${#candidates[@]})) && readelf -h -l -d "${candidates[@]}" 2>/dev/null |
  awk '
    function done_file() {
      if (name != "" && elf) printf "%s\037%s\037%s\n", name, interpreter, paths
    }
    /^File: / { done_file(); name = substr($0, 7); elf = 0; interpreter = ""; paths = "-"; next }
    /^  Type: +(EXEC|DYN)/ { elf = 1 }
    /Requesting program interpreter: / { sub(/.*interpreter: /, ""); sub(/\]$/, ""); interpreter = $0 }
    /Library r(un)?path: \[/ { sub(/.*path: \[/, ""); sub(/\]$/, ""); paths = $0 }
    END { done_file() }') || true
if [ -z "$report" ]; then
  echo "no program or shared library below $*"
  exit 1
fi
# Libraries name no loader: the one that starts the shell lists theirs.
system_loader=$(readelf -l /bin/sh | sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p')
checked=0
failed=0
# Fields apart by a unit separator: a blank one stays a field.
while IFS=$'\037' read -r file loader paths; do
  checked=$((checked + 1))
  if [ "$paths" != "-" ]; then
    rest=$paths
    while :; do
      entry=${rest%%:*}
      case "$entry" in
        /* | '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
        *) echo "$file: run path [$paths] has the entry '$entry' (empty or relative)"; failed=1 ;;
      esac
      [[ $rest == *:* ]] || break
      rest=${rest#*:}
    done
  fi
  # What ldd shows, asked of the loader itself (ldd is a slow script).
  listed=$(env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 "${loader:-$system_loader}" "$file" 2>&1) || true
  if grep -q 'not found' <<<"$listed"; then
    echo "$file: the loader does not find $(awk '/not found/ {print $1}' <<<"$listed" | paste -sd' ')"
    failed=1
  fi
done <<<"$report"
[ "$failed" = 0 ] || exit 1
echo "run paths ok ($checked programs and libraries)"
