#!/usr/bin/env bash
# Checks that the tests catch the faults listed in scripts/mutants/faults.tsv.
# For each fault: a scratch copy of the tree (with this tree's builds, so that
# only what the fault touches is compiled again), the fault applied with sed,
# the add-on and/or the native tests rebuilt, the named tests run. Prints one
# line per fault: caught, missed, or "not applied" (its line is no longer in
# the file: update the list), then a count.
#   scripts/mutants.sh            every fault
#   scripts/mutants.sh ID...      only these
#   scripts/mutants.sh --tests-from REV [ID...]
#                                 the tests of commit REV (say, before a change to them) against this tree
#   scripts/mutants.sh --record   every fault, the outcome also written to docs/mutants/run.txt
#                                 with the date, the commit and the load (the record of the last whole run)
#   scripts/mutants.sh --jobs N   N faults at a time, each in its own scratch tree (the tests mostly
#                                 wait: 4 take the whole list on 2 cores in about half an hour), with
#                                 any of the above
# Needs the add-on and the native tests built in this tree (scripts/setup.sh --all).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
LIST=scripts/mutants/faults.tsv
[ -f build/Release/Quorvane.node ] && [ -f gyp/build/Makefile ] && [ -x build-native/pw-fixture ] || {
  echo "mutants: build the add-on and the native tests first (scripts/setup.sh --all)" >&2
  exit 2
}

record= tests_from= jobs=1
while [ $# -gt 0 ]; do
  case $1 in
    --record) record=$ROOT/docs/mutants/run.txt ;;
    --tests-from) tests_from=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    *) break ;;
  esac
  shift
done
[[ $jobs =~ ^[1-9][0-9]?$ ]] || { echo "mutants: --jobs takes 1 to 99" >&2; exit 2; }
if [ -n "$record" ]; then
  mkdir -p "$(dirname "$record")"
  echo "# scripts/mutants.sh, $([ $# -gt 0 ] && echo "$# faults given" || echo "whole list"): $(date -u +%Y-%m-%dT%H:%MZ), commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD || echo ' with changes'), node $(node --version), $jobs at a time, load $(cut -d' ' -f1-3 /proc/loadavg)" >"$record"
  exec > >(tee -a "$record")
fi

