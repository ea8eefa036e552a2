#!/usr/bin/env bash
# Runs a command inside a network namespace of its own, so that nothing it
# sends can leave the machine. Inside, loopback is up; with --veth a veth pair
# v0/v1 is added and v0 gets 10.77.0.1/24 (a broadcast-capable interface for
# discovery tests). --swallow adds the pair and a default route through it
# whose packets vanish (v1 drops frames addressed to another station), as on
# a network without a way out that does not answer: connections and name
# lookups wait instead of failing at once. Nothing leaves the namespace.
#   in-netns.sh [--veth | --swallow] COMMAND [ARGS...]
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
swallow=0
case "${1:-}" in
  --veth) veth=1; shift ;;
  --swallow) veth=1; swallow=1; shift ;;
esac
ip link set lo up
if [ $veth = 1 ]; then
  ip link add v0 type veth peer name v1
  ip addr add 10.77.0.1/24 dev v0
  ip link set v0 up
  ip link set v1 up
fi
if [ $swallow = 1 ]; then
  ip neigh add 10.77.0.2 lladdr 02:00:00:00:00:02 dev v0 nud permanent
  ip route add default via 10.77.0.2 dev v0
fi
if [ "$owner" = root ]; then
  exec "$@"
fi
# Back to the caller's own identity (programs such as PostgreSQL refuse to
# run as root, even a mapped one).
exec unshare --map-user="${owner%%:*}" --map-group="${owner##*:}" -- "$@"
