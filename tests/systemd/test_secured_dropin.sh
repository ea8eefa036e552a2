#!/usr/bin/env bash
# test_secured_dropin.sh TEMPLATE README [CORVO_TOOL DAEMON IN_NETNS]: the drop-in
# README.md gives for a secured daemon ("Running a daemon as a service") is
# one systemd reads without complaint on the template's instance, and it runs
# the daemon as a static user with a key directory of its own. With the
# programs given (and as root), a key made by that user is accepted when the
# daemon runs as it, and refused when it runs as another uid (a dynamic user).
set -uo pipefail
template=$1 readme=$2
command -v systemd-analyze >/dev/null || { echo "skipped: no systemd-analyze"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The ini block whose first line names the drop-in.
awk '/^```ini$/ {block = 1; first = 1; next}
     block && /^```$/ {block = 0; next}
     block && first {first = 0; keep = ($0 ~ /corvo@wheel\.service\.d\/secured\.conf$/)}
     block && keep' "$readme" > "$work/secured.conf"
[ -s "$work/secured.conf" ] || fail "README has no drop-in corvo@wheel.service.d/secured.conf"
grep -qx 'DynamicUser=no' "$work/secured.conf" || fail "the drop-in keeps the dynamic user"
user=$(sed -n 's/^User=//p' "$work/secured.conf")
keys=$(sed -n 's/^Environment=CORVO_KEY_DIR=//p' "$work/secured.conf")
[ -n "$user" ] && [ -n "$keys" ] || fail "the drop-in names no static User= or key directory"

mkdir "$work/units" "$work/units/corvo@wheel.service.d"
cp "$template" "$work/units/corvo@wheel.service"
cp "$work/secured.conf" "$work/units/corvo@wheel.service.d/"
if ! out=$(cd "$work/units" && systemd-analyze verify ./corvo@wheel.service 2>&1) || [ -n "$out" ]; then
  fail "systemd-analyze verify with the drop-in: $out"
fi
# (systemd reads the drop-in: a bad line in it is reported.)
echo 'NoSuchSetting=1' >> "$work/units/corvo@wheel.service.d/secured.conf"
out=$(cd "$work/units" && systemd-analyze verify ./corvo@wheel.service 2>&1)
[[ $out == *NoSuchSetting* ]] || fail "systemd-analyze did not read the drop-in: $out"

if [ $# -ge 5 ] && [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  tool=$3 daemon=$4 netns=$5
  owner=61234 dynamic=61235  # the static user, and a uid as a dynamic user gets one
  chmod 755 "$work"
  dir="$work/keys"
  install -d -o $owner -g $owner -m 0700 "$dir"
  as() { local uid=$1; shift; HOME=/nonexistent setpriv --reuid="$uid" --regid="$uid" --clear-groups "$@"; }
  as $owner "$tool" keys new wheel --keys "$dir" --groups devices >/dev/null || fail "corvo keys new as the static user"
  run() {  # the daemon as uid $1, stopped after a few seconds if it keeps running
    as "$1" env CORVO_KEY_DIR="$dir" timeout -s INT 4 "$daemon" --interface lo --site dropin --name wheel --key wheel 2>&1
  }
  out=$("$netns" bash -c "$(declare -f as run); dir=$dir daemon=$daemon; run $owner; echo \"status \$?\"")
  [[ $out == *"status 124"* ]] || fail "the daemon did not run as the static user with its own key: $out"
  # Even readable by it, the key is refused to any other uid.
  chmod 755 "$dir" && chmod 644 "$dir/wheel.key"
  out=$("$netns" bash -c "$(declare -f as run); dir=$dir daemon=$daemon; run $dynamic")
  [[ $out == *"the secret key belongs to another user"* ]] || fail "another uid was not refused the key: $out"
  echo "static user's key accepted, another uid's refused"
fi
echo "drop-in ok"
