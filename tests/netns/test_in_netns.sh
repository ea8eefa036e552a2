#!/usr/bin/env bash
# test_in_netns.sh IN_NETNS: runs the helper as an ordinary user (when run as
# root, through setpriv as nobody; otherwise as the caller).
set -uo pipefail
helper=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$(id -u)" -eq 0 ]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  uid=65534 gid=65534
else
  as_user=()
  uid=$(id -u) gid=$(id -g)
fi

# Inside: loopback up and nothing else, with --veth the pair, and the
# caller's own uid and gid (not a mapped root).
if "${as_user[@]}" unshare -rn true 2>/dev/null; then
  out=$("${as_user[@]}" "$helper" sh -c 'id -u; id -g; ip -br link') || fail "helper failed: $out"
  [ "$(sed -n 1p <<<"$out")" = "$uid" ] || fail "uid inside: $out"
  [ "$(sed -n 2p <<<"$out")" = "$gid" ] || fail "gid inside: $out"
  grep -qE '^lo +UNKNOWN' <<<"$out" || fail "loopback not up: $out"
  [ "$(grep -c . <<<"$out")" -eq 3 ] || fail "more than loopback: $out"
  out=$("${as_user[@]}" "$helper" --veth ip -br addr) || fail "helper --veth failed: $out"
  grep -qE '^v0@v1 +UP +10\.77\.0\.1/24' <<<"$out" || fail "no veth: $out"
  # The command's exit status comes through.
  "${as_user[@]}" "$helper" sh -c 'exit 3'
  [ $? -eq 3 ] || fail "exit status not passed on"
else
  echo "this kernel gives an ordinary user no user namespace: only the skip path is checked"
fi

# A kernel that refuses user namespaces (an unshare that always fails): the
# helper says why and exits with the skip status, without running anything.
mkdir "$work/bin"
printf '#!/bin/sh\necho "unshare: unshare failed: Operation not permitted" >&2\nexit 1\n' >"$work/bin/unshare"
chmod 755 "$work/bin/unshare"
mkdir "$work/w" && chmod 777 "$work/w"
err=$("${as_user[@]}" env PATH="$work/bin:$PATH" "$helper" touch "$work/w/ran" 2>&1)
rc=$?
[ $rc -eq 77 ] || fail "refused namespace gave status $rc, not 77: $err"
grep -q "skipped" <<<"$err" || fail "no reason given: $err"
[ ! -e "$work/w/ran" ] || fail "the command ran without a namespace"
echo "in-netns helper: ok"