if [ "$jobs" -gt 1 ]; then
  # The faults dealt out in turn to $jobs runs of this script; their lines
  # printed in the list's order once all are done.
  mapfile -t ids < <(awk -F'\t' '$1 !~ /^#/ && $1 != "" {print $1}' "$LIST")
  [ $# -gt 0 ] && mapfile -t ids < <(printf '%s\n' "${ids[@]}" | grep -Fxf <(printf '%s\n' "$@"))
  out=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-mutants-jobs.XXXXXX")
  trap 'rm -rf "$out"' EXIT
  pids=()
  for ((j = 0; j < jobs; j++)); do
    share=()
    for ((i = j; i < ${#ids[@]}; i += jobs)); do share+=("${ids[i]}"); done
    [ ${#share[@]} -gt 0 ] || continue
    bash "$ROOT/scripts/mutants.sh" ${tests_from:+--tests-from "$tests_from"} "${share[@]}" >"$out/$j" 2>&1 &
    pids+=($!)
  done
  # The runs only: a bare `wait` also waits for the record's tee, which ends
  # only when this script does.
  wait "${pids[@]}"
  for id in "${ids[@]}"; do grep -h -m1 "^$id " "$out"/* || echo "$id    (no outcome: see the job's output)"; done
  caught=$(cat "$out"/* | grep -c '^[^ ]* *caught ') missed=$(cat "$out"/* | grep -c '^[^ ]* *MISSED ') skipped=$(cat "$out"/* | grep -c '^[^ ]* *not applied ')
  echo "mutants: $caught caught, $missed missed, $skipped not applied${record:+ (done $(date -u +%H:%MZ), load $(cut -d' ' -f1-3 /proc/loadavg))}"
  [ "$missed" = 0 ]
  exit
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-mutants.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The pristine copy: sources, tests and builds, without git's data.
mkdir -p "$work/base"
tar -C "$ROOT" --exclude=./.git --exclude=./node_modules --exclude=./.cache -cf - . | tar -C "$work/base" -xf -
if [ -n "$tests_from" ]; then
  rm -rf "$work/base/test"
  git archive "$tests_from" test | tar -C "$work/base" -xf -
fi

# node-gyp's makefiles name files relative to gyp/build/, some outside the tree
# (Node.js's headers, the npm packages): each scratch tree sits at the same
# path as this one under a scratch root whose other entries, at every level,
# link to the real ones, so that those paths resolve as they do here.
mirror_root() { # DIR: DIR$ROOT is free, every other path resolves as from /
  local dir=$1 at=/ name e
  IFS=/ read -ra names <<<"${ROOT#/}"
  for name in "${names[@]}"; do
    mkdir -p "$dir$at"
    for e in "$at".* "$at"*; do
      case ${e##*/} in . | .. | "$name") continue ;; esac
      [ -e "$e" ] && ln -s "$e" "$dir$at${e##*/}"
    done
    at="$at$name/"
  done
}

run_tests() { # TREE TESTS...
  local tree=$1 t file pattern
  shift
  for t in "$@"; do
    case $t in
      native:*) "$tree/build-native/quorvane-tests" --gtest_brief=1 --gtest_filter="${t#native:}" ;;
      tsan:*) TSAN_OPTIONS=halt_on_error=1 "$tree/build-native/tsan/quorvane-tests" --gtest_brief=1 --gtest_filter="${t#tsan:}" ;;
      js:*)
        file=${t#js:}
        pattern=
        [[ $file == *@* ]] && pattern=${file#*@} file=${file%%@*}
        # A test file that is gone would fail, and pass for a catch: missed.
        [ -f "$tree/$file" ] || { echo "no test file $file" >&2; return 0; }
        (cd "$tree" && timeout 600 node --test --test-timeout=120000 ${pattern:+--test-name-pattern="$pattern"} "$file") ;;
      *) echo "unknown test $t" >&2; return 0 ;;
    esac >>"$tree.log" 2>&1 || return 1
  done
  return 0
}

caught=0 missed=0 skipped=0
while IFS=$'\t' read -r id file script tests desc; do
  case $id in '#'* | '') continue ;; esac
  [ $# -gt 0 ] && [[ " $* " != *" $id "* ]] && continue
  rm -rf "$work/t"
  mkdir -p "$work/t"
  mirror_root "$work/t"
  tree="$work/t$ROOT"
  cp -a "$work/base" "$tree"
  # npm's packages as hard links (a copy where the scratch folder is on
  # another file system): a test that packs or installs (npm pack with
  # bundled packages rewrites node_modules) changes the copy, not them.
  cp -al "$ROOT/node_modules" "$tree/node_modules" 2>/dev/null || { rm -rf "$tree/node_modules" && cp -a "$ROOT/node_modules" "$tree/node_modules"; }
  [ -d "$ROOT/.cache" ] && ln -s "$ROOT/.cache" "$tree/.cache"
  sed -i -e "$script" "$tree/$file"
  if cmp -s "$ROOT/$file" "$tree/$file"; then
    printf '%-11s not applied  %s (%s)\n' "$id" "$desc" "$file"
    skipped=$((skipped + 1))
    rm -rf "$tree" "$tree.log"
    continue
  fi
  built=1
  if [[ $file == src/* ]]; then
    # node-gyp's tree (gyp/build), then its product where the loader takes it, as scripts/build-addon.js does.
    if [[ $tests == *js:* ]]; then
      { make -s -C "$tree/gyp/build" BUILDTYPE=Release -j2 && cp "$tree/gyp/build/Release/Quorvane.node" "$tree/build/Release/"; } \
        >>"$tree.log" 2>&1 </dev/null || built=0
    fi
    if [[ $tests == *native:* ]]; then make -s -C "$tree/test/native" all >>"$tree.log" 2>&1 </dev/null || built=0; fi
    if [[ $tests == *tsan:* ]]; then make -s -C "$tree/test/native" tsan >>"$tree.log" 2>&1 </dev/null || built=0; fi
  fi
  # A fault the compiler refuses is no fault of the tests: report it.
  if [ $built = 0 ]; then
    printf '%-11s not applied  %s (does not build: %s)\n' "$id" "$desc" "$(grep -m1 error: "$tree.log")"
    skipped=$((skipped + 1))
  elif run_tests "$tree" $tests </dev/null; then
    printf '%-11s MISSED       %s (%s)\n' "$id" "$desc" "$tests"
    missed=$((missed + 1))
  else
    printf '%-11s caught       %s\n' "$id" "$desc"
    caught=$((caught + 1))
  fi
done <"$LIST"
echo "mutants: $caught caught, $missed missed, $skipped not applied"
[ $missed = 0 ]
