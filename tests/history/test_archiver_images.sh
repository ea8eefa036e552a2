#!/usr/bin/env bash
# The archiver's copies of images (--image-dir) against the simulated
# camera: each announced image arrives byte-identical (cmp) and readable
# (astropy), an earlier file of the same name with other bytes is kept
# beside it, a folder that is a link is not followed, and --min-free keeps the
# floor. Runs inside a network namespace of its own (see CMakeLists.txt).
#   test_archiver_images.sh CORVO SIMCAM ARCHIVER
set -uo pipefail

corvo=$1
simcam=$2
archiver=$3

# shellcheck source-path=SCRIPTDIR source=../support/site.sh
source "$(dirname "$0")/../support/site.sh"
site_begin arc
mkdir -p "$work/images" "$work/copies" "$work/linked" "$work/elsewhere" "$work/full"
net=(-i lo -p 5896 -s arctest)

value() { "$corvo" "${net[@]}" -t 10 get "$1" "$2" 2>/dev/null; }
# holds PEER PROPERTY VALUE: the property has that value now
holds() { [ "$(value "$1" "$2")" = "$3" ]; }

cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
imgw = 700
imgh = 500
expotime = 0.05
imageroot = $work/images
filepattern = shot.fits
CONF
: >"$CORVO_CONF_PATH/fitshdr.txt"
# A folder of the copies that is a link: nothing may land where it points.
ln -s "$work/elsewhere" "$work/linked/camera"

"$simcam" "${net[@]}" >"$work/camera.log" 2>&1 &
pids+=($!)
"$archiver" "${net[@]}" --db "$work/a.db" --image-dir "$work/copies" --min-free 0 >"$work/archiver.log" 2>&1 &
pids+=($!)
"$archiver" "${net[@]}" -n linked --db "$work/b.db" --image-dir "$work/linked" --min-free 0 >"$work/linked.log" 2>&1 &
pids+=($!)
"$archiver" "${net[@]}" -n full --db "$work/c.db" --image-dir "$work/full" --min-free 100000T >"$work/full.log" 2>&1 &
pids+=($!)
for who in archiver linked full; do
  eventually value "$who" imagescopied >/dev/null || fail "$who did not come up"
done

expose() {
  "$corvo" "${net[@]}" --timeout 20 --wait filename cmd camera expose >/dev/null 2>"$work/err" ||
    fail "expose: $(cat "$work/err")"
}

echo "== an announced image is copied"
expose
eventually test -f "$work/copies/camera/shot.fits" || fail "no copy of the first image"
cp "$work/images/shot.fits" "$work/first.fits"
cmp -s "$work/first.fits" "$work/copies/camera/shot.fits" || fail "the copy differs from the camera's file"
/usr/bin/python3 - "$work/copies/camera/shot.fits" <<'PY' || fail "astropy cannot read the copy"
import sys
from astropy.io import fits
with fits.open(sys.argv[1]) as hdus:
    assert hdus[0].data.shape == (500, 700), hdus[0].data.shape
PY
if command -v fitsverify >/dev/null; then
  fitsverify -q "$work/copies/camera/shot.fits" >/dev/null || fail "fitsverify refuses the copy"
fi

echo "== the same name with other bytes is kept beside it"
# The camera names its next image shot_1.fits (it never overwrites): a file
# of that name with other bytes is in the archive already.
echo "an earlier file" >"$work/copies/camera/shot_1.fits"
expose
eventually test -f "$work/copies/camera/shot_1-1.fits" || fail "no copy of the second image beside the earlier file"
cmp -s "$work/images/shot_1.fits" "$work/copies/camera/shot_1-1.fits" || fail "the second copy differs"
[ "$(cat "$work/copies/camera/shot_1.fits")" = "an earlier file" ] || fail "the earlier file was replaced"
cmp -s "$work/first.fits" "$work/copies/camera/shot.fits" || fail "the first copy was replaced"
eventually holds archiver imagescopied 2 || fail "imagescopied is $(value archiver imagescopied), not 2"
leftovers=$(find "$work/copies" -name '*.part' | wc -l)
[ "$leftovers" -eq 0 ] || fail "$leftovers part files left"

echo "== a folder that is a link, and the free-space floor"
eventually holds linked imagesmissed 2 || fail "linked: imagesmissed is $(value linked imagesmissed)"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "a copy landed through the link: $(ls -A "$work/elsewhere")"
eventually holds full imagesmissed 2 || fail "full: imagesmissed is $(value full imagesmissed)"
[ -z "$(ls -A "$work/full")" ] || fail "a copy was written below the free-space floor"
grep -q "the floor (--min-free) kept" "$work/full.log" || fail "no log record of the floor: $(tail -3 "$work/full.log")"
[ "$(value full imagescopied)" = 0 ] || fail "full copied an image"

if [ "$failures" -ne 0 ]; then
  for log in archiver linked full camera; do
    echo "--- $log.log"
    tail -20 "$work/$log.log"
  done
  echo "$failures failure(s)"
  exit 1
fi
echo "all passed"
