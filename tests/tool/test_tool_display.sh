#!/usr/bin/env bash
# How the operator tool shows what peers publish: doubles in their shortest
# exact text (get, set, info, watch, the JSON "text"), `info` of a peer with
# one very long value beside many short ones, `alarms --json` of an alarm
# daemon whose items hold junk, `history` of archived peer text that holds
# terminal controls (text, CSV and JSON), and `keys list` of a missing or
# unsafe key directory. Runs inside a network namespace of its own (see
# CMakeLists.txt).
#   test_tool_display.sh CORVO DISPLAY_DAEMON PYTHON HISTORY_ROWS
set -uo pipefail

corvo=$1
daemon=$2
python=${3:-/usr/bin/python3}
history_rows=$4

# shellcheck source-path=SCRIPTDIR source=../support/site.sh
source "$(dirname "$0")/../support/site.sh"
site_begin tooldisp
net=(-i lo -p 5898 -s tooldisp)

start_daemon() {
  local log=$1
  shift
  "$@" "${net[@]}" >"$work/$log" 2>&1 &
  pids+=($!)
}

# reads_back TEXT NUMBER: TEXT is a number that reads back as exactly NUMBER.
reads_back() {
  "$python" -c 'import sys; sys.exit(float(sys.argv[1]) != float(sys.argv[2]))' "$1" "$2" 2>/dev/null ||
    fail "$current: '$1' does not read back as $2"
}

echo "== keys list of a missing directory"
t 3 "keys list of a missing directory" keys list --keys "$work/no-such-dir"
err_has "$work/no-such-dir"
mkdir -p "$work/keys"
t 0 "keys list of an empty directory" keys list --keys "$work/keys"

echo "== keys list of a key directory others may write"
# Refused with status 5 and the reason, as the daemons refuse it; no abort.
"$corvo" keys new alice --keys "$work/kd" >/dev/null || fail "keys new alice"
chmod 700 "$work/kd"
t 0 "keys list of a safe directory" keys list --keys "$work/kd"
out_has "alice"
chmod g+w "$work/kd/alice.id"
t 5 "keys list with an identity file others may write" keys list --keys "$work/kd"
err_has "writable by others"
t 5 "keys list --json with an identity file others may write" --json keys list --keys "$work/kd"
err_has "writable by others"
chmod g-w "$work/kd/alice.id"
chmod g+w "$work/kd"
t 5 "keys list of a directory others may write" keys list --keys "$work/kd"
err_has "the key directory is writable by others"
chmod 700 "$work/kd"

