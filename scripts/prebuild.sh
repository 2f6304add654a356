#!/usr/bin/env bash
# Builds the add-ons the package ships, one per platform and Node.js ABI:
#   prebuilds/linux-x64/node.abiN.glibc.node     (g++)
#   prebuilds/linux-arm64/node.abiN.glibc.node   (cross-built: g++-aarch64-linux-gnu)
# for Node.js 22, 24 and 26, against the headers of node-linux-<arch>@MAJOR
# from npm (node-gyp downloads nothing) and PipeWire 0.3.65's headers and
# client library from Debian 12's packages, unpacked into .cache whatever
# PipeWire this system has: 1.x keeps that ABI, so the oldest supported is
# built against. Each links libpipewire-0.3.so.0 dynamically and libstdc++
# statically, needs at most glibc 2.34 and is stripped.
#   scripts/prebuild.sh            this machine's platform (linux-x64 here)
#   scripts/prebuild.sh --release  linux-x64 and linux-arm64, for a release
#   scripts/prebuild.sh --prepack  the platforms prebuilds/ has, and this machine's
# Afterwards prebuilds/ holds exactly those binaries. A binary is kept in
# $QUORVANE_PREBUILD_CACHE (default /var/cache/quorvane/prebuilds) under a
# hash of everything it is built from (sources, headers, compiler, this
# script's build steps): a later run, or a fresh clone on this machine,
# copies it instead of compiling.
set -euo pipefail
cd "$(dirname "$0")/.."
QUORVANE_SETUP_SOURCED=1 source scripts/setup.sh
install_npm_packages
case "${1:-}" in
  --release) ARCHES=(x64 arm64) ;;
  "") ARCHES=("$(node -p process.arch)") ;;
  --prepack)
    # npm pack's and npm publish's step: brings up to date what prebuilds/
    # has (after --release, both platforms), and at least this machine's.
    ARCHES=("$(node -p process.arch)")
    for dir in prebuilds/linux-*; do
      if [ -d "$dir" ] && [[ " ${ARCHES[*]} " != *" ${dir#prebuilds/linux-} "* ]]; then ARCHES+=("${dir#prebuilds/linux-}"); fi
    done
    ;;
  *) echo "usage: $0 [--release]" >&2; exit 2 ;;
esac
for arch in "${ARCHES[@]}"; do
  case $arch in
    x64 | arm64) ;;
    *) echo "$0: no prebuilt binaries for linux-$arch: build from source (npm run build)" >&2; exit 1 ;;
  esac
done

# --- tools: ccache, and the cross compiler for arm64 (on an x64 machine).
tools=(ccache g++ make python3 binutils)
[[ " ${ARCHES[*]} " != *" arm64 "* ]] || [ "$(node -p process.arch)" = arm64 ] ||
  tools+=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu)
apt_install "the compilers" "${tools[@]}"

cache=${QUORVANE_PREBUILD_CACHE:-/var/cache/quorvane/prebuilds}
{ mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ]; } || cache=$ROOT/.cache/prebuild/cache
mkdir -p "$cache" .cache/prebuild
exec 9>.cache/prebuild/lock
flock 9

# A changed source file costs one compile per binary, not all of them: ccache
# (relative to the tree, so that another clone of it shares the hits).
export CCACHE_DIR=${CCACHE_DIR:-$(dirname "$cache")/ccache} CCACHE_BASEDIR=$ROOT

# --- PipeWire 0.3.65 (Debian 12's libpipewire-0.3-dev, libspa-0.2-dev and
# libpipewire-0.3-0 for amd64 and arm64), fetched with apt-get from a list of
# Debian 12's packages of its own in .cache, so that this system's apt
# configuration is left as it is.
PIPEWIRE_VERSION=0.3.65
PIPEWIRE=$ROOT/.cache/pipewire-$PIPEWIRE_VERSION
fetch_pipewire() {
  local state=$PIPEWIRE/apt debarch deb
  [ -f "$PIPEWIRE/amd64/done" ] && [ -f "$PIPEWIRE/arm64/done" ] && return 0
  log "fetching PipeWire $PIPEWIRE_VERSION's headers and client library from Debian 12 (apt-get; about 20 s)"
  rm -rf "$PIPEWIRE"
  mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/debs"
  : >"$state/status"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" >"$state/sources.list"
  local apt=(apt-get -qq -o Dir::State="$state" -o Dir::State::status="$state/status" -o Dir::Cache="$state"
    -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/dev/null -o Acquire::Languages=none
    -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root)
  "${apt[@]}" update
  (cd "$state/debs" && "${apt[@]}" download {libpipewire-0.3-dev,libpipewire-0.3-0,libspa-0.2-dev}:{amd64,arm64})
  for debarch in amd64 arm64; do
    for deb in "$state"/debs/*_"$debarch".deb; do dpkg-deb -x "$deb" "$PIPEWIRE/$debarch"; done
    # The .pc files name /usr: here, where they were unpacked.
    sed -i "s|^prefix=.*|prefix=$PIPEWIRE/$debarch/usr|" "$PIPEWIRE/$debarch"/usr/lib/*/pkgconfig/*.pc
    [ "$(PKG_CONFIG_LIBDIR=$(echo "$PIPEWIRE/$debarch"/usr/lib/*/pkgconfig) pkg-config --modversion libpipewire-0.3)" = $PIPEWIRE_VERSION ] || {
      echo "$0: Debian 12's libpipewire-0.3-dev is not PipeWire $PIPEWIRE_VERSION" >&2
      exit 1
    }
    touch "$PIPEWIRE/$debarch/done"
  done
  rm -rf "$state"
}
fetch_pipewire

