#!/usr/bin/env bash
# The operator tool against the example daemon ("wheel") and, when given, the
# simulated camera: output and exit status of every subcommand, confirmation
# of set, the refusals, and watch and log receiving what the daemon sends.
# Runs inside a network namespace of its own (see CMakeLists.txt).
#   test_tool.sh CORVO EXAMPLE_DAEMON [SIMCAM]
set -uo pipefail

corvo=$1
wheel=$2
simcam=${3:-}

# shellcheck source-path=SCRIPTDIR source=../support/site.sh
source "$(dirname "$0")/../support/site.sh"
site_begin tool
mkdir -p "$work/images"
net=(-i lo -p 5899 -s tooltest)

err_lines() {
  local n
  n=$(wc -l <"$work/err")
  [ "$n" -eq "$1" ] || fail "$current: $n lines on stderr, expected $1: $(cat "$work/err")"
}
no_trace() { ! grep -qiE 'stack|backtrace|terminate|Segmentation' "$work/err" || fail "$current: trace on stderr"; }

start_daemon() {
  local log=$1
  shift
  "$@" "${net[@]}" >"$work/$log" 2>&1 &
  pids+=($!)
  last_pid=$!
}

echo "== usage errors (no network needed)"
t 2 "no subcommand"
err_has "missing subcommand"; err_lines 1
t 2 "unknown subcommand" frobnicate
err_has "unknown subcommand 'frobnicate'"; err_lines 1
t 2 "get without property" get wheel
err_has "usage: corvo get PEER PROPERTY"
t 2 "set without value" set wheel slot
t 2 "cmd without command" cmd wheel
t 2 "bad timeout" --timeout 0 peers
t 2 "count outside watch/log" --count 2 get wheel slot
err_has "--count applies to watch and log only"
t 2 "wait outside cmd" --wait slot get wheel slot
t 1 "unknown option" --frobnicate peers
t 1 "help" --help
err_has "exit status"; err_has "--timeout"; err_has "--json"
t 0 "help subcommand" help
out_has "set PEER PROPERTY VALUE"
t 0 "version" --version peers
out_is "corvo v2.1.0"
t 3 "fitshdr of a missing file" fitshdr "$work/none.fits"
err_has "cannot read FITS file"; err_lines 1
echo "not a FITS file" >"$work/bad.fits"
t 3 "fitshdr of a non-FITS file" fitshdr "$work/bad.fits"
t 2 "fitshdr without a file" fitshdr
# A crafted file's cards are printed with their control characters escaped.
card() { printf '%-80s' "$1"; }
{
  card "SIMPLE  =                    T"
  card "BITPIX  =                    8"
  card "NAXIS   =                    0"
  card "OBJECT  = 'a"$'\e]0;pwned\a\e[31m'"red'"
  card END
  printf '%*s' $((2880 - 5 * 80)) ''
} >"$work/esc.fits"
t 0 "fitshdr of control characters" fitshdr "$work/esc.fits"
out_has "OBJECT  = 'a\x1b]0;pwned\x07\x1b[31mred'"
! grep -q $'[\e\a]' "$work/out" || fail "$current: raw control characters printed"

echo "== example daemon"
start_daemon wheel.log "$wheel"
wheel_pid=$last_pid

t 0 "peers" peers
out_has "NAME"
grep -qE '^wheel +wheel +daemon +IDLE +live +tcp://' "$work/out" || fail "peers: no wheel row: $(cat "$work/out")"
t 0 "peers --json" --json peers
out_has '"name": "wheel"'; out_has '"status_text": "IDLE"'; out_has '"client": false'
"$corvo" -i lo -p 5899 -s nobody-here --timeout 1 peers >"$work/out" 2>"$work/err" || fail "peers of an empty site: status $?"
current="peers of an empty site"
[ -s "$work/out" ] && fail "peers of an empty site printed: $(cat "$work/out")"
err_has "no peers on site nobody-here"

