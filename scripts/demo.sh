#!/usr/bin/env bash
# Sets everything up and runs the demo, on the Node.js on PATH when the
# package supports it (22 or newer), else on Node.js 22 from npm
# (node-linux-<arch>@22 in .cache, as the test matrix has it), with the add-on
# built for the one it runs on.
set -euo pipefail
cd "$(dirname "$0")/.."
QUORVANE_SETUP_SOURCED=1 source scripts/setup.sh
install_npm_packages
node_bin=$(command -v node)
if [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 22 ]; then
  arch=$(node -p process.arch)
  install_node "$arch" 22
  node_bin=$(node_dir "$arch" 22)/bin/node
  log "the package needs Node.js 22 or newer, the PATH has $(node --version): the demo runs on $("$node_bin" --version) from .cache"
fi
build_addon "$node_bin"
exec "$node_bin" bin/demo.js "$@"