# toolchain ARCH: sets the variables the build of ARCH runs with.
toolchain() {
  if [ "$1" = x64 ]; then
    tool=x86_64-linux-gnu- pcdir=$PIPEWIRE/amd64/usr/lib/x86_64-linux-gnu/pkgconfig
  else
    tool=aarch64-linux-gnu- pcdir=$PIPEWIRE/arm64/usr/lib/aarch64-linux-gnu/pkgconfig
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
    PKG_CONFIG_LIBDIR=$pcdir pkg-config --modversion libpipewire-0.3
    declare -f toolchain build # how it is built; not this file's comments or tool list
    cat gyp/binding.gyp scripts/prebuild-glibc.* node_modules/nan/package.json
    find src -type f \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort | xargs sha256sum
  } | sha256sum | cut -c1-32
}

# build ARCH MAJOR OUT: compiles in .cache/prebuild/ARCH-MAJOR (kept, so that
# make redoes only what changed) and writes the stripped binary to OUT.
# libstdc++ is linked in, its symbols kept inside; glibc's newer names and
# functions are kept out (scripts/prebuild-glibc.h and .c). libgcc's unwinder
# stays libgcc_s.so.1 (the one Node.js itself links): linked in, it would
# call glibc 2.35's _dl_find_object.
build() {
  local arch=$1 major=$2 out=$3 nodedir stage log flags
  nodedir=$(node_dir "$arch" "$major")
  stage=$ROOT/.cache/prebuild/$arch-$major
  log="$stage.log"
  mkdir -p "$stage/gyp"
  cp gyp/binding.gyp "$stage/gyp/"
  ln -sfn "$ROOT/src" "$stage/src"
  flags="-ffile-prefix-map=$ROOT/= -include $ROOT/scripts/prebuild-glibc.h"
  "${tool}gcc" -c -O2 -fPIC -Wall -Wextra $flags -o "$stage/prebuild-glibc.o" scripts/prebuild-glibc.c
  wrap=-Wl,--wrap=arc4random,--wrap=__isoc23_strtol,--wrap=__isoc23_strtoul,--wrap=__isoc23_strtoll,--wrap=__isoc23_strtoull
  log "building the add-on for Node.js $major on linux-$arch (about a minute)"
  (cd "$stage/gyp" && CC="ccache ${tool}gcc" CXX="ccache $cxx" LINK=$cxx PKG_CONFIG_LIBDIR=$pcdir CFLAGS="$flags" \
    CXXFLAGS="$flags" LDFLAGS="-static-libstdc++ -Wl,--exclude-libs,ALL $wrap $stage/prebuild-glibc.o" \
    npm_config_nodedir="$nodedir" node "$ROOT/node_modules/node-gyp/bin/node-gyp.js" configure build --arch="$arch" \
    --nodedir="$nodedir" -j 2 --loglevel=warn) >"$log" 2>&1 || {
    cat "$log" >&2
    return 1
  }
  if grep -E "warning:" "$log" >&2; then
    echo "the add-on must build without warnings" >&2
    return 1
  fi
  "${tool}strip" --strip-unneeded -o "$out" "$stage/gyp/build/Release/Quorvane.node"
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
    # Replaced by renaming, never rewritten in place: a test may have it loaded.
    cmp -s "$kept" "$out" || { cp "$kept" "$out.part" && mv "$out.part" "$out"; }
    wanted+=("$out")
  done
done
# Only these: a platform or Node.js version not asked for leaves no binary behind.
find prebuilds -name '*.node' | while read -r f; do
  [[ " ${wanted[*]} " == *" $f "* ]] || rm -f "$f"
done
find prebuilds -mindepth 1 -type d -empty -delete
log "prebuilds/: ${wanted[*]#prebuilds/}"
