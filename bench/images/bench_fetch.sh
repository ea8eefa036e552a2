#!/usr/bin/env bash
# Loopback throughput of corvo fetch against cp of the same file: the
# simulated camera saves one 4096 x 4096 16-bit frame (32 MiB) and corvo
# fetch copies it over the site, raw and with zstd chunks, inside a network
# namespace of its own. With BENCH_COMPRESS (build/bench/images/
# bench_image_compress) it also reports what zstd gains on the frame.
#   bash scripts/in-netns.sh bash bench/images/bench_fetch.sh CORVO SIMCAM [BENCH_COMPRESS]
set -euo pipefail
corvo=$1
simcam=$2
compress=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/corvo-bimg-XXXXXX")
export HOME=$work/home CORVO_CONF_PATH=$work/conf
mkdir -p "$HOME" "$CORVO_CONF_PATH" "$work/images" "$work/got"
net=(-i lo -p 5895 -s imgbench)
cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
imgw = 4096
imgh = 4096
expotime = 0.1
imageroot = $work/images
filepattern = frame.fits
CONF
: >"$CORVO_CONF_PATH/fitshdr.txt"
"$simcam" "${net[@]}" >"$work/camera.log" 2>&1 &
camera=$!
trap 'kill -INT $camera 2>/dev/null; sleep 0.3; kill -KILL $camera 2>/dev/null; rm -rf "$work"' EXIT
"$corvo" "${net[@]}" -t 60 --wait filename cmd camera expose >/dev/null
for _ in $(seq 300); do
  "$corvo" fitshdr "$work/images/frame.fits" >/dev/null 2>&1 && break
  sleep 0.1
done
size=$(stat -c %s "$work/images/frame.fits")
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
for run in 1 2 3; do
  rm -f "$work/got/"*
  f=$(seconds "$corvo" "${net[@]}" -t 30 fetch camera frame.fits -o "$work/got/")
  cmp -s "$work/images/frame.fits" "$work/got/frame.fits" || { echo "copy differs"; exit 1; }
  c=$(seconds cp "$work/images/frame.fits" "$work/got/cp.fits")
  rm -f "$work/got/frame.fits"
  z=$(seconds "$corvo" "${net[@]}" -t 30 fetch camera frame.fits --compress zstd -o "$work/got/")
  cmp -s "$work/images/frame.fits" "$work/got/frame.fits" || { echo "compressed copy differs"; exit 1; }
  printf 'run %d: %d bytes: corvo fetch %.3f s (%.1f MiB/s, start-up included), with zstd %.3f s, cp %.3f s\n' \
    "$run" "$size" "$f" "$(echo "$size / 1048576 / $f" | bc -l)" "$z" "$c"
done
if [ -n "$compress" ]; then
  "$compress" "$work/images/frame.fits"
fi
