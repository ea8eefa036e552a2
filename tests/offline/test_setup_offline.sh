#!/usr/bin/env bash
# test_setup_offline.sh SOURCE_DIR WORK_DIR: runs inside a network namespace
# whose default route swallows every packet (in-netns.sh --swallow), as on an
# instrument network cut off from the internet. The setup of the test group
# must not wait for the optional interoperability peer: it ends, says the
# peer will be skipped, and installs nothing. (The test's timeout catches a
# setup that waits for the fetch.)
set -uo pipefail
src=$1
work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

# The namespace really swallows: a connection is neither made nor refused.
timeout 3 bash -c 'exec 3<>/dev/tcp/192.0.2.1/80' 2>/dev/null
rc=$?
[ $rc -eq 124 ] || fail "a connection attempt ended with status $rc instead of hanging"

command -v npm >/dev/null || { echo "skipped: npm is not installed, setup fetches nothing"; exit 77; }

rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
out=$(CORVO_NPM_DIR="$work/npm" npm_config_cache="$work/npm-cache" bash "$src/scripts/setup.sh" check 2>&1)
rc=$?
if [ $rc -ne 0 ] && grep -q "run as root to install them" <<<"$out"; then
  echo "skipped: packages of the test group are missing and only root may install them: $out"
  exit 77
fi
[ $rc -eq 0 ] || fail "setup failed (status $rc): $out"
grep -q "setup: zyre.js could not be installed; the interoperability test will be skipped" <<<"$out" \
  || fail "no skip message: $out"
[ ! -e "$work/npm/node_modules/zyre.js" ] || fail "something was installed: $out"
echo "offline setup: ok ($out)"
