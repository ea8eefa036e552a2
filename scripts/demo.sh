#!/usr/bin/env bash
# The whole system in under a minute: a simulated camera and the operator tool
# `corvo` on loopback. Lists the programs of the site, shows the camera's
# description, sets the exposure time and the file-name pattern, takes an
# exposure, shows the FITS header of the new image, follows the camera's log
# and stops the camera with SIGINT.
#
#   bash scripts/demo.sh                         # set up, build into build/, run
#   CORVO_BUILD_DIR=build/release bash scripts/demo.sh   # use an existing build
#   bash scripts/demo.sh --web                   # also the web console, open until Ctrl-C
#
# Everything runs with --interface lo: no discovery beacon leaves the machine.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

site=demo
web=0
for arg in "$@"; do
  case $arg in
    --web) web=1 ;;
    *) echo "usage: demo.sh [--web]" >&2; exit 2 ;;
  esac
done
web_port=${CORVO_DEMO_HTTP_PORT:-8080}
port=${CORVO_DEMO_PORT:-5670}

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s==> %s%s\n' "$bold" "$*" "$plain"; }
# Shows a tool command as an operator would type it, then runs it.
corvo() {
  printf '%s$ corvo %s%s\n' "$bold" "$*" "$plain"
  "$tool" "${net[@]}" --name operator "$@"
}

if [ -n "${CORVO_BUILD_DIR:-}" ]; then
  build=$(cd "$CORVO_BUILD_DIR" && pwd)
else
  step "Setting up and building (once; later runs reuse build/)"
  bash scripts/setup.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  targets=(corvo_tool corvo-simcam)
  [ $web = 1 ] && targets+=(corvo_python)
  cmake --build build -j2 --target "${targets[@]}"
  build=$root/build
fi

tool=$build/tools/corvo/corvo
simcam=$(find "$build/examples" -type f -name corvo-simcam -perm -u+x 2>/dev/null | head -n 1)
if [ ! -x "$tool" ] || [ -z "$simcam" ]; then
  echo "demo: corvo or corvo-simcam missing under $build; build first" >&2
  exit 1
fi

tmp=$(mktemp -d /tmp/corvo-demo.XXXXXX)
camera_pid=''
web_pid=''
followers=''
cleanup() {
  for pid in $followers $web_pid $camera_pid; do
    kill -INT "$pid" 2>/dev/null || true
  done
  sleep 0.3
  for pid in $followers $web_pid $camera_pid; do
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The camera's configuration lives in a directory of its own: every program
# of the demo finds it through CORVO_CONF_PATH, and HOME points there too so
# that nothing is written to the real home directory.
export CORVO_CONF_PATH=$tmp/conf HOME=$tmp/home
mkdir -p "$CORVO_CONF_PATH" "$HOME" "$tmp/images"
cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
# start-up values of the camera's properties
model = SimCam demo
imgw = 512
imgh = 384
expotime = 0.5
imageroot = $tmp/images
filepattern = dark_%y%m%d_%H%M%S.fits
CONF
cat >"$CORVO_CONF_PATH/fitshdr.txt" <<'HDR'
// extra FITS header cards: KEYWORD => component:property "comment"
#define CAM camera
EXPTIME  => CAM:expotime "exposure time [s]"
DATE-OBS => CAM:starttime "exposure start (UTC)"
INSTRUME => CAM:model "camera model"
CCD-TEMP => CAM:temperature "sensor temperature [C]"
HDR

net=(--interface lo --port "$port" --site "$site")

step "Starting the simulated camera (site '$site', loopback only)"
"$simcam" "${net[@]}" >"$tmp/camera.out" 2>&1 &
camera_pid=$!
echo "corvo-simcam running as pid $camera_pid, console in $tmp/camera.out"
if ! "$tool" "${net[@]}" --timeout 20 get camera model >/dev/null; then
  echo "demo: the camera did not come up; its console:" >&2
  cat "$tmp/camera.out" >&2
  exit 1
fi

if [ $web = 1 ]; then
  step "Starting the web console"
  if [ ! -x "$build/apps/web/corvo-web" ]; then
    echo "demo: corvo-web missing under $build; build first" >&2
    exit 1
  fi
  "$build/apps/web/corvo-web" "${net[@]}" --name console --http-port "$web_port" \
    --allow-write --image-root "$tmp/images" >"$tmp/web.out" 2>&1 &
  web_pid=$!
  for _ in $(seq 100); do
    grep -q 'console on' "$tmp/web.out" 2>/dev/null && break
    kill -0 "$web_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q 'console on' "$tmp/web.out"; then
    echo "demo: the console did not start; its output:" >&2
    cat "$tmp/web.out" >&2
    exit 1
  fi
  echo "${bold}Open http://127.0.0.1:$web_port/ in a browser on this machine$plain (writes allowed, loopback only)"
fi

# Two followers in the background record what happens meanwhile: the
# camera's state changes and its log records.
"$tool" "${net[@]}" --name watcher watch camera >"$tmp/watch.out" 2>&1 &
followers="$followers $!"
"$tool" "${net[@]}" --name logger log camera >"$tmp/log.out" 2>&1 &
followers="$followers $!"

echo "(each corvo command below also gets: ${net[*]})"

step "Who is on the site?"
corvo peers

step "What does the camera offer?"
corvo info camera

step "Setting the exposure time and the file-name pattern"
corvo set camera expotime 1.5
corvo set camera filepattern "$tmp/images/demo_\${camera:expotime}s_%H%M%S.fits"
corvo --json get camera expotime

step "Taking an exposure and waiting for the new file"
corvo --timeout 20 --wait filename cmd camera expose | tee "$tmp/expose.out"
image=$(tail -n 1 "$tmp/expose.out")
# The camera announces the new name before it writes the file: give the
# writing a moment.
for _ in $(seq 50); do
  "$tool" fitshdr "$image" >/dev/null 2>&1 && break
  sleep 0.1
done

step "The FITS header of $(basename "$image")"
corvo fitshdr "$image"

# SIGINT ends the followers cleanly.
for pid in $followers; do
  kill -INT "$pid"
  wait "$pid" || true
done
followers=''
step "What the camera did meanwhile (corvo watch camera)"
cat "$tmp/watch.out"
step "What the camera logged meanwhile (corvo log camera)"
cat "$tmp/log.out"

if [ $web = 1 ]; then
  step "The console stays at http://127.0.0.1:$web_port/ until Ctrl-C"
  trap 'true' INT
  wait "$web_pid" || true
  trap 'exit 130' INT
  kill -INT "$web_pid" 2>/dev/null || true
  wait "$web_pid" 2>/dev/null || true
  web_pid=''
fi

step "Stopping the camera with SIGINT"
kill -INT "$camera_pid"
status=0
wait "$camera_pid" || status=$?
camera_pid=''
tail -n 3 "$tmp/camera.out"
if [ "$status" -ne 0 ]; then
  echo "demo: the camera ended with status $status" >&2
  exit 1
fi
step "Done: the camera stopped cleanly (status 0)"
