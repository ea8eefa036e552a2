#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12.
# Idempotent: packages already present are skipped, and the package lists are
# refreshed only when something has to be installed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
  build-essential cmake pkg-config git
  libzmq3-dev libczmq-dev
  libprotobuf-dev protobuf-compiler
  libuv1-dev libspdlog-dev libfmt-dev
  libboost-program-options-dev
  libcfitsio-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format-14 libclang-rt-14-dev ccache
  iproute2 util-linux
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if ! command -v npm >/dev/null 2>&1; then
  if ! dpkg-query -W -f='${Status}' npm 2>/dev/null | grep -q 'install ok installed'; then
    apt-get install -y -qq --no-install-recommends nodejs npm || true
  fi
fi

# The independent ZRE peer used by the interoperability test. Its ZeroMQ
# binding ships a prebuilt binary, so no install scripts are needed.
if command -v npm >/dev/null 2>&1; then
  interop="$here/build/npm"
  if [ ! -f "$interop/node_modules/zyre.js/package.json" ]; then
    mkdir -p "$interop"
    (cd "$interop" && npm install --silent --no-audit --no-fund --ignore-scripts zyre.js@1.3.0 >/dev/null) \
      || echo "setup: zyre.js could not be installed; the interoperability test will be skipped" >&2
  fi
  # Its ZeroMQ binding ships binaries only up to Node.js 18; on a newer one
  # the binding is built against the system libzmq.
  if [ -f "$interop/node_modules/zyre.js/package.json" ]; then
    "$here/tests/zre/build-zyrejs-binding.sh" "$interop" \
      || echo "setup: zyre.js cannot load its ZeroMQ binding; the interoperability test will be skipped" >&2
  fi
fi
