#!/usr/bin/env bash
# corvo fetch against the simulated camera: a byte-identical copy (read back
# with fitsverify and fitshdr), the camera's refusals of names outside its
# image root and of what is not a regular file, a resume from a .part file,
# a checksum mismatch detected, a second fetch into a .part file in use
# refused, and -o FILE after a broken fetch of another image; against a fake
# camera that names its
# images itself, the names the copies take. Runs inside a network namespace
# of its own (see CMakeLists.txt).
#   test_fetch.sh CORVO SIMCAM FAKE_CAMERA
set -uo pipefail

corvo=$1
simcam=$2
fake_camera=$3

# shellcheck source-path=SCRIPTDIR source=../support/site.sh
source "$(dirname "$0")/../support/site.sh"
site_begin img
mkdir -p "$work/images" "$work/got"
net=(-i lo -p 5897 -s imgtest)

same() { cmp -s "$1" "$2" || fail "$current: $2 differs from $1"; }
absent() { [ ! -e "$1" ] || fail "$current: $1 exists"; }

cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
imgw = 700
imgh = 500
expotime = 0.1
imageroot = $work/images
filepattern = t.fits
CONF
: >"$CORVO_CONF_PATH/fitshdr.txt"
"$simcam" "${net[@]}" >"$work/camera.log" 2>&1 &
pids+=($!)

echo "== refusals before any image"
t 5 "latest before any image" -t 15 fetch camera latest -o "$work/got"
err_has "no image saved yet"

echo "== expose and fetch"
t 0 "expose" --timeout 15 --wait filename cmd camera expose
image=$work/images/t.fits
for _ in $(seq 100); do
  "$corvo" fitshdr "$image" >/dev/null 2>&1 && break
  sleep 0.1
done
size=$(stat -c %s "$image")
[ "$size" -gt $((8 * 65536)) ] || fail "image of $size bytes: fewer chunks than a window"

t 0 "fetch latest into a directory" fetch camera -o "$work/got"
[ "$(cat "$work/out")" = "$work/got/t.fits" ] || fail "$current: printed '$(cat "$work/out")'"
same "$image" "$work/got/t.fits"
absent "$work/got/.camera-latest.part"
fitsverify -q "$work/got/t.fits" >"$work/verify" 2>&1 || fail "fitsverify: $(cat "$work/verify")"
"$corvo" fitshdr "$work/got/t.fits" | grep -qE "^NAXIS1  = +700 " || fail "fetched image: NAXIS1"

t 0 "fetch by name into a file" fetch camera t.fits -o "$work/got/named.fits"
same "$image" "$work/got/named.fits"
t 0 "fetch compressed" fetch camera t.fits --compress zstd -o "$work/got/packed.fits"
same "$image" "$work/got/packed.fits"
t 2 "an unknown compression" fetch camera t.fits --compress lz9 -o "$work/got/x.fits"
err_has "--compress zstd|none"

# An existing file is kept: the copy takes the next free numbered name,
# unless -o names the file.
mkdir -p "$work/again"
echo kept >"$work/again/t.fits"
t 0 "fetch beside a file of the same name" fetch camera t.fits -o "$work/again"
out_is "$work/again/t_1.fits"
same "$image" "$work/again/t_1.fits"
[ "$(cat "$work/again/t.fits")" = kept ] || fail "$current: the earlier t.fits was replaced"
t 0 "fetch over the file -o names" fetch camera t.fits -o "$work/again/t.fits"
same "$image" "$work/again/t.fits"

mkdir -p "$work/images/sub"
head -c 5 /dev/urandom >"$work/images/sub/small.bin"
: >"$work/images/sub/empty.fits"
t 0 "fetch from a subdirectory" fetch camera sub/small.bin -o "$work/got"
same "$work/images/sub/small.bin" "$work/got/small.bin"
t 0 "fetch an empty file" fetch camera sub/empty.fits -o "$work/got"
same "$work/images/sub/empty.fits" "$work/got/empty.fits"

