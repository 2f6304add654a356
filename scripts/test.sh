#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the native tests (plain,
# under AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer), then
# the JavaScript tests and a valgrind memcheck scenario on Node.js 22 and on
# this machine's Node.js (20). QUORVANE_LONG=1 runs the endurance tests ten
# times longer; QUORVANE_FUZZ_CALLS sets the fuzzed calls per module state;
# QUORVANE_TEST_NODES="BIN..." runs the JavaScript part on those Node.js only.
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

phase "checking the source format, then the native tests plain, under ASan+UBSan and under TSan (about 30 s)"
run clang-format --dry-run --Werror $(find src test bench -name '*.cpp' -o -name '*.h')
run build-native/quorvane-tests --gtest_brief=1
run build-native/asan/quorvane-tests --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1 run build-native/tsan/quorvane-tests --gtest_brief=1

for node_bin in ${QUORVANE_TEST_NODES:-"$(node22_bin)" "$(command -v node)"}; do
  build_addon "$node_bin"
  phase "JavaScript tests on Node.js $("$node_bin" --version) against private daemons (about 2 minutes)"
  run "$node_bin" --test --test-reporter=spec --test-concurrency=2 --test-timeout=300000 test/*.test.js
  phase "valgrind memcheck scenario on Node.js $("$node_bin" --version) (about 30 s)"
  run bash scripts/memcheck.sh "$node_bin"
done

exit $status
