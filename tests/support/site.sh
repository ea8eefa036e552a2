# shellcheck shell=bash
# The set-up that the shell tests starting real programs share. Source it,
# then call site_begin:
#   source "$(dirname "$0")/../support/site.sh"
#   site_begin NAME
# It gives:
#   $work      a fresh directory (removed at the end unless KEEP_WORK is set),
#              also the programs' HOME ($work/home) and configuration
#              ($CORVO_CONF_PATH = $work/conf)
#   pids       the programs to stop at the end (append each one started);
#              background jobs are stopped too
#   failures   the count of failed checks, raised by fail
# and the helpers fail, wait_for and eventually.

site_begin() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/corvo-$1-XXXXXX") || exit 1
  export HOME=$work/home CORVO_CONF_PATH=$work/conf
  mkdir -p "$HOME" "$CORVO_CONF_PATH"
  pids=()
  failures=0
  trap site_cleanup EXIT
  # A test runner ending the test on its deadline still gets the clean-up.
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# Every program still running (daemons, and clients left behind by a failed
# check) is stopped, politely first, before the work directory goes.
site_cleanup() {
  local p
  # shellcheck disable=SC2207  # job ids are plain numbers
  pids+=($(jobs -p))
  for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null; done
  sleep 0.3
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# wait_for FILE TEXT [SECONDS]: waits (30 s by default) until TEXT is in
# FILE; a failed check otherwise.
wait_for() {
  local tenths=$((${3:-30} * 10))
  for _ in $(seq "$tenths"); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "'$2' never appeared in $(basename "$1"): $(tail -20 "$1" 2>/dev/null)"
  return 1
}

# eventually COMMAND...: waits up to 30 s for COMMAND to succeed.
eventually() {
  for _ in $(seq 300); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# t STATUS NAME ARGS...: runs the tool ($corvo on the site "${net[@]}");
# a failed check unless it exits with STATUS. Its output is kept in
# $work/out and $work/err for the checks that follow (out_is, out_has,
# err_has).
# shellcheck disable=SC2154  # corvo and net are the caller's
t() {
  local expected=$1 name=$2
  shift 2
  current=$name
  "$corvo" "${net[@]}" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    fail "$name: exit status $status, expected $expected"
    sed 's/^/    stdout: /' "$work/out"
    sed 's/^/    stderr: /' "$work/err"
  fi
}
out_is() { [ "$(cat "$work/out")" = "$1" ] || fail "$current: stdout is '$(cat "$work/out")', expected '$1'"; }
out_has() { grep -qF -- "$1" "$work/out" || fail "$current: stdout lacks '$1': $(cat "$work/out")"; }
err_has() { grep -qF -- "$1" "$work/err" || fail "$current: stderr lacks '$1': $(cat "$work/err")"; }