t 0 "info" info wheel
out_has "wheel (type wheel, daemon)"
out_has "status: IDLE (0)"
grep -qE '^  slot +int +0 +- +rw +filter slot in the beam' "$work/out" || fail "info: slot row: $(cat "$work/out")"
grep -qE '^  filters +str_list +\["L", "R", "G", "B", "Ha", "OIII"\] +- +ro' "$work/out" || fail "info: filters row"
grep -qE '^  focus +double +0 +mm +rw' "$work/out" || fail "info: focus row"
out_has "move <slot:int> <focus:double>"
out_has "home"
grep -qE '^  1 +MOVING' "$work/out" || fail "info: status values"
t 0 "info --json" --json info wheel
out_has '"name": "move", "description": "put a filter in and focus", "args": [{"name": "slot", "type": "int"}, {"name": "focus", "type": "double"}]'
out_has '{"value": 2, "text": "FAULT"}'
t 3 "info of an unknown peer" --timeout 1 info nobody
err_has "no peer nobody on site tooltest"; err_lines 1

t 0 "get int" get wheel slot
out_is "0"
t 0 "get str_list" get wheel filters
out_is '["L", "R", "G", "B", "Ha", "OIII"]'
t 0 "get --json" --json get wheel filters
out_has '"value": ["L", "R", "G", "B", "Ha", "OIII"]'; out_has '"writable": false'
t 3 "get unknown property" get wheel nosuch
err_has "wheel has no property 'nosuch'"; err_lines 1

t 0 "set int" set wheel slot 3
out_is "3"
t 0 "get after set" get wheel slot
out_is "3"
t 0 "set double" set wheel focus 12.5
out_is "12.5"
t 0 "set negative double" set wheel focus -2.25
out_is "-2.25"
# The focuser takes steps of 0.01 mm: the daemon applies another value than
# requested, confirms it to the tool, and audits what it applied.
t 0 "set a double the daemon rounds" set wheel focus 12.344
out_is "12.34"
wait_for "$work/wheel.log" "audit: accepted set focus = 12.340000 (requested 12.344000, was -2.250000) by corvo at tcp://"
t 0 "set --json of a rounded double" --json set wheel focus 1.006
out_has '"value": 1.01'
t 0 "set string with spaces" set wheel label "H alpha"
out_is "H alpha"
t 0 "set a value that begins with a dash" set wheel label -- -abc
out_is "-abc"
t 0 "options after the words" get wheel label --json --timeout 3
out_has '"value": "-abc"'
t 0 "set --json" --json set wheel slot 4
out_has '"name": "slot"'; out_has '"value": 4'
t 5 "set read-only" set wheel filters a,b
err_has "property 'filters' of wheel is read-only"; err_lines 1
t 3 "set unknown property" set wheel nosuch 1
err_lines 1
t 2 "set unparsable int" set wheel slot 12abc
err_has "bad value for slot (int): '12abc' is not an integer"; err_lines 1; no_trace
t 2 "set nan" set wheel focus nan
err_lines 1; no_trace
t 3 "set on an unknown peer" --timeout 1 set nobody slot 1
t 0 "value unchanged by refusals" get wheel slot
out_is "4"

t 0 "cmd" cmd wheel move 2 7.5
out_is "sent move to wheel"
t 0 "cmd effect" get wheel slot
out_is "2"
t 0 "cmd --wait" --wait focus cmd wheel move 5 3.75
out_is "3.75"
t 2 "cmd with too few args" cmd wheel move 1
err_has "command 'move' takes <slot:int> <focus:double>, got 1 argument"; err_lines 1
t 2 "cmd with too many args" cmd wheel home now
t 2 "cmd with a bad int" cmd wheel move one 1.5
err_has "argument slot of 'move': 'one' is not an integer"
t 3 "cmd unknown" cmd wheel dance
err_has "wheel has no command 'dance'"; err_lines 1
t 3 "cmd --wait unknown property" --wait nosuch cmd wheel home
t 0 "cmd refusals sent nothing" get wheel slot
out_is "5"
# Commands carry their sending time: the daemon's transit delay is small.
# The daemon reports it through its logger.
delays=$(grep -oE '\[info\] CommandDelay: -?[0-9]+us' "$work/wheel.log" | grep -oE -- '-?[0-9]+us' | grep -oE -- '-?[0-9]+')
[ -n "$delays" ] || fail "the daemon reported no command delay"
for d in $delays; do
  [ "$d" -ge 0 ] && [ "$d" -lt 60000000 ] || fail "command delay of $d us: the command had no sending time"
done

