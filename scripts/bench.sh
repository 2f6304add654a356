#!/usr/bin/env bash
# Sets everything up and runs the benchmark (not part of the test suite).
#   scripts/bench.sh              speed (small, medium, large graphs), the asynchronous API and
#                                 routes (bench/graph.js), volume control (bench/control.js),
#                                 one-shot commands (bench/cli.js), the MQTT bridge
#                                 (bench/mqtt.js), level meters (bench/meter.js), an
#                                 equaliser (bench/effects.js), device profiles
#                                 (bench/cards.js), then memory under churn
#   scripts/bench.sh --quick      small and medium graphs; 10,000 measured memory cycles a kind
#   scripts/bench.sh --memory     memory under churn only (bench/memory.js; any further
#                                 options go to it, e.g. --kinds node --cycles 50000)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --all   # the fixture client, the reference client, the malloc helper, valgrind
if [ "${1:-}" = "--memory" ]; then
  shift
  exec node bench/memory.js "$@"
fi
node --expose-gc bench/run.js "$@"
node bench/graph.js "$@"
node bench/control.js "$@"
node bench/cli.js
node bench/mqtt.js
node bench/meter.js
node bench/effects.js "$@"
node bench/cards.js "$@"
node bench/memory.js "$@"
