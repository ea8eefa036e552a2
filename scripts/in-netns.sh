#!/usr/bin/env bash
# Runs a command inside a network namespace of its own, so that nothing it
# sends can leave the machine. Inside, loopback is up; with --veth a veth pair
# v0/v1 is added and v0 gets 10.77.0.1/24 (a broadcast-capable interface for
# discovery tests).
#   in-netns.sh [--veth] COMMAND [ARGS...]
set -euo pipefail
if [ "${1:-}" != "--inside" ]; then
  exec unshare -n -- "$0" --inside "$@"
fi
shift
veth=0
if [ "${1:-}" = "--veth" ]; then veth=1; shift; fi
ip link set lo up
if [ $veth = 1 ]; then
  ip link add v0 type veth peer name v1
  ip addr add 10.77.0.1/24 dev v0
  ip link set v0 up
  ip link set v1 up
fi
exec "$@"
