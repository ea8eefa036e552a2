#!/usr/bin/env bash
# A program refuses at start a --port that would leave it without the
# discovery it was meant to have: a value out of range (the node would fall
# back to the default port, another site's beacons), and port 0 (no beacons)
# without a gossip endpoint, like --no-beacon. Port 0 with gossip starts.
# Run inside a network namespace of its own (loopback only).
#   test_port.sh DAEMON
set -u
daemon=$1
work=$(mktemp -d /tmp/cgpXXXXXX)
export HOME=$work CORVO_CONF_PATH=$work
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# refused WORDS ARGS...: the daemon with ARGS ends at once with status 1 and
# a message holding WORDS (a program that starts is stopped after 10 s).
refused() {
  local words=$1
  shift
  local out status
  out=$(timeout 10 "$daemon" -n refused "$@" 2>&1)
  status=$?
  [ $status -eq 1 ] || fail "'$*' ended with status $status, not 1: $out"
  grep -qF -- "$words" <<<"$out" || fail "'$*' did not say '$words': $out"
}
refused "--port 70000: the UDP beacon port is 1 to 65535" -p 70000
refused "--port -3: the UDP beacon port is 1 to 65535" -p -3
refused "--port 70000" -p 70000 --gossip tcp://127.0.0.1:5671
refused "--port 0 (no beacons) needs --gossip or --gossip-bind" -p 0
refused "--no-beacon needs --gossip or --gossip-bind" --no-beacon

# Port 0 with gossip: the program starts (and stops cleanly on SIGINT).
for args in "--gossip tcp://127.0.0.1:5671" "--gossip-bind tcp://127.0.0.1:5672"; do
  # shellcheck disable=SC2086
  "$daemon" -n zero -p 0 $args >"$work/zero.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    grep -q "Start looping" "$work/zero.log" && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  grep -q "Start looping" "$work/zero.log" || fail "-p 0 $args did not start: $(cat "$work/zero.log")"
  kill -INT $pid 2>/dev/null
  wait $pid
done

rm -rf "$work"
if [ $failures -gt 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "port ok"