echo "== names the camera refuses"
t 5 "parent directory" fetch camera ../conf/camera.conf -o "$work/got"
err_has "leaves the image root"
t 5 "absolute path" fetch camera "$work/conf/camera.conf" -o "$work/got"
err_has "relative to the image root"
t 5 "absolute path inside the root" fetch camera "$image" -o "$work/got"
err_has "relative to the image root"
ln -s "$work/conf/camera.conf" "$work/images/link.fits"
t 5 "symbolic link" fetch camera link.fits -o "$work/got"
err_has "symbolic link"
ln -s "$work/conf" "$work/images/confdir"
t 5 "linked directory" fetch camera confdir/camera.conf -o "$work/got"
err_has "no such image"
mkfifo "$work/images/pipe.fits"
t 5 "FIFO" fetch camera pipe.fits -o "$work/got"
err_has "is a FIFO"
t 5 "directory" fetch camera sub -o "$work/got"
err_has "is a directory"
t 5 "missing" fetch camera nothing.fits -o "$work/got"
err_has "no such image"
absent "$work/got/camera.conf"
absent "$work/got/link.fits"

echo "== resume and checksum"
# With -o FILE the .part file is named after FILE and the image asked for.
head -c 300000 "$image" >"$work/got/.r.fits.t.fits.part"
t 0 "resume from a .part file" fetch camera t.fits -o "$work/got/r.fits"
err_has "from byte 300000"
same "$image" "$work/got/r.fits"
absent "$work/got/.r.fits.t.fits.part"

# A .part file whose bytes differ from the camera's: the whole-file checksum
# tells, the target is not written and the bad bytes are dropped.
{ printf 'XXXXXXXX'; tail -c +9 "$image" | head -c 199992; } >"$work/got/.bad.fits.t.fits.part"
t 7 "checksum mismatch" fetch camera t.fits -o "$work/got/bad.fits"
err_has "checksum mismatch"
absent "$work/got/bad.fits"
absent "$work/got/.bad.fits.t.fits.part"

# A .part file longer than the image: the camera refuses the offset, and
# the fetch starts again from byte 0 (else every retry would fail alike).
head -c $((size + 10)) /dev/zero >"$work/got/.long.fits.t.fits.part"
t 0 "offset beyond the end" fetch camera t.fits -o "$work/got/long.fits"
err_has "fetching it from the start"
same "$image" "$work/got/long.fits"
absent "$work/got/.long.fits.t.fits.part"

# Images large enough that a fetch is caught while it runs.
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/images/a.bin"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/images/b.bin"
head -c 100000 /dev/urandom >"$work/images/c.bin"
mkdir -p "$work/one"
# part_of FILE: the .part file of a fetch to -o FILE (whatever its name).
part_of() { compgen -G "$(dirname "$1")/.$(basename "$1")*.part" | head -1; }
# fetch_under_way NAME FILE SIGNAL: starts a fetch of NAME to FILE in the
# background ($fetcher), and sends it SIGNAL once its .part file holds more
# than 200000 bytes (more than c.bin has).
fetch_under_way() {
  "$corvo" "${net[@]}" -t 60 fetch camera "$1" -o "$2" >"$work/bg.out" 2>"$work/bg.err" &
  fetcher=$!
  pids+=("$fetcher")
  local part=""
  for _ in $(seq 1000); do
    part=$(part_of "$2")
    [ -n "$part" ] && [ "$(stat -c %s "$part" 2>/dev/null || echo 0)" -gt 200000 ] && break
    sleep 0.01
  done
  kill "-$3" "$fetcher"
  if [ -z "$part" ] || [ -e "$2" ]; then
    fail "the fetch of $1 to $2 was not caught under way"
  fi
}

echo "== a .part file in use: a second fetch into it is refused"
# Two fetches into one .part file would each write their bytes into it, and
# the first to end would give the mix the target's name.
fetch_under_way a.bin "$work/one/cur.bin" STOP
t 7 "a second fetch into the same .part file" fetch camera a.bin -o "$work/one/cur.bin"
err_has "another fetch is writing"
kill -CONT "$fetcher"
wait "$fetcher"
status=$?
# Stopped a while, the camera may have seen the fetch leave: run again.
if [ "$status" -eq 4 ]; then
  t 0 "the stopped fetch run again" -t 60 fetch camera a.bin -o "$work/one/cur.bin"
