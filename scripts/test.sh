#!/usr/bin/env bash
# Builds everything and runs every test: once with the normal build, once
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/packages.sh"
need_packages cmake g++ make libgtest-dev util-linux findutils diffutils

jobs=$(nproc)
for variant in build:OFF build-sanitize:ON; do
  dir=$top/${variant%%:*}
  echo "== ${variant%%:*} (sanitizers ${variant##*:})"
  cmake -S "$top" -B "$dir" -DLANGEXT_TESTS=ON -DLANGEXT_SANITIZE="${variant##*:}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
