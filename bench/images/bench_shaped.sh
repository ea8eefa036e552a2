#!/usr/bin/env bash
# Images across a veth shaped to RATE (default 1gbit) with tc (netem, or tbf
# where the kernel lacks netem), between the namespace this runs in (the
# client's) and one nested in it (the camera's): bench_image_control
# discovers the camera once, times the property round trip with and without
# fetches of the 32 MiB 16-bit frame running, the camera's memory with a
# stalled receiver, and single fetches (request to verified end) against a
# bare TCP stream of the same file over the same link, in alternating rounds.
# Needs root inside a namespace of its own:
#   bash scripts/in-netns.sh bash bench/images/bench_shaped.sh \
#     build/bench/images/bench_image_control build/examples/simcam/corvo-simcam [RATE]
set -euo pipefail
bench=$1
simcam=$2
rate=${3:-1gbit}
[ "$(id -u)" -eq 0 ] || { echo "bench_shaped: needs root inside its namespace" >&2; exit 77; }
[ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net)" ] ||
  { echo "bench_shaped: run it through scripts/in-netns.sh" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/corvo-bsh-XXXXXX")
export HOME=$work/home CORVO_CONF_PATH=$work/conf
mkdir -p "$HOME" "$CORVO_CONF_PATH" "$work/images" "$work/got"
unshare -n sleep 900 >/dev/null 2>&1 &
holder=$!
camera=
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
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
# The bare stream's server, beside the camera: each connection gets the
# frame's bytes once.
"${inside[@]}" /usr/bin/python3 -c '
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.79.0.2", 5894)); s.listen(4)
while True:
    c, _ = s.accept()
    try:
        with open(sys.argv[1], "rb") as f:
            c.sendfile(f)
    except OSError:
        pass
    c.close()
' "$work/images/frame.fits" >/dev/null 2>&1 &
server=$!
# nsenter may run the camera as its child: read the camera's own memory.
pid=$(pgrep -P "$camera" | head -n 1 || true)
echo "bench_image_control over a veth shaped to $rate ($qdisc); load: $(uptime)"
sleep 0.5
kill -0 "$camera" 2>/dev/null || { cat "$work/camera.log" >&2; exit 1; }
timeout 600 "$bench" --camera-pid "${pid:-$camera}" --tcp 10.79.0.2:5894 -i c0 -p 5893 -s shaped
echo "load after: $(uptime)"
