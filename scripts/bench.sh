#!/usr/bin/env bash
# Sets everything up and runs the benchmark (not part of the test suite).
#   scripts/bench.sh            small, medium and large graphs
#   scripts/bench.sh --quick    small and medium only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
DEBIAN_FRONTEND=noninteractive
command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind >/dev/null; }
dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q "install ok" || bash scripts/setup.sh --all
make -s -C test/native "$PWD/build-native/pw-fixture"
make -s -C bench
exec node --expose-gc bench/run.js "$@"
