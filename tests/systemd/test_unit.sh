#!/usr/bin/env bash
# test_unit.sh TEMPLATE: verifies an instance of the template unit (a
# template itself cannot be verified), and that it runs the daemon in the
# foreground under the instance name and stops it with SIGINT.
set -uo pipefail
template=$1
command -v systemd-analyze >/dev/null || { echo "skipped: no systemd-analyze"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$template" "$work/corvo@wheel.service"
if ! out=$(systemd-analyze verify "$work/corvo@wheel.service" 2>&1) || [ -n "$out" ]; then
  echo "FAIL: systemd-analyze verify: $out" >&2
  exit 1
fi
# What systemd makes of it for the instance "wheel".
exec_start=$(grep -E '^ExecStart=' "$template")
case $exec_start in
  *--daemon*) echo "FAIL: the unit backgrounds the daemon: $exec_start" >&2; exit 1 ;;
  *"--name %i"*) ;;
  *) echo "FAIL: the daemon does not run under the instance name: $exec_start" >&2; exit 1 ;;
esac
grep -qx 'KillSignal=SIGINT' "$template" || { echo "FAIL: not stopped with SIGINT" >&2; exit 1; }
grep -qx 'Restart=on-failure' "$template" || { echo "FAIL: not restarted on failure" >&2; exit 1; }
echo "unit ok"
