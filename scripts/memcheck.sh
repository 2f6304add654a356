#!/usr/bin/env bash
# Runs test/memcheck/scenario.js under valgrind memcheck with the given Node.js
# and fails on any invalid access, or definite leak, in the add-on's code.
set -euo pipefail
cd "$(dirname "$0")/.."
node_bin=${1:-node}
log=$(mktemp)
status=0
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --num-callers=30 \
  --error-exitcode=0 --log-file="$log" "$node_bin" test/memcheck/scenario.js || status=$?
if [ $status -ne 0 ]; then
  echo "memcheck: the scenario failed (exit $status)" >&2
  tail -40 "$log" >&2
  exit 1
fi
# Every error record whose stack passes through the add-on's own code.
python3 - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r'\n==\d+== \n', text)
ours = lambda r: re.search(r'Quorvane\.node|node\.abi\d+\.glibc\.node', r)  # a source build or a prebuilt one
invalid = [r for r in records if re.search(r'Invalid (read|write|free)|uninitialised|Mismatched', r) and ours(r)]
leaks = [r for r in records if 'definitely lost' in r and ours(r)]
summary = re.search(r'ERROR SUMMARY: .*', text)
print(f"memcheck: {len(invalid)} invalid accesses and {len(leaks)} definite leaks in the add-on; "
      f"valgrind's total: {summary.group(0) if summary else '?'}")
for r in invalid + leaks:
    print(r[:3000])
sys.exit(1 if invalid or leaks else 0)
PY
rm -f "$log"
