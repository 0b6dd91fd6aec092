#!/usr/bin/env bash
# The manual page renders without a single warning, and every message the
# program can print is listed under DIAGNOSTICS.
# Usage: manual_test.sh PAGE SOURCE...
set -uo pipefail
page=$1
shift
failed=0

warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "FAIL: groff warns about $page:"
  echo "$warnings"
  failed=1
fi

# The undo's page, as man -l reads it from the checkout.
undo_page=$(dirname "$page")/langext-undo.8
if ! groff -man -Tascii -P-cbou "$undo_page" 2> /dev/null | grep -q "^NAME"; then
  echo "FAIL: $undo_page does not render as a page"
  failed=1
fi

# README's apt-get line names the packages the test command installs.
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/packages.sh"
readme_packages=$(sed -n '/^apt-get install /,/^```/p' "$top/README.md" | tr -d '\\`' |
  sed 's/^apt-get install//' | tr -s ' \n' '\n' | sed '/^$/d' | LC_ALL=C sort)
if [ "$readme_packages" != "$(printf '%s\n' "${TEST_PACKAGES[@]}" | LC_ALL=C sort)" ]; then
  echo "FAIL: README's apt-get line and TEST_PACKAGES differ:"
  diff <(echo "$readme_packages") <(printf '%s\n' "${TEST_PACKAGES[@]}" | LC_ALL=C sort) | sed 's/^/    /'
  failed=1
fi

# DIAGNOSTICS as one line of text, whatever the line breaks.
diagnostics=$(groff -man -Tascii -P-cbou -rLL=200n "$page" 2>/dev/null |
  sed -n '/^DIAGNOSTICS/,/^[A-Z]/p' | sed '1d;$d' | tr -s ' \n' '  ')

# The program's messages are its string literals that hold a space and start
# with a capital letter or a line end; each %s or number stands for one word.
count=0
while IFS= read -r literal; do
  message=${literal#\"}
  message=${message%\"}
  message=${message//\\n/}
  pattern=$(printf '%s' "$message" | sed -e 's/[][\.*^$+?(){}|/]/\\&/g' -e 's/%\(ll\|l\|z\)\?[sdu]/[^ ]+/g' -e 's/ *$//')
  count=$((count + 1))
  if ! grep -qE -- "$pattern" <<< "$diagnostics"; then
    echo "FAIL: not under DIAGNOSTICS: $message"
    failed=1
  fi
done < <(grep -ohE '"([^"\\]|\\.)*"' "$@" | grep -E '^"(\\n)*[A-Z][^"]* ')

echo "manual page: $count messages checked"
[ "$count" -gt 10 ] || { echo "FAIL: too few messages found in the sources"; failed=1; }
exit "$failed"
