#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, ASan and UBSan, and runs
# each for the given number of seconds (default 20), starting from the
# committed seed corpora. New inputs found go to build-fuzz/corpus/.
# With --build-only, builds them and runs nothing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
source "$top/scripts/packages.sh"
need_packages cmake clang libclang-rt-14-dev

dir=$top/build-fuzz
CXX=clang++ cmake -S "$top" -B "$dir" -DLANGEXT_FUZZ=ON -DLANGEXT_SANITIZE=ON \
  -DLANGEXT_TESTS=OFF -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$dir" -j "$(nproc)" --target document_root_fuzzer configuration_fuzzer text_fuzzer \
  log_fuzzer
[ "$seconds" = --build-only ] && exit 0
# One target per core at a time, each for the given time.
run_target() {
  local target=$1 status=0
  mkdir -p "$dir/corpus/$target"
  (cd "$dir" && "./${target}_fuzzer" -max_total_time="$seconds" -max_len=4096 \
    -print_final_stats=1 "corpus/$target" "$top/tests/corpus/$target") > "$dir/$target.log" 2>&1 ||
    status=$?
  echo "== ${target}_fuzzer for ${seconds}s"
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$dir/$target.log" || true
  if [ "$status" != 0 ]; then
    grep -E -A30 'ERROR|SUMMARY|deadly signal' "$dir/$target.log" | head -60
    echo "${target}_fuzzer found a fault (exit status $status); the input is saved in $dir"
    return 1
  fi
}
export -f run_target
export dir top seconds
printf '%s\n' document_root configuration text log |
  xargs -P "$(nproc)" -I{} bash -c 'run_target {}' || exit 1
echo "fuzzing: every target ran ${seconds}s without a fault"