elif [ "$status" -ne 0 ]; then
  fail "the first fetch ended with $status: $(cat "$work/bg.err")"
fi
same "$work/images/a.bin" "$work/one/cur.bin"
[ -z "$(part_of "$work/one/cur.bin")" ] || fail "a .part file is left: $(part_of "$work/one/cur.bin")"

echo "== -o FILE after a broken fetch of another image"
# The broken fetch's .part file belongs to its image: a fetch of another
# image to the same file neither resumes from it nor is refused for it.
fetch_under_way a.bin "$work/one/next.bin" KILL
wait "$fetcher" 2>/dev/null
t 0 "a smaller image to the same file" fetch camera c.bin -o "$work/one/next.bin"
same "$work/images/c.bin" "$work/one/next.bin"
t 0 "an image of the same size to the same file" fetch camera b.bin -o "$work/one/next.bin"
same "$work/images/b.bin" "$work/one/next.bin"
t 0 "the broken fetch resumes later" -t 60 fetch camera a.bin -o "$work/one/next.bin"
err_has "resuming"
same "$work/images/a.bin" "$work/one/next.bin"

# Images of one base name in two directories: each has a .part file of its
# own, named from the whole name. An interrupted fetch of d1/x.bin is not
# resumed by a fetch of d2/x.bin, and resumes later.
mkdir -p "$work/images/d1" "$work/images/d2" "$work/parts"
head -c 200000 /dev/urandom >"$work/images/d1/x.bin"
head -c 200000 /dev/urandom >"$work/images/d2/x.bin"
head -c 50000 "$work/images/d1/x.bin" >"$work/parts/.d1_x.bin.part"
t 0 "another image of the same base name" fetch camera d2/x.bin -o "$work/parts"
same "$work/images/d2/x.bin" "$work/parts/x.bin"
t 0 "resume from the image's own .part file" fetch camera d1/x.bin -o "$work/parts"
err_has "from byte 50000"
same "$work/images/d1/x.bin" "$work/parts/x_1.bin"

echo "== follow: a .part file the camera will not resume from is dropped"
mkdir -p "$work/follow0"
head -c $((size + 10)) /dev/zero >"$work/follow0/.t.fits.part"
"$corvo" "${net[@]}" -t 20 fetch camera t.fits --follow -o "$work/follow0" >"$work/follow0.out" 2>"$work/follow0.err" &
follower=$!
pids+=("$follower")
for _ in $(seq 150); do
  [ -s "$work/follow0.out" ] && break
  sleep 0.1
done
kill -INT "$follower"
wait "$follower"
status=$?
current="fetch --follow over a long .part file"
[ "$status" -eq 0 ] || fail "$current: exit status $status after SIGINT: $(cat "$work/follow0.err")"
grep -qF "fetching it from the start" "$work/follow0.err" || fail "$current: $(cat "$work/follow0.err")"
same "$image" "$work/follow0/t.fits"
absent "$work/follow0/.t.fits.part"

echo "== follow: each announced image is fetched as it is saved"
mkdir -p "$work/follow"
: >"$work/follow/t.fits"  # a file of the same name is kept, not replaced
"$corvo" "${net[@]}" -t 20 fetch camera --follow -o "$work/follow" >"$work/follow.out" 2>"$work/follow.err" &
follower=$!
pids+=($follower)
# The follower must have joined the site before the first save: wait until
# another peer sees it (the camera learns of it the same way), then a little.
for _ in $(seq 100); do
  "$corvo" "${net[@]}" -t 2 peers 2>/dev/null | grep -q '^corvo ' && break
  sleep 0.2
done
sleep 0.5
t 0 "expose for the follower" --timeout 15 --wait filename cmd camera expose
t 0 "expose again" --timeout 15 --wait filename cmd camera expose
for _ in $(seq 150); do
  [ "$(wc -l <"$work/follow.out")" -ge 2 ] && break
  sleep 0.1
