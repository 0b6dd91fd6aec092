#!/usr/bin/env bash
# Static analysis of the program's code: clang-tidy with the committed
# .clang-tidy, cppcheck, and a check that the code is formatted with the
# committed .clang-format. Any finding fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/packages.sh"
need_packages cmake clang-tidy cppcheck clang-format libgtest-dev
cd "$top"

dir=$top/build-lint
cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DLANGEXT_TESTS=ON >/dev/null
mapfile -t program < <(git ls-files 'text/*.cc' 'fs/*.cc' 'steps/*.cc' 'installer/*.cc' 'undo/*.cc' | grep -v -E '_(test|fuzzer)\.cc$')
mapfile -t everything < <(git ls-files '*.cc' '*.h')

echo "== clang-tidy"
status=0
printf '%s\n' "${program[@]}" |
  xargs -P "$(nproc)" -n 1 clang-tidy -p "$dir" --quiet > "$dir/clang-tidy.log" 2>&1 || status=$?
grep -v -E '^[0-9]+ warnings? generated\.$' "$dir/clang-tidy.log" || true
[ "$status" = 0 ]

echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ --inline-suppr \
  --enable=warning,style,performance,portability --suppress=missingIncludeSystem \
  -I . "${program[@]}" installer/main.cc undo/main.cc

echo "== clang-format"
clang-format --dry-run --Werror "${everything[@]}"
echo "lint: clang-tidy, cppcheck and clang-format found nothing"
