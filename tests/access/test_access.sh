#!/usr/bin/env bash
# A secured site with real programs: the example daemon ("wheel", with access
# rules), the simulated camera (secured, no rules) and the operator tool with
# several identities. Checks sessions, rights, refusals and their audit, locks
# (hold, expiry, renewal, override), safety commands, names that a key may not
# announce, and that an open site behaves as before. Runs inside a network
# namespace of its own (see CMakeLists.txt).
#   test_access.sh CORVO EXAMPLE_DAEMON SIMCAM [ARCHIVER]
set -uo pipefail

corvo=$1
wheel=$2
simcam=$3
archiver=${4:-}

# shellcheck source-path=SCRIPTDIR source=../support/site.sh
source "$(dirname "$0")/../support/site.sh"
site_begin access
export CORVO_KEY_DIR=$work/keys
mkdir -p "$work/images"
net=(-i lo -p 5911 -s secured)

# as IDENTITY STATUS NAME ARGS...: runs the tool with that identity's key;
# output in $work/out and $work/err.
as() {
  local who=$1 expected=$2 name=$3
  shift 3
  current=$name
  local key=()
  [ "$who" != - ] && key=(--key "$who")
  "$corvo" "${net[@]}" "${key[@]}" --timeout 20 "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    fail "$name: exit status $status, expected $expected"
    sed 's/^/    stdout: /' "$work/out"
    sed 's/^/    stderr: /' "$work/err"
  fi
}
out_lacks() { ! grep -qF -- "$1" "$work/out" || fail "$current: stdout has '$1': $(cat "$work/out")"; }

start() {
  local log=$1
  shift
  "$@" >"$work/$log" 2>&1 &
  pids+=($!)
  last_pid=$!
}

echo "== keys and rules"
"$corvo" keys new wheel >/dev/null || fail "keys new wheel"
"$corvo" keys new archiver >/dev/null || fail "keys new archiver"
"$corvo" keys new camera >/dev/null || fail "keys new camera"
for who in alice bob admin; do
  "$corvo" keys new "$who" --names corvo >/dev/null || fail "keys new $who"
