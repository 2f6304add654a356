#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the prebuilt add-ons built
# (scripts/prebuild.sh), the native tests (plain, under
# AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer), then the
# JavaScript tests on Node.js 22, 24 and 26, each with the prebuilt add-on a
# user of it gets, and a valgrind memcheck scenario on Node.js 26.
# QUORVANE_TEST_NODES="BIN..." runs the JavaScript part on those Node.js
# instead, each with a source build (a system whose PipeWire the prebuilt
# binaries were not built against: Debian 13), without the package test,
# which checks the tarball and the binaries built here for Debian 12
# (scripts/fresh-install-check.sh tries those on Debian 13). QUORVANE_LONG=1 runs the
# endurance tests ten times longer; QUORVANE_FUZZ_CALLS sets the fuzzed calls
# per module state.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --all
QUORVANE_SETUP_SOURCED=1 source scripts/setup.sh --all

status=0
run() {
  echo "--- $*" >&2
  "$@" || status=1
}
phase() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# The format is Debian 12's clang-format's; another version's differs.
if [ -z "${QUORVANE_TEST_NODES:-}" ]; then
  phase "checking the source format, then the native tests plain, under ASan+UBSan and under TSan (about 30 s)"
else
  phase "the native tests plain, under ASan+UBSan and under TSan (about 30 s)"
fi
[ -n "${QUORVANE_TEST_NODES:-}" ] || run clang-format --dry-run --Werror $(find src test bench -name '*.cpp' -o -name '*.h')
run build-native/quorvane-tests --gtest_brief=1
run build-native/asan/quorvane-tests --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 run build-native/tsan/quorvane-tests --gtest_brief=1

if [ -n "${QUORVANE_TEST_NODES:-}" ]; then
  # Those Node.js with a source build against this system's PipeWire.
  # setup.sh built the add-on for this shell's node already.
  built=$(readlink -f "$(command -v node)")
  for node_bin in $QUORVANE_TEST_NODES; do
    if [ "$(readlink -f "$node_bin")" != "$built" ]; then
      build_addon "$node_bin"
      built=$(readlink -f "$node_bin")
    fi
    phase "JavaScript tests on Node.js $("$node_bin" --version) against private daemons (about 2 minutes)"
    run "$node_bin" --test --test-reporter=spec --test-concurrency=2 --test-timeout=300000 \
      $(ls test/*.test.js | grep -vx test/package.test.js)
  done
  phase "valgrind memcheck scenario on Node.js $("$node_bin" --version) (about 30 s)"
  run bash scripts/memcheck.sh "$node_bin"
  exit $status
fi

phase "the prebuilt add-ons for Node.js ${NODE_MAJORS[*]} on x64 and arm64 (only those whose sources changed; about a minute each)"
bash scripts/prebuild.sh
# The tests' add-on is the prebuilt one a user of that Node.js gets
# (node-gyp-build's PREBUILDS_ONLY), not this tree's source build.
export PREBUILDS_ONLY=1
for major in "${NODE_MAJORS[@]}"; do
  node_bin=$(node_bin "$major")
  phase "JavaScript tests on Node.js $("$node_bin" --version) against private daemons (about 2 minutes)"
  run "$node_bin" --test --test-reporter=spec --test-concurrency=2 --test-timeout=300000 test/*.test.js
done
phase "valgrind memcheck scenario on Node.js $("$node_bin" --version) (about 30 s)"
run bash scripts/memcheck.sh "$node_bin"

exit $status
