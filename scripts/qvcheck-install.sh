#!/bin/bash
# Installs a built tree into a private prefix and checks what came out: every
# header of include/ and no other, each plain C on its own; the shared library
# exports exactly the public headers' functions, among them every call of
# scripts/qvpublic-calls.txt (so that a promised call missing from headers and
# exports alike fails too); the installed program finds its library from its
# own folder; the example host builds against the installed tree through
# find_package (on either library) and through pkg-config, and runs; and no
# program or library there has an empty or relative run-path entry.
#   qvcheck-install.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
mkdir -p "${QUORVANE_TMPDIR:-/tmp}"
work=$(mktemp -d "${QUORVANE_TMPDIR:-/tmp}/qvinstall.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The programs run below keep their sync files in the work folder, which goes.
export QUORVANE_TMPDIR="$work"
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name libquorvane.so -printf '%h\n' | head -n1)
test -n "$libdir" || { echo "no shared library installed"; exit 1; }
test -f "$libdir/libquorvane.a" || { echo "no static library installed"; exit 1; }

# The public folder is what gets installed, and each of its headers is plain
# C on its own: internal headers live beside their users.
installed=$(cd "$prefix/include/quorvane" && ls -- *.h)
public=$(cd "$source_dir/include" && ls -- *.h)
if [ "$installed" != "$public" ]; then
  echo "installed headers differ from include/:"; diff <(echo "$public") <(echo "$installed") || true; exit 1
fi
for header in $installed; do
  printf '#include <quorvane/%s>\ntypedef int qvcheck_unit;\n' "$header" |
    cc -std=c99 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" -x c - ||
    { echo "quorvane/$header is not plain C"; exit 1; }
done

python3 "$source_dir/scripts/qvcheck-exports.py" --promised "$source_dir/scripts/qvpublic-calls.txt" \
  "$libdir/libquorvane.so" "$prefix"/include/quorvane/*.h

# The program resolves its library inside the prefix with no help from the
# environment, and runs: over a loopback link it reads back its own
# definition, which is no call, and ends with status 1.
program="$prefix/bin/quorvane-algorithm3"
found=$(env -u LD_LIBRARY_PATH ldd "$program" | awk '/libquorvane\.so/ {print $3}')
found=$(readlink -f "$found")
case "$found" in
  "$libdir"/libquorvane.so*) ;;
  *) echo "the program finds its library at '$found', not in $libdir"; exit 1 ;;
esac
status=0
env -u LD_LIBRARY_PATH "$program" -linkmode Loopback </dev/null >/dev/null 2>&1 || status=$?
test "$status" -eq 1 || { echo "the program ended with status $status"; exit 1; }

# The example host, through the CMake package: on the shared library, and on
# the static one (a C program, so the package brings the C++ run time).
cmake -S "$source_dir/examples" -B "$work/example-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example-cmake" >/dev/null
"$work/example-cmake/qvhost"
if ldd "$work/example-cmake/qvhost_static" | grep -q libquorvane; then
  echo "the host built on the static library loads the shared one"; exit 1
fi
"$work/example-cmake/qvhost_static"

# The installed tree and the example's build hold no empty or relative
# run-path entry either.
bash "$source_dir/scripts/qvcheck-runpaths.sh" "$prefix" "$work/example-cmake"

# And through pkg-config, against the shared library.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags quorvane) "$source_dir/examples/qvhost.c" \
  -o "$work/qvhost-pkgconfig" $(pkg-config --libs quorvane) -Wl,-rpath,"$libdir"
"$work/qvhost-pkgconfig"
echo "installed tree ok"
