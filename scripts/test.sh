#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the prebuilt add-ons built
# (scripts/prebuild.sh), the native tests (plain, under
# AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer), then the
# JavaScript tests on Node.js 22, 24 and 26, each with the prebuilt add-on a
# user of it gets, and a valgrind memcheck scenario on Node.js 26.
# QUORVANE_TEST_NODES="BIN..." runs the JavaScript part on those Node.js
# instead, each with a source build against this system's PipeWire, without
# the prebuilt binaries, the package test and ThreadSanitizer (CI's runs on
# Debian 13: the fresh-install check tries the tarball there). QUORVANE_LONG=1 runs the
# endurance tests ten times longer; QUORVANE_FUZZ_CALLS sets the fuzzed calls
# per module state. QUORVANE_FULL_MAJORS="22" runs the whole JavaScript suite
# on those Node.js majors alone and, on the others, the tests of the add-on's
# binding (BINDING_TESTS below: loading, threads, signals, descriptors, the
# package): CI's split, where Debian 13's lines run the whole suite on the
# other majors.
set -euo pipefail
cd "$(dirname "$0")/.."
export QUORVANE_T0=${QUORVANE_T0:-$(date +%s)}
# The matrix below runs on the prebuilt binaries; QUORVANE_TEST_NODES's runs on source builds.
QUORVANE_NO_SOURCE_BUILD=$([ -n "${QUORVANE_TEST_NODES:-}" ] || echo 1) bash scripts/setup.sh --all
QUORVANE_SETUP_SOURCED=1 source scripts/setup.sh --all

status=0
# A step that fails says so on a line of its own ("==> failed: ..."), which
# CI's summary gathers.
run() {
  echo "--- $*" >&2
  "$@" || {
    local what="$*"
    printf '\033[1m==> failed: %s\033[0m\n' "${what:0:200}" >&2
    status=1
  }
}
phase() { log "$@"; }
# One Node.js's run of the JavaScript tests: NODE FILE... A file's process ends
# once its tests have (a test that failed before closing what it opened would
# otherwise hold it open for ever), and the whole run ends within 20 minutes
# (about 4 on an idle machine), whatever hangs.
node_tests() {
  local node_bin=$1
  shift
  timeout --kill-after=30 1200 "$node_bin" --test --test-reporter=spec --test-concurrency=2 \
    --test-timeout=300000 --test-force-exit "$@" || {
    local rc=$?
    [ $rc -lt 124 ] || echo "the JavaScript tests on $("$node_bin" --version) did not end within 20 minutes (exit $rc)" >&2
    return $rc
  }
}

# The source format: one pinned clang-format, npm's clang-format@1.8.0 (a
# devDependency; clang-format 15), whose output on these sources is Debian
# 12's clang-format 14.0.6's (the reference; Debian 13's 19 differs). It ships
# an x64 binary only: elsewhere the check is skipped, with a note.
CLANG_FORMAT=node_modules/clang-format/bin/linux_x64/clang-format
phase "checking the source format, then the native tests plain, under ASan+UBSan and under TSan (about 30 s)"
if [ "$(uname -m)" = x86_64 ] && [ -x $CLANG_FORMAT ]; then
  run $CLANG_FORMAT --dry-run --Werror $(find src test bench scripts -name '*.cpp' -o -name '*.h' -o -name '*.c')
else
  echo "note: the source format is not checked: the pinned clang-format ($CLANG_FORMAT) runs on x64 only" >&2
fi
run build-native/quorvane-tests --gtest_brief=1
run build-native/asan/quorvane-tests --gtest_brief=1
if [ -n "$WITH_TSAN" ]; then
  TSAN_OPTIONS=halt_on_error=1 run build-native/tsan/quorvane-tests --gtest_brief=1
fi

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
    run node_tests "$node_bin" $(ls test/*.test.js | grep -vx test/package.test.js)
  done
  phase "valgrind memcheck scenario on Node.js $("$node_bin" --version) (about 30 s)"
  run bash scripts/memcheck.sh "$node_bin"
  exit $status
fi

phase "the prebuilt add-ons for Node.js ${NODE_MAJORS[*]} on x64 and arm64 (only those whose sources changed; about a minute each)"
bash scripts/prebuild.sh --release
install_qemu_arm64
# The tests' add-on is the prebuilt one a user of that Node.js gets
# (PREBUILDS_ONLY: the loader, and node-gyp-build in the tests' helpers), not this
# tree's source build.
export PREBUILDS_ONLY=1 QUORVANE_RELEASE=1
# What differs between Node.js majors is met where JavaScript meets the
# add-on: these files test that (the others test what the add-on serves).
BINDING_TESTS=(package shared-object loading lifecycle events graph links info meter control descriptors
  fuzz signal-cli devices effects)
for major in "${NODE_MAJORS[@]}"; do
  node_bin=$(node_bin "$major")
  if [ -z "${QUORVANE_FULL_MAJORS:-}" ] || [[ " $QUORVANE_FULL_MAJORS " == *" $major "* ]]; then
    phase "JavaScript tests on Node.js $("$node_bin" --version) against private daemons (about 3 minutes)"
    run node_tests "$node_bin" test/*.test.js
  else
    phase "the add-on's binding's JavaScript tests on Node.js $("$node_bin" --version) (about a minute)"
    run node_tests "$node_bin" $(printf 'test/%s.test.js ' "${BINDING_TESTS[@]}")
  fi
done
phase "valgrind memcheck scenario on Node.js $("$node_bin" --version) (about 30 s)"
run bash scripts/memcheck.sh "$node_bin"

exit $status
