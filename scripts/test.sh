#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the native tests, then the
# JavaScript tests on Node.js 22 and on this machine's Node.js (20).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --all
QUORVANE_SETUP_SOURCED=1 source scripts/setup.sh --all

status=0
run() {
  echo "--- $*" >&2
  "$@" || status=1
}

run build-native/quorvane-tests --gtest_brief=1

for node_bin in "$(node22_bin)" "$(command -v node)"; do
  build_addon "$node_bin"
  run "$node_bin" --test --test-reporter=spec --test-timeout=300000 test/*.test.js
done

exit $status
