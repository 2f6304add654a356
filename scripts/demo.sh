#!/usr/bin/env bash
# Sets everything up and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec node bin/demo.js "$@"
