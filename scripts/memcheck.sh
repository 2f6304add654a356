#!/usr/bin/env bash
# Runs test/memcheck/scenario.js under valgrind memcheck with the given Node.js
# and fails on any invalid access, or definite leak, in the add-on's code;
# then the ways a script ends (test/memcheck/exits.js: process.exit(), a
# normal end, an uncaught exception, SIGTERM) with devices, links, a route
# and pending requests alive, each failing on any invalid access.
set -euo pipefail
cd "$(dirname "$0")/.."
node_bin=${1:-node}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
status=0
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --num-callers=30 \
  --error-exitcode=0 --log-file="$logs/scenario.log" "$node_bin" test/memcheck/scenario.js || status=$?
if [ $status -ne 0 ]; then
  echo "memcheck: the scenario failed (exit $status)" >&2
  tail -40 "$logs/scenario.log" >&2
  exit 1
fi
if ! node test/memcheck/exits.js "$node_bin" "$logs"; then
  echo "memcheck: a way of ending did not end as it should" >&2
  exit 1
fi
# Every error record whose stack passes through the add-on's own code.
python3 - "$logs"/*.log <<'PY'
import re, sys
bad = 0
for log in sys.argv[1:]:
    text = open(log).read()
    records = re.split(r'\n==\d+== \n', text)
    ours = lambda r: re.search(r'Quorvane\.node|node\.abi\d+\.glibc\.node', r)  # a source build or a prebuilt one
    # A prebuilt binary has libstdc++ linked in: its operator new is a plain
    # malloc that valgrind does not see as new, so every block it makes and
    # Node.js deletes (a backing store's control block) would read as a
    # mismatch. Mismatches count for a source build, whose new valgrind sees.
    mismatch = lambda r: 'Mismatched' in r and re.search(r'Quorvane\.node', r)
    # V8's GC tracer reads a timing it has not set yet (its own, whatever
    # allocation started the collection): not the add-on's, when the add-on
    # is only further down the stack.
    v8_tracer = lambda r: re.search(r'uninitialised value.*\n==\d+==    at 0x[0-9A-F]+: v8::internal::GCTracer::', r)
    # V8's conservative stack scan (cppgc, Node.js 26) reads every word of
    # the stack, set or not, by design: the add-on's frames are only below it.
    v8_stack_scan = lambda r: re.search(r'uninitialised value.*\n==\d+==    at 0x[0-9A-F]+: (heap::base::|cppgc::internal::ConservativeTracingVisitor::)', r)
    invalid = [r for r in records if (re.search(r'Invalid (read|write|free)|uninitialised', r) or mismatch(r)) and ours(r)
               and not v8_tracer(r) and not v8_stack_scan(r)]
    leaks = [r for r in records if 'definitely lost' in r and ours(r)]
    summary = re.search(r'ERROR SUMMARY: .*', text)
    name = log.rsplit('/', 1)[-1]
    print(f"memcheck {name}: {len(invalid)} invalid accesses and {len(leaks)} definite leaks in the add-on; "
          f"valgrind's total: {summary.group(0) if summary else '?'}")
    for r in invalid + leaks:
        print(r[:3000])
    bad += len(invalid) + len(leaks)
sys.exit(1 if bad else 0)
PY