echo "== watch"
"$corvo" "${net[@]}" watch wheel >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
pids+=($watch_pid)
# Ready once a change of ours comes back through it.
ready=0
for i in $(seq 20); do
  "$corvo" "${net[@]}" set wheel label "ready$i" >/dev/null 2>&1
  if grep -qF "wheel label = ready$i" "$work/watch.out"; then ready=1; break; fi
done
[ $ready -eq 1 ] || fail "watch never saw a change: $(cat "$work/watch.out")"
t 0 "cmd while watching" cmd wheel move 1 1.5
wait_for "$work/watch.out" "wheel status IDLE (0)"
wait_for "$work/watch.out" "wheel focus = 1.5 mm"
grep -qE '^[0-9-]+ [0-9:.]+ wheel status MOVING \(1\)$' "$work/watch.out" || fail "watch: MOVING line: $(cat "$work/watch.out")"
grep -qE '^[0-9-]+ [0-9:.]+ wheel slot = 1$' "$work/watch.out" || fail "watch: slot line"
# Events are printed in the order the daemon sent them.
order=$(grep -oE 'status MOVING|slot = 1|focus = 1.5|status IDLE' "$work/watch.out" | tr '\n' ',')
[ "$order" = "status MOVING,slot = 1,focus = 1.5,status IDLE," ] || fail "watch order: $order"
kill -INT $watch_pid
wait $watch_pid
st=$?
[ $st -eq 0 ] || fail "watch: status $st after SIGINT"
"$corvo" "${net[@]}" --count 1 --json watch wheel >"$work/count.out" 2>&1 &
count_pid=$!
pids+=($count_pid)
for i in $(seq 20); do
  "$corvo" "${net[@]}" set wheel slot 1 >/dev/null 2>&1
  kill -0 $count_pid 2>/dev/null || break
done
wait $count_pid || fail "watch --count: status $?"
grep -q '"event": "property", "peer": "wheel", "name": "slot", "value": 1' "$work/count.out" ||
  fail "watch --json --count: $(cat "$work/count.out")"
[ "$(grep -c '"event": "property"' "$work/count.out")" -eq 1 ] || fail "watch --count 1 printed more"
t 4 "watch --count with a timeout" --count 5 --timeout 1 watch wheel

echo "== log"
"$corvo" "${net[@]}" log wheel >"$work/log.out" 2>"$work/log.err" &
log_pid=$!
pids+=($log_pid)
# Ready once the daemon's record of a newcomer reaches it.
for i in $(seq 20); do
  "$corvo" "${net[@]}" --timeout 1 peers >/dev/null 2>&1
  grep -qF "Peer corvo has entered" "$work/log.out" && break
done
wait_for "$work/log.out" "Peer corvo has entered"
t 0 "cmd while following the log" cmd wheel move 2 0.5
wait_for "$work/log.out" "move 2 0.5"
grep -qE '^\[[0-9-]+ [0-9:.]+\] \[wheel\] \[info\] move 2 0.5$' "$work/log.out" || fail "log line: $(cat "$work/log.out")"
t 2 "bad cmd refused by the tool leaves no daemon error" cmd wheel move 1
sleep 0.5
grep -q "Wrong argument" "$work/log.out" && fail "the tool sent a command with a wrong argument count"
kill -INT $log_pid
wait $log_pid
st=$?
[ $st -eq 0 ] || fail "log: status $st after SIGINT"
t 0 "log --json --count" --json --count 1 --timeout 5 log
out_has '"logger": "wheel", "level": "info", "message": "Peer corvo has entered"'

echo "== a peer that leaves"
"$corvo" "${net[@]}" watch >"$work/watch2.out" 2>&1 &
watch_pid=$!
pids+=($watch_pid)
wait_for "$work/watch2.out" "wheel entered"
kill -INT "$wheel_pid"
wait "$wheel_pid"
st=$?
[ $st -eq 0 ] || fail "wheel: status $st after SIGINT"
wait_for "$work/watch2.out" "wheel left"
kill -INT $watch_pid
wait $watch_pid || fail "watch after the peer left"
t 3 "peer gone" --timeout 1 get wheel slot