done
kill -INT "$follower"
wait "$follower"
status=$?
current="fetch --follow"
[ "$status" -eq 0 ] || fail "$current: exit status $status after SIGINT: $(cat "$work/follow.err")"
# The camera never replaces a file: the two saves are t_1.fits and t_2.fits.
saved1=$work/images/t_1.fits saved2=$work/images/t_2.fits
got=$(cat "$work/follow.out")
[ "$got" = "$work/follow/t_1.fits"$'\n'"$work/follow/t_2.fits" ] || fail "$current: printed '$got'"
same "$saved1" "$work/follow/t_1.fits"
same "$saved2" "$work/follow/t_2.fits"
[ ! -s "$work/follow/t.fits" ] || fail "$current: the earlier t.fits was replaced"
fitsverify -q "$work/follow/t_2.fits" >"$work/verify" 2>&1 || fail "fitsverify (follow): $(cat "$work/verify")"
t 2 "--follow with a file" fetch camera --follow -o "$work/follow/t_1.fits"
err_has "writes into a directory"
t 2 "--follow elsewhere" --follow get camera imgw
err_has "applies to fetch only"

echo "== a stalled receiver and a concurrent fast one; control traffic during transfers"
# A larger image, so that a transfer spans many windows.
head -c $((24 * 1024 * 1024)) /dev/urandom >"$work/images/big.bin"
"$corvo" "${net[@]}" -t 60 fetch camera big.bin -o "$work/got/stalled.bin" >"$work/stalled.out" 2>&1 &
stalled=$!
pids+=($stalled)
for _ in $(seq 300); do
  [ -s "$work/got/.stalled.bin.big.bin.part" ] && break
  sleep 0.05
done
kill -STOP "$stalled"
[ -s "$work/got/.stalled.bin.big.bin.part" ] || fail "the stalled fetch never began"
t 0 "a fast fetch beside a stalled one" -t 60 fetch camera big.bin -o "$work/got/fast.bin"
same "$work/images/big.bin" "$work/got/fast.bin"
# Property changes are answered while images flow: fetches run back to back
# in the background while the camera's settings are changed.
(
  for i in 1 2 3 4 5 6; do
    "$corvo" "${net[@]}" -t 60 fetch camera big.bin -o "$work/got/loop$i.bin" >/dev/null 2>&1 || exit 1
  done
) &
looper=$!
pids+=($looper)
sleep 0.5
for v in 0.3 0.4 0.5; do
  t 0 "set during transfers ($v)" -t 20 set camera expotime "$v"
  [ "$(cat "$work/out")" = "$v" ] || [ "$(cat "$work/out")" = "${v}00000" ] || fail "$current: printed '$(cat "$work/out")'"
done
kill -0 "$looper" 2>/dev/null || fail "the fetches had ended before the settings were answered: no overlap"
wait "$looper" || fail "a fetch beside the settings failed"
for i in 1 2 3 4 5 6; do same "$work/images/big.bin" "$work/got/loop$i.bin"; done
kill -CONT "$stalled"
wait "$stalled"
status=$?
# Stopped long enough, each side may have seen the other leave the site:
# then the fetch says so and a second run resumes from its .part file.
if [ "$status" -eq 4 ]; then
  grep -qF "run again to resume" "$work/stalled.out" || fail "stalled fetch: $(cat "$work/stalled.out")"
  t 0 "the stalled fetch run again" -t 60 fetch camera big.bin -o "$work/got/stalled.bin"
  err_has "resuming"
elif [ "$status" -ne 0 ]; then
  fail "the stalled fetch ended with $status once resumed: $(cat "$work/stalled.out")"
fi
same "$work/images/big.bin" "$work/got/stalled.bin"

echo "== the camera still answers"
t 0 "get after all of it" get camera imgw
kill -0 "${pids[0]}" 2>/dev/null || fail "the camera died: $(tail -5 "$work/camera.log")"
grep -q "refused" "$work/camera.log" || fail "the camera logged no refusal"

