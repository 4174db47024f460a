#!/usr/bin/env bash
# Installs the Debian packages of the named sets, when missing.
#   scripts/ensure-packages.sh SET...
# run:   the library, the program and the example hosts (the run command)
# test:  run, and the tests and the benchmarks (the test command)
# clang: the clang builds: sanitizers and fuzz targets
set -euo pipefail
run=(cmake ninja-build g++ uuid-dev)
test=("${run[@]}" libgtest-dev libgmock-dev libbenchmark-dev python3 iproute2 pkg-config
      dbus avahi-daemon avahi-utils libavahi-compat-libdnssd1 locales)
clang=(clang libclang-rt-14-dev llvm)
((${#@})) || { echo "usage: $0 run|test|clang..." >&2; exit 2; }
packages=()
for set in "$@"; do
  case "$set" in
    run) packages+=("${run[@]}") ;;
    test) packages+=("${test[@]}") ;;
    clang) packages+=("${clang[@]}") ;;
    *) echo "$0: no package set '$set' (run, test, clang)" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  # Once each, in the order named.
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | awk '!seen[$0]++')
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The service-discovery tests start their own daemons in a private network
  # namespace; installing must not start the machine's on its real interfaces.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
