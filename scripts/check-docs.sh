#!/usr/bin/env bash
# Builds the API reference of a configured build tree and fails when Doxygen
# warns (an undocumented public name is a warning), when a public header does
# not describe itself (Doxygen checks the names of a documented file only),
# or when docs/architecture.svg is not the rendering of architecture.dot.
#   scripts/check-docs.sh [BUILD_DIR]        (default: build/release)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build/release}

# Headers whose /// documentation is still being written: their warnings are
# shown but do not fail the check. Empty the list once they are done.
pending=""

failed=0
for header in "$here"/libcorvo/include/corvo/*.h; do
  if ! grep -q '^/// @file' "$header"; then
    name=$(basename "$header")
    if [[ " $pending " == *" $name "* ]]; then
      echo "check-docs: (pending) $name has no /// @file description"
    else
      echo "check-docs: $name has no /// @file description" >&2
      failed=1
    fi
  fi
done

if command -v dot >/dev/null 2>&1; then
  # The version comment of the rendering aside.
  if ! diff -q <(dot -Tsvg "$here/docs/architecture.dot" | grep -v '^<!--') \
               <(grep -v '^<!--' "$here/docs/architecture.svg") >/dev/null; then
    echo "check-docs: docs/architecture.svg is not the rendering of docs/architecture.dot;" \
         "run: dot -Tsvg docs/architecture.dot -o docs/architecture.svg" >&2
    failed=1
  fi
else
  echo "check-docs: graphviz (dot) missing; the picture is not checked" >&2
  failed=1
fi

warnings="$build/docs/api/warnings.txt"
rm -f "$warnings"
cmake --build "$build" --target doc >/dev/null
if [ ! -f "$warnings" ]; then
  echo "check-docs: no $warnings (is doxygen installed and $build configured?)" >&2
  exit 1
fi
held=0
while IFS= read -r line; do
  [ -n "${line// /}" ] || continue
  file=$(basename "${line%%:*}")
  if [[ "$line" == /*:* && " $pending " == *" $file "* ]]; then
    held=$((held + 1))
    continue
  fi
  echo "check-docs: $line" >&2
  failed=1
done < "$warnings"
[ "$held" -eq 0 ] || echo "check-docs: $held warnings in headers still pending ($pending)"

if [ "$failed" -ne 0 ]; then
  echo "check-docs: the API reference has problems (above)" >&2
  exit 1
fi
if [ "$held" -eq 0 ]; then
  echo "check-docs: the API reference builds without warnings"
else
  echo "check-docs: the API reference builds without warnings outside the pending headers"
fi
