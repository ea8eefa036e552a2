#!/usr/bin/env bash
# The web console's tests from a checkout whose path is 200 characters long:
# clones this checkout's HEAD there, builds what the tests start and runs
# them (ctest -R '^web\.'). For CI; it takes a full build.
#   tests/web/deep-clone.sh [BASE]     # BASE: where the deep path starts (default: a new directory in /tmp)
# Exits with ctest's status; the clone is removed unless KEEP=1.
set -euo pipefail
readonly LENGTH=200

here=$(cd "$(dirname "$0")/../.." && pwd)
base=${1:-$(mktemp -d /tmp/corvo-deep.XXXXXX)}
deep=$base/src
while [ ${#deep} -lt $((LENGTH - 40)) ]; do
  deep=$deep/a-rather-long-folder-name
done
# Exactly LENGTH characters.
pad=$((LENGTH - ${#deep} - 1))
deep=$deep/$(printf 'x%.0s' $(seq 1 "$pad"))
echo "deep-clone: checkout at ${#deep} characters: $deep"

cleanup() {
  if [ "${KEEP:-0}" != 1 ]; then rm -rf "$base"; fi
}
trap cleanup EXIT

mkdir -p "$(dirname "$deep")"
git clone --quiet --no-hardlinks "$here" "$deep"
cmake -S "$deep" -B "$deep/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$deep/build" -j"${JOBS:-2}" --target corvo_python corvo-simcam corvo-example-daemon corvo_tool corvo-archiver
ctest --test-dir "$deep/build" -R '^web\.' --output-on-failure
