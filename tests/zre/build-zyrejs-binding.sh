#!/usr/bin/env bash
# zyre.js 1.3.0 depends on zeromq 5.x, whose shipped binaries stop at
# Node.js 18 (ABI 108). On a newer Node.js this builds its binding from the
# package's own source against the system libzmq (libzmq3-dev), so that the
# interoperability test can load zyre.js. Nothing is downloaded.
#   build-zyrejs-binding.sh [NPM_DIR]   (default: <source>/build/npm)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
npm_dir=${1:-$here/build/npm}
zmq_dir=$npm_dir/node_modules/zeromq
[ -d "$zmq_dir" ] || { echo "no zeromq package under $npm_dir" >&2; exit 1; }

if (cd "$npm_dir" && node -e "require('zeromq')" 2>/dev/null); then
  exit 0  # a shipped binary fits this Node.js
fi

gyp=""
for candidate in "$(dirname "$(readlink -f "$(command -v npm)")")/../node_modules/node-gyp/bin/node-gyp.js" \
                 /usr/lib/node_modules/npm/node_modules/node-gyp/bin/node-gyp.js \
                 /usr/share/nodejs/node-gyp/bin/node-gyp.js; do
  if [ -f "$candidate" ]; then gyp=$candidate; break; fi
done
[ -n "$gyp" ] || { echo "node-gyp not found" >&2; exit 1; }

# Node.js headers installed with Node.js itself (e.g. /usr/include/node).
nodedir=$(dirname "$(dirname "$(readlink -f "$(command -v node)")")")
cd "$zmq_dir"
npm_config_zmq_external=true node "$gyp" rebuild --zmq_external=true --nodedir="$nodedir" >"$npm_dir/zeromq-build.log" 2>&1 \
  || { echo "zeromq binding build failed; see $npm_dir/zeromq-build.log" >&2; exit 1; }
cd "$npm_dir" && node -e "require('zeromq')"
echo "zeromq binding built against the system libzmq"
