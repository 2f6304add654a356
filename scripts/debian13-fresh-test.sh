#!/usr/bin/env bash
# The README's test command, `bash scripts/test.sh`, as it is, on a fresh
# Debian 13 machine: a debootstrap minbase root (scripts/debian13-root.sh
# --minbase; add --backports for PipeWire 1.6) with this machine's Node.js
# copied in and nothing else; test.sh installs the rest itself. As root.
#   scripts/debian13-fresh-test.sh [--backports]
# Takes about half an hour (everything is installed and built from nothing);
# the output goes to standard error and the log quorvane-fresh-debian13.log.
set -euo pipefail
cd "$(dirname "$0")/.."
log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }
work=$(mktemp -d /var/tmp/quorvane-fresh.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root
bash scripts/debian13-root.sh "$root" --minbase "$@"

# This machine's Node.js (its binary, headers and npm), where it is installed here.
prefix=$(cd "$(dirname "$(readlink -f "$(command -v node)")")/.." && pwd)
log "copying Node.js $(node --version) ($prefix) and a clone of this tree into the root"
(cd "$prefix" && tar -cf - bin/node bin/npm bin/npx include/node lib/node_modules/npm) | tar -C "$root/usr/local" -xf -
tree=$root/work/quorvane
mkdir -p "$tree"
# Committed and new files, as a clone plus the changes would have them.
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$tree" -xf -

start=$SECONDS
status=0
bash scripts/debian13-chroot.sh "$root" env CI="${CI:-}" sh -c 'cd /work/quorvane && bash scripts/test.sh' 2>&1 |
  tee quorvane-fresh-debian13.log >&2 || status=$?
log "bash scripts/test.sh on a fresh Debian 13: exit $status after $((SECONDS - start)) s"
exit $status
