#!/usr/bin/env bash
# Builds everything and runs every test, in stages: the normal build and its
# tests (the end-to-end suite also under valgrind), the build with
# AddressSanitizer and UndefinedBehaviorSanitizer and its tests, the fuzz
# targets for a bounded time, and static analysis. Every stage runs even
# when one before it failed, and the command ends with one summary: each
# stage passed, failed or skipped, and the failing cases by name. The exit
# status is 1 when anything failed. Each stage's whole output is kept in
# build-logs/STAGE.log; the terminal shows one line per test as it ends.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/packages.sh"
need_packages "${TEST_PACKAGES[@]}" || exit 1

jobs=$(nproc)
logs=$top/build-logs
rm -rf "$logs" && mkdir -p "$logs" || exit 1
started=$SECONDS

# What a stage's log says failed: the ctest cases, the end-to-end and
# other script cases (FAIL [...]), the unit tests ([  FAILED  ]).
failing_cases() {
  grep -ohE '^([0-9]+: )?(FAIL \[[^]]*\]|FAIL:.*|\[  FAILED  \] [A-Za-z0-9_./]+)' "$1" | sed -E 's/^[0-9]+: //' |
    LC_ALL=C sort -u
  grep -ohE '^[0-9]+/[0-9]+ Test +#[0-9]+: [^ ]+ .*(Failed|Timeout|Exception|Not Run)' "$1" |
    sed -E 's/^.*Test +#[0-9]+: ([^ ]+) .*$/ctest \1 failed/'
}

# Runs one stage, its output into its log; the lines that show how it goes
# reach the terminal. $1 names the stage, the rest is the command. Its line
# of the summary goes to build-logs/STAGE.summary, since some stages run
# beside others.
stage() {
  local name=$1 log=$logs/$1.log began=$SECONDS status
  shift
  echo "== $name"
  "$@" 2>&1 | tee "$log" |
    grep --line-buffered -E '^(== |[0-9]+/[0-9]+ Test|([0-9]+: )?(FAIL|skip |SKIPPED)|lint:|fuzzing:|.*found a fault)'
  status=${PIPESTATUS[0]}
  local seconds=$((SECONDS - began)) cases
  cases=$(failing_cases "$log")
  if [ "$status" = 0 ] && [ -z "$cases" ]; then
    printf '%-28s passed (%ss)\n' "$name" "$seconds" > "$logs/$name.summary"
  else
    {
      printf '%-28s FAILED (%ss; exit status %s; see %s)\n' "$name" "$seconds" "$status" "${log#"$top"/}"
      [ -n "$cases" ] && sed 's/^/    /' <<< "$cases"
    } > "$logs/$name.summary"
  fi
  return "$status"
}

skipped_stage() { printf '%-28s skipped: %s\n' "$1" "$2" > "$logs/$1.summary"; }

build() {
  local dir=$1
  shift
  cmake -S "$top" -B "$dir" -DLANGEXT_TESTS=ON "$@" && cmake --build "$dir" -j "$jobs"
}

# The tests in verbose form, so that the log holds every case's lines.
run_ctest() { ctest --test-dir "$1" -V -j "$jobs"; }

# The sanitizers' build, the fuzz targets' and the static analysis run
# beside the normal tests, at the lowest priority, so that they take only
# the processor time those leave (a core is idle once the suite under
# valgrind runs alone). None runs the program, so no test's timing depends
# on them. The fuzzing stage builds its targets again (nothing to do once
# built), and a failure to build them is its own.
beside_tests() {
  renice -n 19 -p "$BASHPID" > /dev/null
  stage build-sanitizers build "$top/build-sanitize" -DLANGEXT_SANITIZE=ON
  bash "$top/scripts/fuzz.sh" --build-only > "$logs/fuzz-build.log" 2>&1
  stage lint bash "$top/scripts/lint.sh"
}

if stage build build "$top/build" -DLANGEXT_SANITIZE=OFF; then
  beside_tests &
  stage tests run_ctest "$top/build"
  wait $!
else
  skipped_stage tests "the build failed"
  beside_tests
fi
if grep -q '^build-sanitizers  *passed' "$logs/build-sanitizers.summary"; then
  stage tests-sanitizers run_ctest "$top/build-sanitize"
else
  skipped_stage tests-sanitizers "the build failed"
fi
stage fuzzing bash "$top/scripts/fuzz.sh" "${LANGEXT_FUZZ_SECONDS:-20}"

echo
echo "== Summary ($(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s; logs in build-logs/)"
failures=0
for name in build tests build-sanitizers tests-sanitizers fuzzing lint; do
  cat "$logs/$name.summary"
  grep -q '^[^ ]*  *FAILED' "$logs/$name.summary" && failures=$((failures + 1))
done
skips=$(grep -hoE '^[0-9]+: skip .*' "$logs"/tests*.log 2>/dev/null | sed -E 's/^[0-9]+: skip //' | LC_ALL=C sort -u)
[ -n "$skips" ] && printf 'cases skipped, with their reasons:\n%s\n' "$(sed 's/^/    /' <<< "$skips")"
if [ "$failures" != 0 ]; then
  echo "FAILED: $failures stage(s)"
  exit 1
fi
echo "every stage passed"
