#!/usr/bin/env bash
# Tests from a checkout whose path is 200 characters long: clones this
# checkout's HEAD there, builds what the tests start and runs them. By
# default the tests whose scratch files, sockets and temporary directories
# live in the build tree (the web console, the browser, the operator tool,
# the secured site); scripts/test.sh runs it so in CI.
#   tests/web/deep-clone.sh [BASE]     # BASE: where the deep path starts (default: a new directory in /tmp)
# Environment:
#   DEEP_TESTS   ctest regular expression of the tests to run
#   DEEP_BUILD   build directory inside the clone (default: build)
#   JOBS         parallel jobs (default: 2)
#   KEEP=1       keep the clone
# ccache: the clone compiles the same sources at another path. With
# CCACHE_BASEDIR at a directory that holds both checkouts, CCACHE_NOHASHDIR=1
# (the compile directory is otherwise hashed, as objects carry debug
# information) and DEEP_BUILD mirroring the first build's directory, every
# compile the first build made is a hit (scripts/test.sh sets all three).
# Exits with ctest's status.
set -euo pipefail
readonly LENGTH=200
readonly DEFAULT_TESTS='^(web\.gateway|web\.browser\.deep|tool\.subcommands|access\.secured_site)$'
readonly TARGETS=(corvo_python corvo-simcam corvo-example-daemon corvo_tool corvo-archiver web_test_flood)

here=$(cd "$(dirname "$0")/../.." && pwd)
made_base=0
if [ $# -ge 1 ]; then
  base=$(mkdir -p "$1" && cd "$1" && pwd)
else
  base=$(mktemp -d /tmp/corvo-deep.XXXXXX)
  made_base=1
fi
build=${DEEP_BUILD:-build}
deep=$base/src
if [ ${#deep} -gt $((LENGTH - 2)) ]; then
  echo "deep-clone: $base is too long to start a path of $LENGTH characters" >&2
  exit 2
fi
while [ ${#deep} -lt $((LENGTH - 40)) ]; do
  deep=$deep/a-rather-long-folder-name
done
# Exactly LENGTH characters.
pad=$((LENGTH - ${#deep} - 1))
deep=$deep/$(printf 'x%.0s' $(seq 1 "$pad"))
echo "deep-clone: checkout at ${#deep} characters: $deep"

cleanup() {
  if [ "${KEEP:-0}" != 1 ]; then
    rm -rf "$base/src"
    if [ $made_base = 1 ]; then rmdir "$base"; fi
  fi
}
trap cleanup EXIT

rm -rf "$base/src"
mkdir -p "$(dirname "$deep")"
git clone --quiet --no-hardlinks "$here" "$deep"
cmake -S "$deep" -B "$deep/$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the targets this machine configures (the web console's need its
# Python modules).
known=$(cmake --build "$deep/$build" --target help)
targets=()
for target in "${TARGETS[@]}"; do
  if grep -qE "^\.\.\. $target( |\$)" <<<"$known"; then targets+=("$target"); fi
done
log=$base/src/build.log
if ! cmake --build "$deep/$build" -j"${JOBS:-2}" --target "${targets[@]}" >"$log" 2>&1; then
  tail -n 60 "$log"
  exit 1
fi
ctest --test-dir "$deep/$build" -R "${DEEP_TESTS:-$DEFAULT_TESTS}" --output-on-failure -j"${JOBS:-2}" \
  --timeout 300 --repeat until-pass:2