echo "== a peer that goes silent, and one that is killed"
start_daemon stopme.log "$wheel" -n stopme
stop_pid=$last_pid
start_daemon killme.log "$wheel" -n killme
kill_pid=$last_pid
"$corvo" "${net[@]}" watch stopme killme >"$work/watch3.out" 2>&1 &
watch_pid=$!
pids+=($watch_pid)
wait_for "$work/watch3.out" "stopme entered"
wait_for "$work/watch3.out" "killme entered"
t 0 "peers, all live" peers
grep -qE '^stopme +wheel +daemon +IDLE +live +tcp://' "$work/out" || fail "peers: stopme not live: $(cat "$work/out")"
t 0 "peers --json, all live" --json peers
out_has '"state": "live"'
grep -q '"state": "silent"' "$work/out" && fail "peers --json: a silent peer before any stopped: $(cat "$work/out")"
# A stopped process keeps its sockets open but sends nothing: the watching
# client flags it silent at the evasive timeout (5 s; wait_for allows 10 s
# more). A one-shot `peers` started after the stop never hears it at all, so
# it must not list it as live.
kill -STOP "$stop_pid"
sleep 4
wait_for "$work/watch3.out" "stopme silent"
t 0 "peers beside a stopped peer" --timeout 2 peers
grep -qE '^stopme +.* live +tcp://' "$work/out" && fail "peers: stopped stopme listed live: $(cat "$work/out")"
grep -qE '^killme +.* live +tcp://' "$work/out" || fail "peers: killme not live beside a stopped peer: $(cat "$work/out")"
grep -q "killme silent" "$work/watch3.out" && fail "watch: killme reported silent: $(cat "$work/watch3.out")"
kill -CONT "$stop_pid"
wait_for "$work/watch3.out" "stopme back"
# A killed process's sockets are closed by the kernel: the node checks the
# peer at once and reports it gone well before the expiry (30 s).
kill -KILL "$kill_pid"
wait "$kill_pid" 2>/dev/null
wait_for "$work/watch3.out" "killme left"
t 0 "peers after a kill" --timeout 2 peers
grep -qE '^killme ' "$work/out" && fail "peers: killme still listed after the kill: $(cat "$work/out")"
grep -qE '^stopme +.* live +tcp://' "$work/out" || fail "peers: stopme not live again: $(cat "$work/out")"
kill -INT $watch_pid
wait $watch_pid || fail "watch of a silent and a killed peer: status $?"
kill -INT "$stop_pid"
wait "$stop_pid" 2>/dev/null

if [ -n "$simcam" ]; then
  echo "== simulated camera"
  cat >"$CORVO_CONF_PATH/camera.conf" <<CONF
imgw = 64
imgh = 48
expotime = 0.2
imageroot = $work/images
filepattern = $work/images/t_\${camera:expotime}.fits
CONF
  cat >"$CORVO_CONF_PATH/fitshdr.txt" <<'HDR'
#define CAM camera
EXPTIME => CAM:expotime "exposure time"
IMGW => CAM:imgw "image width"
HDR
  start_daemon camera.log "$simcam"
  t 0 "camera datatype" get camera datatype
  out_is "UINT16"
  t 5 "camera read-only" set camera imgw 10
  t 5 "camera datatype not a choice" set camera datatype 12
  t 0 "camera expotime" set camera expotime 0.3
  out_is "0.3"
  t 2 "expose takes no argument" cmd camera expose 1
  t 0 "expose" --timeout 15 --wait filename cmd camera expose
  # File patterns keep six decimals; the file is complete once named.
  out_is "$work/images/t_0.300000.fits"
  t 0 "fitshdr" fitshdr "$work/images/t_0.300000.fits"
  out_has "SIMPLE  =                    T"
  grep -qE "^NAXIS1  = +64 " "$work/out" || fail "fitshdr: NAXIS1: $(cat "$work/out")"
  grep -qE "^IMGW    = +64 */ image width" "$work/out" || fail "fitshdr: IMGW card"
  # The camera records the length it measured (0.3 s and a little).
  grep -qE "^EXPTIME = +0\.3[0-9]* */ exposure time" "$work/out" || fail "fitshdr: EXPTIME card: $(cat "$work/out")"
  out_has "END"
  # A file name is taken literally, brackets included.
  cp "$work/images/t_0.300000.fits" "$work/images/copy[1].fits"
  t 0 "fitshdr of a name with brackets" fitshdr "$work/images/copy[1].fits"
  out_has "NAXIS2  =                   48"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all tool checks passed"
