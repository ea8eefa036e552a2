#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal
# build, and one with AddressSanitizer and UndefinedBehaviorSanitizer that
# halt on the first report; between them, a representative set from a clone
# whose path is 200 characters long (tests/web/deep-clone.sh). Then a short
# fuzzing run of the ZRE decoders and the end-to-end demo. Network tests run in network namespaces of their own.
# The API reference of the normal build must build without warnings.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=${JOBS:-$(nproc)}
# The deep checkout below compiles the same sources again at another path:
# with paths taken relative to this directory and the compile directory left
# out of the hash, ccache serves it from the normal build (an object may then
# name another checkout's directory in its debug information).
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
bash scripts/setup.sh test

echo "== format =="
bash scripts/check-format.sh

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  # A test that fails is run once more before the suite fails: some
  # multi-process tests are sensitive to a loaded machine, and a second
  # failure is a real one.
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300 --repeat until-pass:2
}

echo "== normal build =="
run_suite build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== deep checkout =="
# The tests whose scratch files, sockets and temporary directories live in
# the build tree, from a clone 200 characters deep (its build directory
# mirrors build/release, so that ccache serves its compiles).
# A checkout already that deep has just run the whole suite there.
if [ ${#PWD} -le 150 ]; then
  JOBS=$jobs DEEP_BUILD=build/release bash tests/web/deep-clone.sh build/deep
else
  echo "this checkout is ${#PWD} characters deep: the suite above ran from it"
fi

echo "== API reference =="
bash scripts/check-docs.sh build/release

echo "== sanitizer build =="
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCORVO_SANITIZE=ON -DCORVO_BUILD_BENCH=OFF
unset ASAN_OPTIONS UBSAN_OPTIONS

if [ -x scripts/run-fuzz.sh ]; then
  echo "== fuzzing =="
  FUZZ_SECONDS=${FUZZ_SECONDS:-20} bash scripts/run-fuzz.sh
fi

if [ -f scripts/demo.sh ]; then
  echo "== demo =="
  CORVO_BUILD_DIR=build/release bash scripts/demo.sh
fi
echo "all tests passed"
