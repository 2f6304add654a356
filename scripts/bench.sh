#!/usr/bin/env bash
# Sets everything up and runs the benchmark (not part of the test suite).
#   scripts/bench.sh            small, medium and large graphs
#   scripts/bench.sh --quick    small and medium only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --all   # the fixture client, the reference client, valgrind
exec node --expose-gc bench/run.js "$@"
