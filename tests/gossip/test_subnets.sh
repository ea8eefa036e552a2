#!/usr/bin/env bash
# One site across three subnets joined by a router that forwards IP but no
# broadcast: namespaces made here (the router is this script's own, each
# subnet a child namespace joined to it by a veth pair), two rendezvous
# points (subnets 1 and 2), a daemon and clients in every subnet.
#   test_subnets.sh BUILD_DIR SOURCE_DIR [PYTHON]
# As root the namespaces are made directly; an ordinary user gets them
# inside a user namespace where the kernel allows it; elsewhere the test is
# skipped (status 77). Every process and namespace ends with the script.
set -uo pipefail
readonly SKIP=77

if [ "${1:-}" != "--inside" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare -n -- "$0" --inside "$@"
  fi
  if ! unshare -rn true 2>/dev/null; then
    echo "skipped: no network namespace for an ordinary user (user namespaces are disabled); run as root" >&2
    exit $SKIP
  fi
  exec unshare -rn -- "$0" --inside "$@"
fi
shift
build=$1
src=$2
python=${3:-/usr/bin/python3}
for tool in ip nsenter unshare; do
  command -v $tool >/dev/null || { echo "skipped: no $tool" >&2; exit $SKIP; }
done

corvo=$build/tools/corvo/corvo
daemon=$build/examples/device/corvo-example-daemon
rendezvous=$build/apps/rendezvous/corvo-rendezvous
archiver=$build/apps/archiver/corvo-archiver
web=$build/apps/web/corvo-web
probe="$python $src/tests/gossip/probe.py"
export PYTHONPATH=$build/python PYTHONDONTWRITEBYTECODE=1

work=$(mktemp -d /tmp/cgsXXXXXX)
export HOME=$work/home CORVO_CONF_PATH=$work/conf
mkdir -p "$HOME" "$CORVO_CONF_PATH"
declare -A pid=()
holders=()
failures=0

stop_all() {
  for name in "${!pid[@]}"; do kill -INT "${pid[$name]}" 2>/dev/null; done
  sleep 0.5
  for name in "${!pid[@]}"; do kill -KILL "${pid[$name]}" 2>/dev/null; done
  for holder in "${holders[@]}"; do kill -KILL "$holder" 2>/dev/null; done
  wait 2>/dev/null
  if [ $failures -gt 0 ]; then
    for log in "$work"/*.log; do echo "--- $log"; tail -n 15 "$log"; done
  fi
  rm -rf "$work"
}
trap stop_all EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# ---- the network: subnet i is 10.81.i.0/24, its programs on 10.81.i.2 ----
ip link set lo up
echo 1 >/proc/sys/net/ipv4/ip_forward || { echo "skipped: no IP forwarding in the router namespace" >&2; exit $SKIP; }
ns=()
for i in 1 2 3; do
  unshare -n -- sleep 3600 &
  ns[$i]=$!
  holders+=(${ns[$i]})
  own=$(readlink /proc/self/ns/net)
  for _ in $(seq 100); do
    [ "$(readlink /proc/${ns[$i]}/ns/net 2>/dev/null)" != "$own" ] && break
    sleep 0.05
  done
  ip link add r$i type veth peer name e$i netns "${ns[$i]}"
  ip addr add 10.81.$i.1/24 dev r$i
  ip link set r$i up
done
# Runs a command in subnet i.
sub() {
  local i=$1
  shift
  nsenter --net=/proc/${ns[$i]}/ns/net -- "$@"
}
for i in 1 2 3; do
  sub $i ip link set lo up
  sub $i ip addr add 10.81.$i.2/24 dev e$i
  sub $i ip link set e$i up
  sub $i ip route add default via 10.81.$i.1
done

site=gsn
R1=tcp://10.81.1.2:5671
R2=tcp://10.81.2.2:5671
G=$R1,$R2

# start NAME SUBNET COMMAND...: a program in the background, logged to NAME.log.
start() {
  local name=$1 i=$2
  shift 2
  # exec: the process signalled later is the program itself.
  (exec nsenter --net=/proc/${ns[$i]}/ns/net -- "$@") >"$work/$name.log" 2>&1 &
  pid[$name]=$!
}
# The names of the daemons one `corvo peers` lists from subnet i (extra options follow).
daemons_seen() {
  local i=$1
  shift
  sub "$i" "$corvo" -s $site -i e$i -t 3 "$@" peers 2>/dev/null | awk 'NR > 1 && $3 == "daemon" { print $1 }' | sort |
    tr '\n' ' '
}
# until SECONDS COMMAND...: true once the command succeeds, tried every half second.
until_ok() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.5
  done
}
# until_says SECONDS EXPECTED COMMAND...: runs COMMAND again until it prints EXPECTED.
until_says() {
  local deadline=$((SECONDS + $1)) want=$2
  shift 2
  until [ "$("$@")" = "$want" ]; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.5
  done
}

start rv1 1 "$rendezvous" --gossip-bind $R1 --gossip $R2
start rv2 2 "$rendezvous" --gossip-bind $R2 --gossip $R1
for i in 1 2 3; do
  start d$i $i "$daemon" -s $site -i e$i --name d$i --gossip $G
done
start archiver 3 "$archiver" -s $site -i e3 --gossip $G --no-beacon --db "$work/history.db"
start web 2 "$web" -s $site -i e2 --gossip $G --no-beacon --http-port 8091
for i in 1 2 3; do
  start watch$i $i $probe watch "$work/watch$i.out" $site e$i $G
done

echo "== every client in every subnet sees every daemon"
for i in 1 2 3; do
  want="archiver d1 d2 d3 "
  until_says 40 "$want" daemons_seen $i --gossip $G --no-beacon ||
    fail "corvo in subnet $i sees '$(daemons_seen $i --gossip $G --no-beacon)', not '$want'"
done

echo "== corvo peers says how each peer was found"
found() {  # found SUBNET PEER OPTIONS...: the FOUND column of PEER's row
  local i=$1 peer=$2
  shift 2
  sub "$i" "$corvo" -s $site -i e$i -t 3 "$@" peers 2>/dev/null | awk -v p="$peer" '$1 == p { print $NF }'
}
out=$(found 1 d3 --gossip $G --no-beacon)
[ "$out" = gossip ] || fail "d3 seen from subnet 1 through gossip alone is found by '$out'"
out=$(found 2 d2)
[ "$out" = beacon ] || fail "d2 seen from its own subnet without gossip is found by '$out'"
both() { [ "$(found 2 d2 --gossip $G)" = "beacon,gossip" ]; }
until_ok 20 both || fail "d2 seen from its own subnet with gossip too is found by '$(found 2 d2 --gossip $G)'"
out=$(sub 1 "$corvo" -s $site -i e1 --gossip $G --no-beacon -t 3 --json peers 2>&1)
json_found=$(echo "$out" | $python -c 'import json, sys; print(*[p["found_by"] for p in json.load(sys.stdin) if p["name"] == "d2"])')
[ "$json_found" = gossip ] || fail "peers --json gives d2 seen from subnet 1 the found_by '$json_found': $out"

echo "== beacons stay in their subnet: without gossip, subnet 2 sees only its own daemon"
seen=$(daemons_seen 2)
[ "$seen" = "d2 " ] || fail "a beacon-only client of subnet 2 sees '$seen'"

echo "== corvo, a Python client, the archiver and the web gateway across subnets"
out=$(sub 1 "$corvo" -s $site -i e1 --gossip $G -t 10 set d3 slot 4 2>&1)
[ "$out" = 4 ] || fail "corvo in subnet 1 could not set d3's slot: $out"
out=$(sub 2 $probe get $site e2 $G d3 slot 2>&1)
[ "$out" = 4 ] || fail "the Python client in subnet 2 reads d3's slot as '$out'"
recorded() {
  sub 1 "$corvo" -s $site -i e1 --gossip $G --no-beacon -t 5 history d3 slot --db "$work/history.db" --since 1h 2>/dev/null |
    grep -qw 4
}
until_ok 40 recorded || fail "the archiver in subnet 3 did not record d3's slot"
out=$(sub 1 "$corvo" -s $site -i e1 --gossip $G --no-beacon -t 10 get archiver backend 2>&1)
[ -n "$out" ] || fail "the archiver cannot be read from subnet 1"
out=$(sub 2 $probe web http://127.0.0.1:8091 d1 d2 d3 2>&1) || fail "the web gateway in subnet 2: $out"

echo "== a daemon killed in subnet 3 leaves every client within the bound (30 s expiry, 5 s of slack)"
killed=$(date +%s.%N)
kill -KILL "${pid[d3]}"
unset 'pid[d3]'
for i in 1 2 3; do
  until_ok 35 $probe gone "$work/watch$i.out" d3 "$killed" >"$work/left$i" || fail "subnet $i still lists d3 after 35 s"
  echo "   subnet $i: d3 left after $(cat "$work/left$i") s"
done

echo "== a daemon restarted under the same name is seen once and never flaps"
kill -KILL "${pid[d2]}"
start d2 2 "$daemon" -s $site -i e2 --name d2 --gossip $G
for i in 1 2 3; do
  until_says 40 "archiver d1 d2 " daemons_seen $i --gossip $G --no-beacon || fail "subnet $i misses the restarted d2"
done
sleep 3
back=$(date +%s.%N)
sleep 10
for i in 1 2 3; do
  $probe steady "$work/watch$i.out" "$back" d1 d2 || fail "the watcher in subnet $i saw d1 or d2 flap"
done

echo "== with two rendezvous points, killing one changes nothing a client sees"
kill -KILL "${pid[rv1]}"
unset 'pid[rv1]'
from=$(date +%s.%N)
sleep 8
for i in 1 2 3; do
  $probe steady "$work/watch$i.out" "$from" d1 d2 || fail "subnet $i lost a daemon when a rendezvous point died"
done
# A daemon started now is found through the other one alone.
start d4 3 "$daemon" -s $site -i e3 --name d4 --gossip $G
for i in 1 2; do
  until_says 40 "archiver d1 d2 d4 " daemons_seen $i --gossip $R2 --no-beacon ||
    fail "subnet $i does not find d4 through the remaining rendezvous point"
done
out=$(sub 1 "$corvo" -s $site -i e1 --gossip $G -t 10 get d4 slot 2>&1)
[ -n "$out" ] || fail "d4 cannot be read from subnet 1"

echo "== a secured site across subnets: a CURVE rendezvous point, and only trusted keys publish"
export CORVO_KEY_DIR=$work/keys
for identity in rvs d5 op; do
  "$corvo" keys new $identity >/dev/null || fail "keys new $identity"
done
# An identity that is not in the key directory the others trust, though it
# knows the rendezvous point's public key.
CORVO_KEY_DIR=$work/otherkeys "$corvo" keys new intruder >/dev/null || fail "keys new intruder"
cp "$work/keys/rvs.id" "$work/otherkeys/"
RS=tcp://10.81.1.2:5681
start rvs 1 "$rendezvous" --name rvs --key rvs --gossip-bind $RS
start d5 3 "$daemon" -s sec -i e3 --name d5 --key d5 --gossip $RS@rvs --no-beacon
secured_seen() {
  sub 2 "$corvo" -s sec -i e2 -t 3 --key op --gossip $RS@rvs --no-beacon peers 2>/dev/null |
    awk '$1 == "d5" && $3 == "daemon" { print $1, $NF }'
}
until_says 40 "d5 gossip" secured_seen || fail "a trusted client of subnet 2 does not find d5: '$(secured_seen)'"
# An open client cannot use the secured endpoint; an untrusted key cannot publish.
seen=$(sub 2 "$corvo" -s sec -i e2 -t 3 --gossip $RS --no-beacon peers 2>/dev/null | awk '$1 == "d5"')
[ -z "$seen" ] || fail "an open client found d5 through the secured rendezvous point"
start intruder 2 "$daemon" -s sec -i e2 --name intruder --key intruder --keys "$work/otherkeys" --gossip $RS@rvs \
  --no-beacon
sleep 4
seen=$(sub 2 "$corvo" -s sec -i e2 -t 3 --key op --gossip $RS@rvs --no-beacon peers 2>/dev/null | awk '$1 == "intruder"')
[ -z "$seen" ] || fail "an untrusted program published itself through the secured rendezvous point"
# Trusted later, without a restart: the rendezvous point watches its key
# directory, and the refused program connects again and is found.
cp "$work/otherkeys/intruder.id" "$work/keys/"
cp "$work/keys/op.id" "$work/otherkeys/"
intruder_seen() {
  sub 2 "$corvo" -s sec -i e2 -t 3 --key op --gossip $RS@rvs --no-beacon peers 2>/dev/null | awk '$1 == "intruder" { print $1 }'
}
until_says 40 intruder intruder_seen ||
  fail "an identity added to the rendezvous point's key directory is not let in: $(sub 2 "$corvo" -s sec -i e2 -t 3 --key op --gossip $RS@rvs --no-beacon peers 2>&1)"
grep -q "identity intruder is trusted" "$work/rvs.log" || fail "the rendezvous point did not say it trusts the new identity"
out=$(sub 2 "$corvo" -s sec -i e2 -t 3 --key op --gossip $RS@nobody --no-beacon peers 2>&1)
[ $? -eq 1 ] && echo "$out" | grep -q "no trusted identity" || fail "an endpoint of an unknown identity was taken: $out"

echo "== the rendezvous point stops cleanly on SIGINT, as its unit stops it"
kill -INT "${pid[rv2]}"
wait "${pid[rv2]}"
status=$?
unset 'pid[rv2]'
[ $status -eq 0 ] || fail "the rendezvous point ended with status $status on SIGINT"
grep -q "stopped" "$work/rv2.log" || fail "the rendezvous point did not say it stopped"

if [ $failures -gt 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "subnets ok"
