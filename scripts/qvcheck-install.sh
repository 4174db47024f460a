#!/bin/bash
# Installs a built tree into a private prefix and checks what came out: the
# shared library exports exactly the public headers' functions, the installed
# program finds its library from its own folder, and the example host builds
# against the installed tree through find_package and through pkg-config, and
# runs.
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

python3 "$source_dir/scripts/qvcheck-exports.py" "$libdir/libquorvane.so" "$prefix"/include/quorvane/*.h

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

# The example host, through the CMake package.
cmake -S "$source_dir/examples" -B "$work/example-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example-cmake" >/dev/null
"$work/example-cmake/qvhost"

# And through pkg-config, against the shared library.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags quorvane) "$source_dir/examples/qvhost.c" \
  -o "$work/qvhost-pkgconfig" $(pkg-config --libs quorvane) -Wl,-rpath,"$libdir"
"$work/qvhost-pkgconfig"
echo "installed tree ok"
