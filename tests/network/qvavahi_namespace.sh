#!/usr/bin/env bash
# Runs a command beside a private DNS-SD daemon: in network, mount and process
# namespaces of its own, with only the loopback interface (multicast on), a
# system message bus and the DNS-SD daemon started on tmpfs copies of their
# run folders and stopped by pid when the command ends. Nothing reaches a real
# interface, and parallel runs never see each other's services.
#   qvavahi_namespace.sh COMMAND [ARGS...]
# Exit status: the command's, 1 when the daemons do not come up, and 77 when
# the kernel refuses the namespaces (the reason goes to standard error).
# The command sees QV_AVAHI_HOST_NAME, the name the daemon publishes its
# address under (services resolve to "<that>.local").
set -euo pipefail

readonly skip_status=77
readonly host_name=quorvane-avahi

if [ "${1:-}" != "--inside" ]; then
  (($#)) || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
  # A process namespace ends every daemon with its first process, even when
  # this script is killed by a time-out before its own clean-up can run;
  # where there is none, the clean-up below stops them.
  for namespaces in "--net --mount --pid --fork --kill-child --mount-proc --propagation private" \
                    "--net --mount --propagation private"; do
    # shellcheck disable=SC2086 # the options are words
    if why=$(unshare $namespaces true 2>&1); then
      # shellcheck disable=SC2086
      exec unshare $namespaces -- bash "$0" --inside "$@"
    fi
  done
  echo "SKIP: the kernel refuses a private network and mount namespace: ${why:-unshare failed}" >&2
  exit "$skip_status"
fi
shift

base=${QUORVANE_TMPDIR:-${TMPDIR:-/tmp}}
mkdir -p "$base"
work=$(mktemp -d "$base/avahi.XXXXXX")
daemons=()

stop_daemons() {
  local status=$?
  local pid
  for ((i = ${#daemons[@]} - 1; i >= 0; i--)); do kill -TERM "${daemons[i]}" 2>/dev/null || true; done
  for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$status" != 0 ] && [ "$status" != "$skip_status" ]; then
    for log in "$work"/*.log; do
      [ -s "$log" ] && { echo "---- $(basename "$log")" >&2; cat "$log" >&2; }
    done
  fi
  rm -rf "$work"
  exit "$status"
}
trap stop_daemons EXIT

# Polls for a condition (a shell command) for up to the given seconds.
wait_for() {
  local seconds=$1
  shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}

ip link set lo up multicast on

# The daemons' fixed run folders, private to this mount namespace. The DNS-SD
# daemon's folder may not exist on a machine where it never ran.
mkdir -p /run/dbus /run/avahi-daemon
mount -t tmpfs -o mode=0755 tmpfs /run/dbus
mount -t tmpfs -o mode=0755 tmpfs /run/avahi-daemon

cat >"$work/bus.conf" <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
EOF

# Loopback only, IPv4 only, no wide area. The host's address record is
# published (on loopback alone): a resolve waits for the target's address and
# times out without it.
cat >"$work/avahi.conf" <<EOF
[server]
host-name=$host_name
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
disallow-other-stacks=no
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no
[reflector]
enable-reflector=no
[rlimits]
EOF

dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
daemons+=($!)
bus_up() { [ -S /run/dbus/system_bus_socket ]; }
wait_for 20 bus_up || { echo "error: the private message bus did not start" >&2; exit 1; }

avahi-daemon --file="$work/avahi.conf" --no-chroot --no-drop-root --no-rlimits --no-proc-title \
  >"$work/avahi.log" 2>&1 &
daemons+=($!)
avahi_up() { grep -q "Server startup complete" "$work/avahi.log"; }
wait_for 20 avahi_up || { echo "error: the private DNS-SD daemon did not start" >&2; exit 1; }

export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
export QV_AVAHI_HOST_NAME=$host_name
"$@"
