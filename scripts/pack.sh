#!/usr/bin/env bash
# Makes the package's tarball, quorvane-VERSION.tgz, in the top directory of
# this tree, and prints its path last:
#   scripts/pack.sh            with the prebuilt add-ons for this machine's
#                              platform (linux-x64: Node.js 22, 24 and 26), in minutes
#   scripts/pack.sh --release  with those for linux-x64 and linux-arm64 (six,
#                              the arm64 ones cross-built), as published
# The binaries come from scripts/prebuild.sh (kept between runs: only those
# whose sources changed are compiled again).
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "" | --release) ;;
  *) echo "usage: $0 [--release]" >&2; exit 2 ;;
esac
bash scripts/prebuild.sh "$@"
# prebuilds/ is ready: npm's prepack step (prebuild.sh --prepack) would only check it again.
tarball=$(npm pack --ignore-scripts --silent --pack-destination . | tail -1)
echo "$PWD/$tarball"
