#!/usr/bin/env bash
# Makes a Debian 13 (trixie) root in DIR, as root:
#   scripts/debian13-root.sh DIR             what the suite needs (setup.sh --packages, Chromium too)
#   scripts/debian13-root.sh DIR --runtime   only the PipeWire runtime: no compiler, no -dev package
#   scripts/debian13-root.sh DIR --minbase   debootstrap's minbase alone: a fresh machine
# With --backports after either, PipeWire and WirePlumber come from
# trixie-backports (PipeWire 1.6, WirePlumber 0.5.12: what a Debian 13 user
# who wants the newest PipeWire installs, and the line most distributions run).
# DIR "-" only makes the cached tarball (CI makes them ahead of their use).
# Built with debootstrap (minbase) from the same mirror as this machine, then
# kept as a tarball in $QUORVANE_ROOT_CACHE (default /var/cache/quorvane),
# named for its package list, so that later runs unpack it in
# seconds. Run commands inside with scripts/debian13-chroot.sh DIR CMD...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
MIRROR=http://deb.debian.org/debian
SUITE=trixie
# Part of the tarball's name: raise it when the way the root is made changes.
ROOT_FORMAT=1

usage() {
  echo "usage: $0 DIR [--runtime | --minbase] [--backports]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
dir=$1
shift
variant=suite
backports=0
for arg in "$@"; do
  case $arg in
    --runtime) variant=runtime ;;
    --minbase) variant=minbase ;;
    --backports) backports=1 ;;
    *) usage ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "$0: must run as root (debootstrap, chroot)" >&2; exit 1; }
if [ "$dir" != - ]; then
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  [ -z "$(ls -A "$dir")" ] || { echo "$0: $dir is not empty" >&2; exit 1; }
fi

if [ $variant = minbase ]; then
  packages=()
elif [ $variant = runtime ]; then
  packages=(pipewire libpipewire-0.3-0)
else
  # Chromium too: the web page's tests run on every line.
  mapfile -t packages < <(bash "$here/setup.sh" --packages)
  # What setup.sh adds on Debian 13 itself (this machine may be another
  # Debian): JACK's example clients, no longer in jackd2 there.
  [[ " ${packages[*]} " == *" jack-example-tools "* ]] || packages+=(jack-example-tools)
fi

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

cache=${QUORVANE_ROOT_CACHE:-/var/cache/quorvane}
key=$(printf '%s\n' "$SUITE" "$ROOT_FORMAT" "$backports" ${packages[@]+"${packages[@]}"} | sha256sum | cut -c1-16)
name=debian13-$variant
[ $backports = 0 ] || name=$name-backports
tarball="$cache/$name-$key.tar"
mkdir -p "$cache"

# One builder per tarball at a time; the others wait and then unpack it.
exec 9>"$tarball.lock"
flock 9
if [ ! -f "$tarball" ]; then
  if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  fi
  build=$(mktemp -d "$cache/build.XXXXXX")
  chmod 755 "$build"
  trap 'rm -rf "$build"' EXIT
  log "debootstrap $SUITE (minbase) into a new root (a few minutes)"
  # In a mount namespace of its own: whatever debootstrap mounts goes with it.
  unshare --mount -- debootstrap --variant=minbase "$SUITE" "$build" "$MIRROR" >"$build.log" 2>&1 || {
    tail -30 "$build.log" >&2
    exit 1
  }
  rm -f "$build.log"
  # No service is started inside.
  printf '#!/bin/sh\nexit 101\n' >"$build/usr/sbin/policy-rc.d"
  chmod 755 "$build/usr/sbin/policy-rc.d"
  target=()
  if [ $backports = 1 ]; then
    echo "deb $MIRROR $SUITE-backports main" >"$build/etc/apt/sources.list.d/backports.list"
    target=(-t "$SUITE-backports")
  fi
  [ ${#packages[@]} = 0 ] || log "installing ${packages[*]} in the root (apt-get; a few minutes)"
  [ ${#packages[@]} = 0 ] || bash "$here/debian13-chroot.sh" "$build" sh -c '
    apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null &&
    apt-get clean && rm -rf /var/lib/apt/lists/*' sh ${target[@]+"${target[@]}"} "${packages[@]}"
  tar -C "$build" --numeric-owner -cf "$tarball.part" .
  mv "$tarball.part" "$tarball"
  rm -rf "$build"
  trap - EXIT
fi
[ "$dir" != - ] || exit 0
log "unpacking $tarball into $dir"
tar -C "$dir" --numeric-owner -xf "$tarball"
chmod 755 "$dir"
