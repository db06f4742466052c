#!/usr/bin/env bash
# The whole test suite, as CI runs it: set up, build, then GoogleTest (ctest),
# pytest, the native example and the reliability checks (docs/reliability.md);
# ZORMSG_RELIABILITY=0 skips those. Ends with one table of every stage's result
# and time, and fails when any stage failed.
#
# After the build, two lanes run side by side on the machine's two cores:
# lane A the stages that build with every core, one at a time; lane B the
# ones that use about one core (its builds with JOBS=1, or every core once
# lane A is done). Each stage of the lanes writes to its own log in build/ci/,
# printed when the stage fails.
set -euo pipefail
cd "$(dirname "$0")/.."
RELIABILITY=${ZORMSG_RELIABILITY:-1}
LOGS=build/ci
rm -rf "$LOGS"
mkdir -p "$LOGS"
RESULTS=$LOGS/results.tsv
: >"$RESULTS"
started=$SECONDS

log_of() { echo "$LOGS/$(echo "$1" | tr -c 'a-z0-9\n' '-').log"; }

# stage LANE NAME COMMAND...: runs one stage into its log (shown as it runs in
# the serial lane) and records its result; returns the command's status.
stage() {
  local lane=$1 name=$2 rc=0 start=$SECONDS
  shift 2
  local log
  log=$(log_of "$name")
  echo "=== $name (lane $lane)"
  if [ "$lane" = serial ]; then
    "$@" 2>&1 | tee "$log" || rc=$?
  else
    "$@" >"$log" 2>&1 || rc=$?
  fi
  local result=passed
  [ "$rc" -eq 0 ] || result="FAILED (exit $rc)"
  printf '%s\t%s\t%s\t%s\n' "$name" "$lane" "$result" "$((SECONDS - start))" >>"$RESULTS"
  echo "=== $name: $result in $((SECONDS - start))s"
  if [ "$rc" -ne 0 ] && [ "$lane" != serial ]; then
    echo "--- log of $name ($log):"; cat "$log"; echo "--- end of the log of $name"
  fi
  return "$rc"
}

lane_a() {  # builds with every core, one at a time
  # A project that links zormsg_core, pulling zormsg in with add_subdirectory(),
  # and, from outside the checkout, the package installed from build/dev.
  stage A "native example" bash examples/native/run.sh || true
  stage A "native example (installed)" bash examples/native/run.sh --installed || true
  [ "$RELIABILITY" = 1 ] || return 0
  # Every CPython from 3.7 on (3.14 and 3.15 in Debian's unstable root): its
  # own venv and build under build/matrix/, ctest and the whole Python suite;
  # the wheel stage builds its wheels in those folders (3.14 and 3.15 on the
  # host, in build/wheel-host/).
  stage A "interpreter matrix" bash scripts/stages/matrix.sh || true
  stage A "wheel" bash scripts/stages/wheel.sh || true
  # Reference counts on the unstable root's debug CPython.
  stage A "refcounts (3.14d)" bash scripts/stages/refcounts.sh || true
}

jobs_b() {  # build jobs for a stage of lane B: one while lane A runs
  if [ -e "$LOGS/lane-a.done" ]; then nproc; else echo 1; fi
}

lane_b() {  # about one core each: the dev build's checks, then builds of their own
  stage B "ctest" ctest --test-dir build/dev --output-on-failure -j "$(nproc)" || true
  stage B "pytest" bash scripts/lib/pytest.sh build/dev || true
  [ "$RELIABILITY" = 1 ] || return 0
  stage B "valgrind" bash scripts/stages/valgrind.sh || true
  stage B "type stubs" bash scripts/stages/stubs.sh || true
  # g++ 16 of Debian unstable's root (scripts/lib/unstable_root.sh), the second compiler.
  stage B "g++ 16" env JOBS="$(jobs_b)" bash scripts/stages/gcc16.sh || true
  stage B "lint" env JOBS="$(jobs_b)" bash scripts/lint.sh || true
  stage B "sanitizers" env JOBS="$(jobs_b)" bash scripts/stages/sanitize.sh || true
  stage B "fuzzing" env JOBS="$(jobs_b)" bash scripts/stages/fuzz.sh || true
  stage B "external-library" env JOBS="$(jobs_b)" bash scripts/stages/external_library.sh || true
  # Last: it reuses build/dev and the fuzzing stage's build.
  stage B "doc snippets" bash scripts/stages/doc_snippets.sh || true
}

table() {
  local total=$((SECONDS - started))
  echo
  printf '| %-28s | %-6s | %-16s | %7s |\n' stage lane result seconds
  printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..30})" "--------" "$(printf -- '-%.0s' {1..18})" "---------"
  while IFS=$'\t' read -r name lane result secs; do
    printf '| %-28s | %-6s | %-16s | %7s |\n' "$name" "$lane" "$result" "$secs"
  done <"$RESULTS"
  printf '| %-28s | %-6s | %-16s | %7s |\n' "all (wall time)" "" "" "$total"
  local passed failed
  passed=$(grep -c $'\tpassed\t' "$RESULTS" || true)
  failed=$(grep -c $'\tFAILED' "$RESULTS" || true)
  echo
  echo "stages: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

if ! { ZORMSG_RELIABILITY=$RELIABILITY stage serial "setup" bash scripts/setup.sh &&
       stage serial "build" bash scripts/build.sh; }; then
  table || true
  echo "test: nothing else runs without the build"
  exit 1
fi
{ lane_a; touch "$LOGS/lane-a.done"; } &
a=$!
lane_b &
b=$!
wait "$a" "$b" || true
table