done
# Mallory's own directory: she trusts everyone, nobody trusts her.
CORVO_KEY_DIR=$work/evil "$corvo" keys new mallory --names corvo >/dev/null || fail "keys new mallory"
cp "$work"/keys/*.id "$work/evil/"
cat >"$CORVO_CONF_PATH/wheel.rules" <<'RULES'
# who may change what on the wheel
group operators = alice, admin
allow @operators set *
allow @operators run home
allow @operators, bob run move, stop
allow @operators lock
allow admin override
RULES

echo "== rules on an open site"
"$wheel" "${net[@]}" >"$work/open-rules.log" 2>&1 &
open_pid=$!
pids+=($open_pid)
for _ in $(seq 200); do kill -0 "$open_pid" 2>/dev/null || break; sleep 0.1; done
wait "$open_pid"
status=$?
[ "$status" -eq 1 ] || fail "a daemon with rules on an open site: status $status, expected 1"
grep -qF "need a secured site (--key)" "$work/open-rules.log" || fail "no reason: $(cat "$work/open-rules.log")"

echo "== a secured site end to end"
start wheel.log "$wheel" "${net[@]}" --key wheel
cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
imgw = 64
imgh = 48
expotime = 5
imageroot = $work/images
filepattern = $work/images/t.fits
CONF
start camera.log "$simcam" "${net[@]}" --key camera
start log.out "$corvo" "${net[@]}" --key admin log wheel
if [ -n "$archiver" ]; then
  start archiver.log "$archiver" "${net[@]}" --key archiver --db "$work/history.db"
  archiver_pid=$last_pid
  as alice 0 "archiver on the secured site" info archiver
  out_has "identity: archiver"
fi
as alice 0 "set" set wheel slot 2
out_is "2"
as alice 0 "cmd" --wait focus cmd wheel move 3 1.5
out_is "1.5"
as alice 0 "peers" peers
grep -qE '^wheel +wheel +daemon +IDLE +live +tcp://127\.[0-9.:]+ +wheel +- +(beacon|-)$' "$work/out" || fail "peers: wheel row: $(cat "$work/out")"
grep -qE '^camera +camera +daemon +[A-Z]+ +live +tcp://\S+ +camera +- +(beacon|-)$' "$work/out" || fail "peers: camera row: $(cat "$work/out")"
as alice 0 "info" info wheel
out_has "identity: wheel"
out_has "lock: free"
out_has "lock <seconds:int>"
wait_for "$work/wheel.log" "audit: accepted set slot = 2 (was 0) by alice (corvo at tcp://"
wait_for "$work/wheel.log" "audit: accepted run move 3 1.5 by alice (corvo at tcp://"

echo "== an untrusted key gets no session and no data"
CORVO_KEY_DIR=$work/evil "$corvo" "${net[@]}" --key mallory --timeout 3 peers >"$work/out" 2>&1
grep -q wheel "$work/out" && fail "mallory sees the wheel: $(cat "$work/out")"
CORVO_KEY_DIR=$work/evil "$corvo" "${net[@]}" --key mallory --timeout 3 set wheel slot 5 >"$work/out" 2>&1
status=$?
[ "$status" -eq 3 ] || fail "mallory's set: status $status, expected 3 (no such peer): $(cat "$work/out")"
wait_for "$work/wheel.log" "is not trusted"
as alice 0 "slot unchanged by mallory" get wheel slot
out_is "3"

echo "== a trusted identity without the right is refused at once, and audited"
as bob 5 "set without the right" set wheel slot 4
err_has "wheel refused slot = 4: bob may not set slot"
wait_for "$work/wheel.log" "audit: refused set slot = 4 (was 3) by bob (corvo at tcp://"
# On the site's log group, where the archiver keeps it.
wait_for "$work/log.out" "[warning] audit: refused set slot = 4 (was 3) by bob"
as bob 5 "command without the right" --wait focus cmd wheel home
err_has "wheel refused home: bob may not run home"
wait_for "$work/wheel.log" "audit: refused run home by bob (corvo at tcp://"
as bob 0 "command with the right" --wait focus cmd wheel move 1 2.5
as alice 0 "slot" get wheel slot
out_is "1"

if [ -n "$archiver" ]; then
  echo "== the archiver records the audit under its own identity"
  # Stopped with SIGINT, it writes everything it holds before it ends.
  kill -INT "$archiver_pid"
  wait "$archiver_pid" 2>/dev/null
  as - 0 "archived audit" history --db "$work/history.db" --log wheel --since 1h
  out_has "audit: refused set slot = 4 (was 3) by bob"
  out_has "audit: accepted set slot = 2 (was 0) by alice"
  as - 0 "archived values" history --db "$work/history.db" --csv wheel slot --since 1h
  # Alice's 2, then 3 and Bob's 1 by the move command.
  [ "$(cut -d, -f2 "$work/out" | grep -xE '[0-9]+' | tr '\n' ' ')" = "0 2 3 1 " ] ||
    fail "archived slot values: $(cat "$work/out")"
fi

echo "== a name the key may not announce gains nothing"
start impostor.log "$wheel" "${net[@]}" --key bob --name wheel
wait_for "$work/wheel.log" "may not announce the name 'wheel'"
as alice 0 "one wheel, proven" --json peers
[ "$(grep -o '"name": "wheel"' "$work/out" | wc -l)" -eq 1 ] || fail "impostor listed: $(cat "$work/out")"
out_has '"identity": "wheel"'
as alice 0 "set reaches the real wheel" set wheel slot 2
kill -INT "$last_pid"

echo "== locks"
as alice 0 "lock" lock wheel --for 10m
grep -qE '^wheel locked by alice until 20[0-9-]+T[0-9:]+Z$' "$work/out" || fail "lock: $(cat "$work/out")"
as admin 5 "write of another identity while locked" set wheel slot 5
err_has "locked by alice until"
as alice 0 "the holder writes" set wheel slot 4
as bob 5 "command of another identity while locked" --wait focus cmd wheel move 1 1
err_has "locked by alice"
as bob 0 "safety command while locked" cmd wheel stop
wait_for "$work/wheel.log" "audit: accepted run stop by bob"
as bob 0 "peers show the holder" peers
grep -qE '^wheel .* wheel +alice until 20' "$work/out" || fail "peers: no holder: $(cat "$work/out")"
as bob 0 "info shows the holder" info wheel
out_has "lock: alice until 20"
# Renewed by the holder for 2 s: the lease then ends by the daemon's timer,
# broadcast to everyone.
as alice 0 "renew for a short lease" lock wheel --for 2s
wait_for "$work/wheel.log" "audit: the lock of alice expired"
as admin 0 "write after expiry" set wheel slot 5
as admin 0 "free after expiry" info wheel
out_has "lock: free"

as alice 0 "lock again" lock wheel --for 10m
as alice 0 "renew" lock wheel --for 20m
as bob 5 "lock without the right" lock wheel
err_has "bob may not lock"
as bob 5 "unlock of another's lock" unlock wheel
as admin 0 "break with the override right" unlock wheel
out_is "unlocked wheel"
wait_for "$work/wheel.log" "[warning] audit: accepted unlock by admin (corvo at"
grep -qF "breaking the lock of alice" "$work/wheel.log" || fail "override not logged"
as admin 0 "free again" info wheel
out_has "lock: free"

echo "== hold renews until interrupted"
start hold.out "$corvo" "${net[@]}" --key alice --timeout 20 lock wheel --hold --for 4s
hold_pid=$last_pid
wait_for "$work/hold.out" "wheel locked by alice"
# Renewed every 2 s: the third confirmation comes after the first 4 s lease
# would have ended.
for _ in $(seq 300); do [ "$(grep -c 'locked by alice' "$work/hold.out")" -ge 3 ] && break; sleep 0.1; done
[ "$(grep -c 'locked by alice' "$work/hold.out")" -ge 3 ] || fail "hold did not renew: $(cat "$work/hold.out")"
as admin 5 "held lock" set wheel slot 0
kill -INT "$hold_pid"
wait "$hold_pid"
status=$?
[ "$status" -eq 0 ] || fail "hold interrupted: status $status"
grep -qF "released the lock of wheel" "$work/hold.out" || fail "hold did not release: $(cat "$work/hold.out")"
wait_for "$work/wheel.log" "audit: accepted unlock by alice"
as admin 0 "released" set wheel slot 0

echo "== secured without rules: every trusted identity has every right; abort passes a lock"
as bob 0 "camera lock" lock camera
as alice 5 "expose while locked" --wait filename cmd camera expose
err_has "locked by bob"
as alice 0 "abort while locked" cmd camera abort
wait_for "$work/camera.log" "audit: accepted run abort by alice"
as bob 0 "camera unlock" unlock camera

echo "== usage"
as alice 2 "bad --for" lock wheel --for 2d
as alice 2 "--for elsewhere" --for 5m get wheel slot
as - 2 "lock without a key" lock wheel
err_has "locks need a secured site: give --key"

echo "== an open site behaves as before"
open_net=(-i lo -p 5913 -s open)
start open.log "$wheel" "${open_net[@]}" --name wheelopen
"$corvo" "${open_net[@]}" --timeout 20 set wheelopen slot 3 >"$work/out" 2>&1 || fail "open set: $(cat "$work/out")"
"$corvo" "${open_net[@]}" --timeout 20 peers >"$work/out" 2>&1
grep -qE '^wheelopen +wheel +daemon +IDLE +live +tcp://\S+ +(beacon|-)$' "$work/out" || fail "open peers: $(cat "$work/out")"
grep -q IDENTITY "$work/out" && fail "open peers show identities"
"$corvo" "${open_net[@]}" --timeout 20 info wheelopen >"$work/out" 2>&1
grep -qE "^  (lock|unlock)" "$work/out" && fail "an open daemon offers a lock: $(cat "$work/out")"
wait_for "$work/open.log" "audit: accepted set slot = 3 (was 0) by corvo at tcp://"
# An open tool and a secured daemon do not see each other.
"$corvo" "${net[@]}" --timeout 3 get wheel slot >"$work/out" 2>&1
status=$?
[ "$status" -eq 3 ] || fail "an open tool reached the secured wheel: status $status"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  for log in wheel camera; do
    echo "--- $log.log (tail)"
    tail -30 "$work/$log.log"
  done
  exit 1
fi
echo "all access checks passed"
