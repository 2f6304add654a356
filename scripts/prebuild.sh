#!/usr/bin/env bash
# Builds the add-ons the package ships, one per platform and Node.js ABI:
#   prebuilds/linux-x64/node.abiN.glibc.node     (this machine's g++)
#   prebuilds/linux-arm64/node.abiN.glibc.node   (cross-built: g++-aarch64-linux-gnu)
# for Node.js 22, 24 and 26, against the headers of node-linux-<arch>@MAJOR
# from npm (node-gyp downloads nothing) and this Debian 12's libpipewire
# 0.3.65: PipeWire 1.x keeps that ABI, so the oldest supported is built against.
# Each links libpipewire-0.3.so.0 dynamically and is stripped.
#   scripts/prebuild.sh            build what is missing or out of date
# A binary is kept in $QUORVANE_PREBUILD_CACHE (default /var/cache/quorvane/prebuilds)
# under a hash of everything it is built from (sources, headers, compiler,
# libpipewire, this script): a later run, or a fresh clone on this machine,
# copies it instead of compiling.
set -euo pipefail
cd "$(dirname "$0")/.."
QUORVANE_SETUP_SOURCED=1 source scripts/setup.sh
ARCHES=(x64 arm64)

# Built against the oldest libpipewire supported, Debian 12's: elsewhere (a
# Debian 13 test run) the binaries already there are kept, and none is made.
PIPEWIRE_BUILT_AGAINST=0.3.65
if [ "$(pkg-config --modversion libpipewire-0.3)" != $PIPEWIRE_BUILT_AGAINST ]; then
  have=$(find prebuilds -name '*.node' 2>/dev/null | wc -l)
  if [ "$have" = $((${#NODE_MAJORS[@]} * ${#ARCHES[@]})) ]; then
    log "keeping the $have prebuilt add-ons in prebuilds/ (they are built against libpipewire $PIPEWIRE_BUILT_AGAINST, this system has $(pkg-config --modversion libpipewire-0.3))"
    exit 0
  fi
  echo "$0: the prebuilt add-ons are built against libpipewire $PIPEWIRE_BUILT_AGAINST (Debian 12); this system has $(pkg-config --modversion libpipewire-0.3)" >&2
  exit 1
fi

# --- tools: ccache, the cross compiler and the arm64 libpipewire (multiarch),
# and qemu-user with the arm64 PipeWire client modules, under which the
# package test runs the arm64 binaries.
cross_packages=(ccache g++-aarch64-linux-gnu binutils-aarch64-linux-gnu libpipewire-0.3-dev:arm64
  qemu-user libpipewire-0.3-modules:arm64 libatomic1:arm64)
# Multiarch: the arm64 packages come from the same mirror as the others.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $([ "$(id -u)" = 0 ] || echo sudo) dpkg --add-architecture arm64
fi
apt_install "the arm64 cross compiler, libraries and qemu" "${cross_packages[@]}"

cache=${QUORVANE_PREBUILD_CACHE:-/var/cache/quorvane/prebuilds}
mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=$ROOT/.cache/prebuild/cache
mkdir -p "$cache" .cache/prebuild
exec 9>.cache/prebuild/lock
flock 9

# A changed source file costs one compile per binary, not all of them: ccache
# (relative to the tree, so that another clone of it shares the hits).
export CCACHE_DIR=${CCACHE_DIR:-$(dirname "$cache")/ccache} CCACHE_BASEDIR=$ROOT

# toolchain ARCH: sets the variables the build of ARCH runs with.
toolchain() {
  if [ "$1" = x64 ]; then
    tool='' pcdir=/usr/lib/x86_64-linux-gnu/pkgconfig
  else
    tool=aarch64-linux-gnu- pcdir=/usr/lib/aarch64-linux-gnu/pkgconfig
  fi
  cxx=${tool}g++
}

# inputs_hash ARCH MAJOR: what the binary is made of, as one hash.
inputs_hash() {
  local nodedir
  nodedir=$(node_dir "$1" "$2")
  {
    echo "$1 $(grep -m1 '"version"' "$nodedir/package.json")"
    "$cxx" --version | head -1
    PKG_CONFIG_LIBDIR=$pcdir:/usr/share/pkgconfig pkg-config --modversion libpipewire-0.3
    declare -f toolchain build # how it is built; not this file's comments or tool list
    cat binding.gyp node_modules/nan/package.json
    find src -type f \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort | xargs sha256sum
  } | sha256sum | cut -c1-32
}

# build ARCH MAJOR OUT: compiles in .cache/prebuild/ARCH-MAJOR (kept, so that
# make redoes only what changed) and writes the stripped binary to OUT.
build() {
  local arch=$1 major=$2 out=$3 nodedir stage log
  nodedir=$(node_dir "$arch" "$major")
  stage=$ROOT/.cache/prebuild/$arch-$major
  log="$stage.log"
  mkdir -p "$stage"
  cp binding.gyp "$stage/"
  ln -sfn "$ROOT/src" "$stage/src"
  log "building the add-on for Node.js $major on linux-$arch (about a minute)"
  (cd "$stage" && CC="ccache ${tool}gcc" CXX="ccache $cxx" LINK=$cxx PKG_CONFIG_LIBDIR=$pcdir:/usr/share/pkgconfig \
    CXXFLAGS="-ffile-prefix-map=$ROOT/=" npm_config_nodedir="$nodedir" \
    node "$ROOT/node_modules/node-gyp/bin/node-gyp.js" configure build --arch="$arch" \
    --nodedir="$nodedir" -j 2 --loglevel=warn) >"$log" 2>&1 || {
    cat "$log" >&2
    return 1
  }
  if grep -E "warning:" "$log" >&2; then
    echo "the add-on must build without warnings" >&2
    return 1
  fi
  "${tool}strip" --strip-unneeded -o "$out" "$stage/build/Release/Quorvane.node"
}

wanted=()
for arch in "${ARCHES[@]}"; do
  toolchain "$arch"
  mkdir -p "prebuilds/linux-$arch"
  for major in "${NODE_MAJORS[@]}"; do
    install_node "$arch" "$major"
    abi=$(sed -n 's/^#define NODE_MODULE_VERSION \([0-9][0-9]*\)$/\1/p' "$(node_dir "$arch" "$major")/include/node/node_version.h")
    out=prebuilds/linux-$arch/node.abi$abi.glibc.node
    kept=$cache/linux-$arch-abi$abi-$(inputs_hash "$arch" "$major").node
    if [ ! -f "$kept" ]; then
      build "$arch" "$major" "$kept.part"
      # One kept per platform and ABI: the one from other sources goes.
      rm -f "$cache/linux-$arch-abi$abi-"*.node
      mv "$kept.part" "$kept"
    fi
    cmp -s "$kept" "$out" || cp "$kept" "$out"
    wanted+=("$out")
  done
done
# Only these: a Node.js version dropped from the list leaves no binary behind.
find prebuilds -name '*.node' | while read -r f; do
  [[ " ${wanted[*]} " == *" $f "* ]] || rm -f "$f"
done
