#!/usr/bin/env bash
# The operator tool against corvo-simcam: the name `--wait filename cmd
# camera expose` prints is that of a complete FITS file (read back at once),
# a card naming the camera's own "filename" holds the image's own name, and
# the camera refuses what it cannot do (expose while off or while exposing,
# an exposure time outside its limits) so that the tool ends with status 5.
# Runs inside a network namespace of its own (see CMakeLists.txt).
#   test_tool_camera.sh CORVO SIMCAM PYTHON
set -uo pipefail

corvo=$1
simcam=$2
python=${3:-/usr/bin/python3}

# shellcheck source-path=SCRIPTDIR source=../support/site.sh
source "$(dirname "$0")/../support/site.sh"
site_begin toolcam
net=(-i lo -p 5897 -s toolcam)
images=$work/images
mkdir -p "$images"

# A frame large enough (128 MiB) that writing it takes a while after the
# readout.
cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
imgw = 4096
imgh = 4096
datatype = -64
expotime = 0.1
imageroot = $images
filepattern = $images/f.fits
CONF
cat >"$CORVO_CONF_PATH/fitshdr.txt" <<'HDR'
FILENAME => camera:filename "this file"
HDR

# complete FILE: FILE is there the moment the tool has printed its name.
complete() {
  [ -s "$1" ] || fail "$current: $1 is not there yet"
}

# read_back FILE: FILE is a complete 4096 x 4096 DOUBLE image whose FILENAME
# card names FILE itself (whole: a long value goes on CONTINUE cards).
read_back() {
  if "$python" -c 'import astropy.io.fits' 2>/dev/null; then
    "$python" - "$1" <<'PY' || fail "$current: $1 does not read back"
import sys
from astropy.io import fits
path = sys.argv[1]
with fits.open(path) as f:
    data = f[0].data
    assert data.shape == (4096, 4096), data.shape
    assert f[0].header["BITPIX"] == -64, f[0].header["BITPIX"]
    assert data.max() > data.min()
    assert f[0].header["FILENAME"] == path, (f[0].header["FILENAME"], path)
PY
  else
    "$corvo" fitshdr "$1" >"$work/hdr" 2>&1 || fail "$current: fitshdr of $1: $(cat "$work/hdr")"
    grep -qE "^NAXIS1  = +4096 " "$work/hdr" || fail "$current: NAXIS1 of $1"
    [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge $((4096 * 4096 * 8)) ] || fail "$current: $1 is short"
  fi
}

"$simcam" "${net[@]}" >"$work/camera.log" 2>&1 &
pids+=($!)

echo "== the printed file name is a complete file"
t 0 "expose --wait filename" --timeout 60 --wait filename cmd camera expose
first=$(cat "$work/out")
complete "$first"
[ "$first" = "$images/f.fits" ] || fail "$current: printed '$first'"
read_back "$first"
t 0 "a second image" --timeout 60 --wait filename cmd camera expose
second=$(cat "$work/out")
complete "$second"
[ "$second" = "$images/f_1.fits" ] || fail "$current: printed '$second'"
read_back "$second"
t 0 "fitshdr of the new file" fitshdr "$second"

echo "== an image that is not saved is not named"
: >"$images/plain"
t 0 "a pattern below a plain file" set camera filepattern "$images/plain/x.fits"
t 4 "expose that cannot be saved" --timeout 8 --wait filename cmd camera expose
wait_for "$work/camera.log" "Image not saved"
t 0 "filename still names the last image" get camera filename
out_is "$second"
t 0 "pattern back" set camera filepattern "$images/f.fits"

echo "== refusals"
t 5 "negative exposure time" set camera expotime -- -5
err_has "limits"
t 5 "exposure time beyond the maximum" set camera expotime 2e6
t 0 "exposure time unchanged" get camera expotime
out_is "0.1"
t 0 "long exposure" set camera expotime 60
# The exposure has started once its start time is broadcast.
t 0 "expose" --timeout 30 --wait starttime cmd camera expose
t 5 "expose while exposing" cmd camera expose
err_has "an exposure is in progress"
t 0 "abort" cmd camera abort
t 0 "switch off" cmd camera switch
t 5 "expose while off" cmd camera expose
err_has "powered off"
t 5 "expose --wait while off" --timeout 10 --wait filename cmd camera expose
err_has "powered off"
t 0 "switch on" cmd camera switch
t 0 "short exposure" set camera expotime 0
t 0 "expose once on again" --timeout 60 --wait filename cmd camera expose
out_is "$images/f_2.fits"
complete "$images/f_2.fits"
read_back "$images/f_2.fits"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all camera tool checks passed"
