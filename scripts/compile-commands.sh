#!/usr/bin/env bash
# Writes compile_commands.json at the top of the repository, for editors and
# clang tools (the add-on's sources, as node-gyp compiles them from gyp/binding.gyp).
set -euo pipefail
cd "$(dirname "$0")/.."
nodedir=$(cd "$(dirname "$(readlink -f "$(command -v node)")")/.." && pwd)
gyp() { npm_config_nodedir="$nodedir" node node_modules/node-gyp/bin/node-gyp.js configure --directory gyp --nodedir="$nodedir" --loglevel=error "$@"; }
gyp -- -f compile_commands_json
cp gyp/build/Release/compile_commands.json compile_commands.json
gyp  # back to the Makefile generator for later builds
echo "wrote compile_commands.json ($(grep -c '"file"' compile_commands.json) sources)"
