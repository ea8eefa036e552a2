#!/usr/bin/env bash
# Runs a command inside a network namespace of its own, so that nothing it
# sends can leave the machine. Inside, loopback is up; with --veth a veth pair
# v0/v1 is added and v0 gets 10.77.0.1/24 (a broadcast-capable interface for
# discovery tests).
#   in-netns.sh [--veth] COMMAND [ARGS...]
#
# As root the namespace is made directly (unshare -n). An ordinary user gets
# one inside a user namespace (unshare -rn) where the kernel allows it; the
# command then runs under the user's own uid and gid again. Where no
# namespace can be made, it exits with status 77 (the skip status of the
# CTest network tests) and says why.
set -euo pipefail
readonly SKIP=77

if [ "${1:-}" != "--inside" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare -n -- "$0" --inside root "$@"
  fi
  if ! unshare -rn true 2>/dev/null; then
    echo "in-netns: skipped: this kernel gives an ordinary user no network namespace" \
         "(user namespaces are disabled); run as root, or allow them" \
         "(sysctl user.max_user_namespaces, kernel.unprivileged_userns_clone)" >&2
    exit $SKIP
  fi
  exec unshare -rn -- "$0" --inside "$(id -u):$(id -g)" "$@"
fi
shift
owner=$1
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
if [ "$owner" = root ]; then
  exec "$@"
fi
# Back to the caller's own identity (programs such as PostgreSQL refuse to
# run as root, even a mapped one).
exec unshare --map-user="${owner%%:*}" --map-group="${owner##*:}" -- "$@"
