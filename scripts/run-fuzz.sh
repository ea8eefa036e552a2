#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a build directory of their own
# and runs each for a bounded time. Exits non-zero when any target crashes.
#   scripts/run-fuzz.sh [BUILD_DIR]        (default: build/fuzz)
#   FUZZ_SECONDS=N   seconds per target (default 30)
#   FUZZ_TARGETS="a b"  only these targets (default: every target named fuzz_*)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build/fuzz}
seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-2}

CC=clang CXX=clang++ cmake -S "$here" -B "$build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVO_BUILD_FUZZ=ON -DCORVO_BUILD_BENCH=OFF -DCORVO_BUILD_EXAMPLES=OFF \
  -DBUILD_TESTING=OFF >/dev/null

targets=${FUZZ_TARGETS:-$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \(fuzz_[A-Za-z0-9_]*\).*/\1/p' | sort)}
if [ -z "$targets" ]; then
  echo "run-fuzz: no fuzz targets found" >&2
  exit 1
fi
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets

failed=()
for target in $targets; do
  exe=$(find "$build/fuzz" -type f -name "$target" -perm -u+x | head -n1)
  if [ -z "$exe" ]; then
    echo "run-fuzz: $target was not built" >&2
    failed+=("$target")
    continue
  fi
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/artifacts"
  echo "run-fuzz: $target for ${seconds}s"
  if ! "$exe" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$corpus" 2>"$build/$target.log"; then
    echo "run-fuzz: $target FAILED (see $build/$target.log and $build/artifacts)" >&2
    tail -n 40 "$build/$target.log" >&2
    failed+=("$target")
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/$target.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzz: failures: ${failed[*]}" >&2
  exit 1
fi
echo "run-fuzz: all targets ran ${seconds}s without a crash"
