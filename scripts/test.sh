#!/usr/bin/env bash
# Builds everything and runs every test: once with the normal build (the
# end-to-end suite also under valgrind), once with AddressSanitizer and
# UndefinedBehaviorSanitizer; then the fuzz targets for a bounded time, and
# static analysis.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/packages.sh"
need_packages cmake g++ make libgtest-dev util-linux findutils diffutils valgrind groff-base tar strace file binutils tmux ansible-core acl attr libcap2-bin \
  e2fsprogs libfuse3-dev fuse3 pkg-config \
  podman runc busybox-static

jobs=$(nproc)
for variant in build:OFF build-sanitize:ON; do
  dir=$top/${variant%%:*}
  echo "== ${variant%%:*} (sanitizers ${variant##*:})"
  cmake -S "$top" -B "$dir" -DLANGEXT_TESTS=ON -DLANGEXT_SANITIZE="${variant##*:}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

bash "$top/scripts/fuzz.sh" "${LANGEXT_FUZZ_SECONDS:-20}"
bash "$top/scripts/lint.sh"
