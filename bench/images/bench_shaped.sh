#!/usr/bin/env bash
# corvo fetch of a 32 MiB 16-bit frame across a veth shaped to RATE (default
# 1gbit) with tc (netem, or tbf where the kernel lacks netem), between the namespace this runs in and one nested in
# it (the camera's), against a bare TCP stream of as many bytes over the same
# link, in alternating rounds. Needs root inside a namespace of its own:
#   bash scripts/in-netns.sh bash bench/images/bench_shaped.sh CORVO SIMCAM [RATE] [ROUNDS]
set -euo pipefail
corvo=$1
simcam=$2
rate=${3:-1gbit}
rounds=${4:-3}
[ "$(id -u)" -eq 0 ] || { echo "bench_shaped: needs root inside its namespace" >&2; exit 77; }
[ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net)" ] ||
  { echo "bench_shaped: run it through scripts/in-netns.sh" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/corvo-bsh-XXXXXX")
export HOME=$work/home CORVO_CONF_PATH=$work/conf
mkdir -p "$HOME" "$CORVO_CONF_PATH" "$work/images" "$work/got"
unshare -n sleep 900 &
holder=$!
camera=
cleanup() {
  [ -n "$camera" ] && kill -INT "$camera" 2>/dev/null
  sleep 0.3
  [ -n "$camera" ] && kill -KILL "$camera" 2>/dev/null
  kill "$holder" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
for _ in $(seq 100); do
  [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.05
done
inside=(nsenter -t "$holder" -n --)
ip link add c0 type veth peer name c1 netns "$holder"
ip addr add 10.79.0.1/24 dev c0
ip link set c0 up
"${inside[@]}" ip link set lo up
"${inside[@]}" ip addr add 10.79.0.2/24 dev c1
"${inside[@]}" ip link set c1 up
# netem where the kernel has it, else a token bucket of the same rate.
shape() {
  "$@" netem rate "$rate" 2>/dev/null || "$@" tbf rate "$rate" burst 256kb latency 50ms
}
shape tc qdisc add dev c0 root
shape "${inside[@]}" tc qdisc add dev c1 root
qdisc=$(tc qdisc show dev c0 | awk '{print $2; exit}')

cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
imgw = 4096
imgh = 4096
datatype = 20
expotime = 0.1
imageroot = $work/images
filepattern = frame.fits
CONF
: >"$CORVO_CONF_PATH/fitshdr.txt"
"${inside[@]}" "$simcam" -i c1 -p 5893 -s shaped >"$work/camera.log" 2>&1 &
camera=$!
net=(-i c0 -p 5893 -s shaped)
"$corvo" "${net[@]}" -t 60 --wait filename cmd camera expose >/dev/null
for _ in $(seq 300); do
  "$corvo" fitshdr "$work/images/frame.fits" >/dev/null 2>&1 && break
  sleep 0.1
done
size=$(stat -c %s "$work/images/frame.fits")

# The bare stream: the camera's side sends the file's bytes over one TCP
# connection; the time is taken here from connect to the last byte read.
tcp_round() {
  /usr/bin/python3 - "$work/images/frame.fits" "${inside[@]}" <<'PY'
import socket, subprocess, sys, time
path, inside = sys.argv[1], sys.argv[2:]
sender = subprocess.Popen(inside + ["/usr/bin/python3", "-c", """
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.79.0.2", 5894)); s.listen(1); print("ready", flush=True)
c, _ = s.accept()
with open(sys.argv[1], "rb") as f:
    c.sendfile(f)
c.close()
""", path], stdout=subprocess.PIPE, text=True)
sender.stdout.readline()
start = time.monotonic()
c = socket.create_connection(("10.79.0.2", 5894))
got = 0
while True:
    data = c.recv(1 << 20)
    if not data:
        break
    got += len(data)
print("%.4f %d" % (time.monotonic() - start, got))
sender.wait()
PY
}
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }

echo "corvo fetch of a $size-byte frame over a veth shaped to $rate ($qdisc), against a bare TCP stream"
echo "(the fetch's time includes the tool's start-up and discovery: its ratio is a floor)"
for run in $(seq "$rounds"); do
  read -r t got < <(tcp_round)
  [ "$got" -eq "$size" ] || { echo "the TCP stream carried $got bytes"; exit 1; }
  rm -f "$work/got/"*
  f=$(seconds "$corvo" "${net[@]}" -t 60 fetch camera frame.fits -o "$work/got/")
  cmp -s "$work/images/frame.fits" "$work/got/frame.fits" || { echo "copy differs"; exit 1; }
  printf 'round %d: TCP %.3f s (%.1f MiB/s); corvo fetch %.3f s (%.1f MiB/s); fetch/TCP throughput %.2f\n' \
    "$run" "$t" "$(echo "$size / 1048576 / $t" | bc -l)" "$f" "$(echo "$size / 1048576 / $f" | bc -l)" \
    "$(echo "$t / $f" | bc -l)"
done
