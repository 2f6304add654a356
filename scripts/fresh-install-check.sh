#!/usr/bin/env bash
# A new user's first minutes on a machine with only the PipeWire runtime:
#   scripts/fresh-install-check.sh ROOT TARBALL
# ROOT is a scratch root with pipewire and libpipewire-0.3-0 and no compiler
# (scripts/debian13-root.sh ROOT --runtime); TARBALL comes from `npm pack`.
# Inside ROOT, with Node.js 26 and npm 12 (from this tree's .cache): installs
# TARBALL into an empty project (npm's defaults: no install scripts), then
# scripts/fresh-install-check.js loads it, connects to a private daemon,
# lists, links and runs `npx quorvane`. Last, with libpipewire-0.3.so.0 hidden,
# the load must say which package to install. Prints the install and require
# times. As root (chroot, mounts).
set -euo pipefail
[ $# = 2 ] || { echo "usage: $0 ROOT TARBALL" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$1" && pwd)
tarball=$(readlink -f "$2")
cd "$here/.."
QUORVANE_SETUP_SOURCED=1 source scripts/setup.sh
install_node x64 26
install_tools
chroot_run() { bash "$here/debian13-chroot.sh" "$root" env PATH=/opt/check/node/bin:/usr/bin:/bin "$@"; }

fail() {
  echo "fresh install: $*" >&2
  exit 1
}
for f in usr/bin/g++ usr/bin/cc usr/bin/gcc usr/include/pipewire-0.3; do
  [ ! -e "$root/$f" ] || fail "the root is not runtime-only: it has /$f"
done
[ -e "$root/usr/lib/x86_64-linux-gnu/libpipewire-0.3.so.0" ] || fail "the root has no libpipewire-0.3.so.0"

rm -rf "$root/opt/check"
mkdir -p "$root/opt/check/app"
cp -a "$(node_dir x64 26)" "$root/opt/check/node"
# npm where Node.js's own archives put it, so that its npm and npx find it.
mkdir -p "$root/opt/check/node/lib/node_modules"
cp -a "$(tool_dir)/node_modules/npm" "$root/opt/check/node/lib/node_modules/npm"
ln -s ../lib/node_modules/npm/bin/npm-cli.js "$root/opt/check/node/bin/npm"
ln -s ../lib/node_modules/npm/bin/npx-cli.js "$root/opt/check/node/bin/npx"
cp "$tarball" "$root/opt/check/quorvane.tgz"
cp scripts/private-daemon.js scripts/fresh-install-check.js "$root/opt/check/"
echo '{ "name": "app", "version": "1.0.0", "private": true }' >"$root/opt/check/app/package.json"

log "installing the tarball with npm $(chroot_run npm --version) under Node.js $(chroot_run node --version) in the runtime-only root"
chroot_run sh -c 'cd /opt/check/app && start=$(date +%s%N) &&
  npm install --no-audit --no-fund --loglevel=error /opt/check/quorvane.tgz &&
  echo "install: $(( ($(date +%s%N) - start) / 1000000 )) ms"'
[ ! -e "$root/opt/check/app/node_modules/quorvane/build" ] || fail "the install compiled something"
chroot_run node /opt/check/fresh-install-check.js /opt/check/app

# Hidden by an overlay that whites the library out, in a mount namespace of
# its own: the root itself keeps it.
log "loading it without libpipewire-0.3.so.0"
lib=$root/usr/lib/x86_64-linux-gnu
out=$(unshare --mount -- sh -c '
  set -e
  lib=$1 scratch=$(mktemp -d)
  shift
  mount -t tmpfs tmpfs "$scratch"
  mkdir "$scratch/upper" "$scratch/work"
  for f in "$lib"/libpipewire-0.3.so.0*; do mknod "$scratch/upper/${f##*/}" c 0 0; done
  mount -t overlay overlay -o "lowerdir=$lib,upperdir=$scratch/upper,workdir=$scratch/work" "$lib"
  exec "$@"
' sh "$lib" bash "$here/debian13-chroot.sh" "$root" env PATH=/opt/check/node/bin:/usr/bin:/bin \
  node -e 'try { require("/opt/check/app/node_modules/quorvane"); } catch (e) { console.log(e.message); process.exit(0); } process.exit(1);') ||
  fail "the package loaded without libpipewire-0.3.so.0"
echo "$out"
[[ $out == *"libpipewire-0.3-0 on Debian and Ubuntu"* ]] || fail "the message does not name the package to install"
rm -rf "$root/opt/check"
echo "fresh install: ok"