echo "== history of archived peer text with terminal controls"
# No control byte reaches the terminal in any format (ESC, BEL, DEL, C1);
# the CSV stays CSV and the JSON parses back to the archived text.
db=$work/h.db
"$history_rows" "$db" || fail "history_rows could not write $db"
hist=$work/hist
mkdir -p "$hist"
for query in "log:--log" "status:--status cam" "label:cam label" "names:cam names" "list:--list"; do
  what=${query%%:*}
  for format in text csv json; do
    flag=()
    [ "$format" = text ] || flag=(--"$format")
    # shellcheck disable=SC2086  # the query's words
    t 0 "history $what ($format)" history --db "$db" ${query#*:} "${flag[@]}"
    cp "$work/out" "$hist/$what.$format"
  done
done
"$python" - "$hist" <<'PY' || fail "history output: $(cat -v "$hist"/*.csv "$hist"/*.json)"
import csv, io, json, os, re, sys
d = sys.argv[1]
text = "A\x1b[2J\x1b]0;pwned\x07B\u009b31mC\x7fD, \"q\"\nE"
shown = "A\\x1b[2J\\x1b]0;pwned\\x07B\\u009b31mC\\x7fD, \"q\"\\nE"
for name in sorted(os.listdir(d)):
    raw = open(os.path.join(d, name), "rb").read()
    assert not re.search(b"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]", raw), (name, raw)
    # One line per record (and the CSV header): the newline is escaped too.
    lines = (3 if name.startswith("list.") else 1) + name.endswith(".csv")
    assert raw.count(b"\n") == lines, (name, raw)

def rows(name):
    return list(csv.DictReader(io.StringIO(open(os.path.join(d, name + ".csv")).read())))

def objects(name):
    return [json.loads(line) for line in open(os.path.join(d, name + ".json"))]

assert [r["text"] for r in rows("log")] == [shown], rows("log")
assert [r["name"] for r in rows("status")] == [shown], rows("status")
assert [r["value"] for r in rows("label")] == [shown], rows("label")
assert [r["unit"] for r in rows("list") if r["property"] == "temp"] == ["mbar\\x7f"], rows("list")
assert [o["text"] for o in objects("log")] == [text], objects("log")
assert [o["name"] for o in objects("status")] == [text], objects("status")
assert [o["value"] for o in objects("label")] == [text], objects("label")
assert [o["value"] for o in objects("names")] == [[text, "x"]], objects("names")
assert [o["unit"] for o in objects("list") if o["property"] == "temp"] == ["mbar\x7f"], objects("list")
PY

echo "== doubles"
start_daemon gauge.log "$daemon" --name gauge
t 0 "get a small double" get gauge pressure
reads_back "$(cat "$work/out")" 2.5e-7
t 0 "get --json of a small double" --json get gauge pressure
text=$("$python" -c 'import json, sys; print(json.load(open(sys.argv[1]))["text"])' "$work/out")
reads_back "$text" 2.5e-7
t 0 "get a list of doubles" get gauge spectrum
"$python" - "$work/out" <<'PY' || fail "get spectrum: $(cat "$work/out")"
import sys
text = open(sys.argv[1]).read().strip()
assert text.startswith("[") and text.endswith("]"), text
assert [float(x) for x in text[1:-1].split(",")] == [1e-9, 0.1, 2.5, 1234567.125], text
PY
t 0 "info shows small doubles" info gauge
value=$(awk '$1 == "pressure" { print $3 }' "$work/out")
reads_back "$value" 2.5e-7
t 0 "set a small double" set gauge threshold 3e-6
reads_back "$(cat "$work/out")" 3e-6
t 0 "set a double of many digits" set gauge threshold 0.1234567890123
reads_back "$(cat "$work/out")" 0.1234567890123

"$corvo" "${net[@]}" --count 1 watch gauge >"$work/watch.out" 2>&1 &
watch_pid=$!
pids+=("$watch_pid")
"$corvo" "${net[@]}" --count 1 --json watch gauge >"$work/watchj.out" 2>&1 &
watchj_pid=$!
pids+=("$watchj_pid")
# Until both have seen a change (the first sets may come before they listen).
for i in $(seq 30); do
  "$corvo" "${net[@]}" set gauge threshold "${i}e-9" >/dev/null 2>&1
  kill -0 $watch_pid 2>/dev/null || kill -0 $watchj_pid 2>/dev/null || break
done
wait $watch_pid || fail "watch --count 1: status $?"
wait $watchj_pid || fail "watch --json --count 1: status $?"
current="watch"
line=$(cat "$work/watch.out")
[[ $line =~ gauge\ threshold\ =\ ([^ ]+)\ mbar$ ]] || fail "watch line: $line"
"$python" -c 'import sys; sys.exit(not any(float(sys.argv[1]) == float(f"{i}e-9") for i in range(1, 31)))' \
  "${BASH_REMATCH[1]:-x}" 2>/dev/null || fail "watch: ${BASH_REMATCH[1]:-} is not one of the values set"
current="watch --json"
"$python" - "$work/watchj.out" <<'PY' || fail "watch --json: $(cat "$work/watchj.out")"
import json, sys
event = [e for e in map(json.loads, open(sys.argv[1])) if e["event"] == "property"][-1]
assert float(event["text"]) == event["value"] and event["value"] < 1e-6, event
PY

echo "== info of a peer with one long value"
CORVO_TEST_WIDE=1 start_daemon wide.log "$daemon" --name wide
t 0 "info --json of the wide peer" --timeout 15 --json info wide
json_size=$(wc -c <"$work/out")
[ "$json_size" -gt 60000 ] || fail "info --json wide: only $json_size bytes"
t 0 "info of the wide peer" --timeout 15 info wide
text_size=$(wc -c <"$work/out")
[ "$text_size" -lt $((3 * json_size)) ] ||
  fail "info wide: $text_size bytes of text for $json_size bytes of JSON"
# The long value is printed once and whole.
[ "$(grep -c '#' "$work/out")" -eq 1 ] || fail "info wide: the long value is on more than one line"
[ "$(tr -cd '#' <"$work/out" | wc -c)" -eq 60000 ] || fail "info wide: the long value is not whole"
grep -qE '^  p0000 +string +v +- +ro +x$' "$work/out" || fail "info wide: p0000 row: $(grep p0000 "$work/out")"

echo "== alarms of a peer with junk among them"
start_daemon alarmd.log "$daemon" --name alarmd
t 0 "alarms --json" --json alarms
"$python" - "$work/out" <<'PY' || fail "alarms --json: $(od -c "$work/out" | head -20)"
import json, re, sys
raw = open(sys.argv[1], "rb").read()
assert b"\x7f" not in raw and not re.search(b"\xc2[\x80-\x9f]", raw), raw
items = json.loads(raw.decode("utf-8"))
assert [i["rule"] for i in items] == ["r1\u009b2J\u007f", "r2"], items
assert items[1]["note"] == "tab\there", items
assert items[1]["nested"] == [1, -2500.0, {"x": None}] and items[1]["ok"] is True, items
PY
t 0 "alarms" alarms
[ "$(wc -l <"$work/out")" -eq 4 ] || fail "alarms: not one line per valid item and action: $(cat "$work/out")"
out_has "active  major  r1"
out_has "shelved  minor  r2"
# An outcome holding a quote and a brace ends neither it nor the actions.
out_has '    action dome close: refused: "}" is no angle'
out_has "    action lamp off: done"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all display checks passed"
