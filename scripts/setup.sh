#!/usr/bin/env bash
# Installs what the project needs on Debian 12, in groups, so that each
# command installs only what it runs:
#   bash scripts/setup.sh            build and run (the demo)
#   bash scripts/setup.sh test       also everything the test suite uses
#   bash scripts/setup.sh GROUP...   named groups (see below)
# Idempotent: packages already present are skipped, and the package lists are
# refreshed only when something has to be installed.
#
# Offline machines: every fetch is bounded in time and in retries, also where
# the route swallows packets rather than refusing them. A name lookup gives
# up after 2 s and one more try (unless RES_OPTIONS says otherwise); apt
# waits 15 s for a connection or for data and tries a file 3 times, and a
# package list that cannot be fetched stops the setup with a message; npm is
# first asked to reach its registry within 15 s. Measured in a namespace
# whose default route swallows everything: apt about 75 s when even name
# lookups vanish, about 20 s when only connections do; npm under 15 s.
# CORVO_NPM_DIR: where the interoperability peer goes (default build/npm).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

declare -A groups
groups[build]="build-essential cmake ninja-build pkg-config git ccache
  libzmq3-dev libczmq-dev libprotobuf-dev protobuf-compiler
  libuv1-dev libspdlog-dev libfmt-dev libboost-program-options-dev
  libcfitsio-dev libsqlite3-dev libpq-dev libzstd-dev
  pybind11-dev python3-dev python3-pybind11 python3-numpy"
groups[web]="python3-aiohttp python3-astropy python3-pil"
groups[check]="libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format-14 libclang-rt-14-dev iproute2 util-linux
  python3-pytest python3-pytest-asyncio python3-selenium chromium chromium-driver openssl
  postgresql-15 fitsverify"
groups[package]="doxygen graphviz lintian dpkg-dev systemd"

wanted=(build web)
if [ $# -gt 0 ]; then
  wanted=()
  for g in "$@"; do
    case $g in
      test) wanted+=(build web check package) ;;
      *) [ -n "${groups[$g]:-}" ] || { echo "setup: unknown group $g" >&2; exit 2; }; wanted+=("$g") ;;
    esac
  done
fi

packages=()
for g in "${wanted[@]}"; do
  # shellcheck disable=SC2206
  packages+=(${groups[$g]})
done

# Name lookups that fail in seconds where the resolver cannot be reached.
lookup=${RES_OPTIONS:-"timeout:2 attempts:2"}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# The PostgreSQL server is only for throwaway test clusters: while setup
# installs it, the package must not create and start a default cluster of its
# own. The setting is in place only during that install (left behind, it
# would keep any later PostgreSQL install on the host from making its
# cluster), and one an earlier setup left behind is removed.
no_main=/etc/postgresql-common/createcluster.d/corvo-no-main.conf
if [ "$(id -u)" -eq 0 ] && [ -f "$no_main" ]; then
  rm -f "$no_main"
fi

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [[ " ${missing[*]} " == *" postgresql-15 "* ]]; then
    trap 'rm -f "$no_main"' EXIT
    mkdir -p "$(dirname "$no_main")"
    echo "create_main_cluster = false" > "$no_main"
  fi
  apt_opts=(-o Acquire::Retries=2 -o Acquire::http::Timeout=15 -o Acquire::https::Timeout=15)
  if ! RES_OPTIONS=$lookup timeout 600 apt-get "${apt_opts[@]}" update -qq --error-on=any; then
    echo "setup: the package lists could not be fetched (no network, or a package source is" \
         "unreachable); ${missing[*]} not installed" >&2
    exit 1
  fi
  RES_OPTIONS=$lookup timeout 1800 apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends "${missing[@]}"
  rm -f "$no_main"
  trap - EXIT
fi

# The independent ZRE peer of the interoperability test (optional): only for
# the test suite, bounded in time, skipped with a message when unreachable.
if [[ " ${wanted[*]} " == *" check "* ]] && command -v npm >/dev/null 2>&1; then
  interop="${CORVO_NPM_DIR:-$here/build/npm}"
  if [ ! -f "$interop/node_modules/zyre.js/package.json" ]; then
    mkdir -p "$interop"
    # npm's own timeouts do not cover a connection that is never answered
    # (the kernel gives up after about two minutes, per try): a bounded ping
    # tells first whether the registry (or the configured proxy) answers.
    (cd "$interop" && RES_OPTIONS=$lookup timeout 15 npm ping --fetch-retries=0 >/dev/null 2>&1 \
      && RES_OPTIONS=$lookup timeout 120 npm install --silent --no-audit --no-fund --ignore-scripts \
        --fetch-retries=1 --fetch-timeout=20000 zyre.js@1.3.0 >/dev/null) \
      || echo "setup: zyre.js could not be installed; the interoperability test will be skipped" >&2
  fi
  # Its ZeroMQ binding ships binaries only up to Node.js 18; on a newer one
  # the binding is built against the system libzmq.
  if [ -f "$interop/node_modules/zyre.js/package.json" ]; then
    "$here/tests/zre/build-zyrejs-binding.sh" "$interop" \
      || echo "setup: zyre.js cannot load its ZeroMQ binding; the interoperability test will be skipped" >&2
  fi
fi