echo "== secured site: the fetch right and the audit of every fetch"
export CORVO_KEY_DIR=$work/keys
"$corvo" keys new camera >/dev/null || fail "keys new camera"
for who in alice bob; do
  "$corvo" keys new "$who" --names corvo >/dev/null || fail "keys new $who"
done
secconf=$work/secconf
mkdir -p "$secconf" "$work/images/pub" "$work/images/priv"
sed "s|^filepattern.*|filepattern = pub/s.fits|" "$CORVO_CONF_PATH/camera.conf" >"$secconf/camera.conf"
: >"$secconf/fitshdr.txt"
printf 'allow alice fetch pub/*\nallow bob run expose\nallow bob lock\n' >"$secconf/camera.rules"
chmod 644 "$secconf/camera.rules"
head -c 70000 /dev/urandom >"$work/images/pub/a.bin"
head -c 100 /dev/urandom >"$work/images/priv/b.bin"
snet=(-i lo -p 5899 -s imgsec)
CORVO_CONF_PATH=$secconf "$simcam" "${snet[@]}" --key camera >"$work/secured.log" 2>&1 &
pids+=($!)
# as IDENTITY STATUS NAME ARGS...: the tool on the secured site.
as() {
  local who=$1 expected=$2
  current=$3
  shift 3
  "$corvo" "${snet[@]}" --key "$who" -t 20 "$@" >"$work/out" 2>"$work/err"
  local status=$?
  [ "$status" -eq "$expected" ] || fail "$current: exit status $status, expected $expected: $(cat "$work/err")"
}
as alice 0 "alice fetches below pub/" fetch camera pub/a.bin -o "$work/got/sec-a.bin"
same "$work/images/pub/a.bin" "$work/got/sec-a.bin"
as alice 5 "alice outside pub/" fetch camera priv/b.bin -o "$work/got"
err_has "alice may not fetch priv/b.bin"
as alice 5 "no hint of what exists" fetch camera priv/none.bin -o "$work/got"
err_has "alice may not fetch priv/none.bin"
as bob 5 "bob has other rights, not fetch" fetch camera pub/a.bin -o "$work/got/sec-bob.bin"
err_has "bob may not fetch pub/a.bin"
absent "$work/got/b.bin"
absent "$work/got/sec-bob.bin"
as bob 0 "bob locks the camera" lock camera --for 60s
as alice 0 "a lock does not stop a fetch" fetch camera pub/a.bin -o "$work/got/sec-a2.bin"
same "$work/images/pub/a.bin" "$work/got/sec-a2.bin"
grep -q "audit: accepted fetch pub/a.bin by alice (corvo at .*), sent 70000 of 70000 bytes from byte 0: complete" \
  "$work/secured.log" || fail "no audit record of the fetch: $(grep audit "$work/secured.log")"
[ "$(grep -c "audit: accepted fetch pub/a.bin by alice" "$work/secured.log")" -eq 2 ] ||
  fail "not one record per fetch: $(grep audit "$work/secured.log")"
grep -q "audit: refused fetch priv/b.bin by alice (corvo at .*): alice may not fetch priv/b.bin" "$work/secured.log" ||
  fail "no audit record of the refusal: $(grep audit "$work/secured.log")"
grep -q "audit: refused fetch pub/a.bin by bob" "$work/secured.log" || fail "bob's refusal not audited"

echo "== a camera that names its images itself"
# It calls every image .bashrc: a named image takes the name asked for, and
# "latest" no hidden name; the operator's .bashrc is never replaced.
net=(-i lo -p 5901 -s imgfake)
mkdir -p "$work/fake"
echo "my settings" >"$work/fake/.bashrc"
FAKE_IMAGE_NAME=.bashrc "$fake_camera" "${net[@]}" >"$work/fake.log" 2>&1 &
pids+=($!)
t 0 "a named image" -t 15 fetch camera night/img.fits -o "$work/fake"
out_is "$work/fake/img.fits"
t 0 "the latest image" -t 15 fetch camera -o "$work/fake"
out_is "$work/fake/_bashrc"
[ "$(cat "$work/fake/.bashrc")" = "my settings" ] || fail "the fake camera replaced .bashrc"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all fetch checks passed"
