#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev llvm libgtest-dev libgmock-dev
          libbenchmark-dev uuid-dev python3 iproute2 pkg-config
          dbus avahi-daemon avahi-utils libavahi-compat-libdnssd1
          locales)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
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
