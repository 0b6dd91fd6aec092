#!/usr/bin/env bash
# cmake --install --strip with a prefix and DESTDIR puts the programs,
# stripped, in sbin/, the manual page in share/man/man8/ and the history's
# logrotate rule in /etc/logrotate.d, and nothing outside DESTDIR.
# Usage: install_test.sh BUILD_DIR
set -uo pipefail
destdir=$1/install-test
rm -rf "$destdir" && mkdir -p "$destdir" || exit 1
trap 'rm -rf "$destdir"' EXIT
failed=0
DESTDIR=$destdir cmake --install "$1" --prefix /opt/langext --strip > "$destdir.log" 2>&1 ||
  { echo "FAIL: cmake --install: $(cat "$destdir.log")"; failed=1; }
rm -f "$destdir.log"
for program in langext-install langext-undo; do
  [ -x "$destdir/opt/langext/sbin/$program" ] || { echo "FAIL: no sbin/$program"; failed=1; }
done
# The undo's page is the installer's, which tells of both.
[ "$(cat "$destdir/opt/langext/share/man/man8/langext-undo.8" 2> /dev/null)" = ".so man8/langext-install.8" ] ||
  { echo "FAIL: no share/man/man8/langext-undo.8 leading to langext-install.8"; failed=1; }
readelf -SW "$destdir/opt/langext/sbin/langext-install" 2>/dev/null | grep -q '\.symtab' &&
  { echo "FAIL: sbin/langext-install is not stripped"; failed=1; }
cmp -s "$destdir/opt/langext/share/man/man8/langext-install.8" "$(dirname "$0")/../doc/langext-install.8" ||
  { echo "FAIL: no share/man/man8/langext-install.8"; failed=1; }
[ -f "$destdir/etc/logrotate.d/langext-install" ] ||
  { echo "FAIL: no /etc/logrotate.d/langext-install for the history"; failed=1; }
[ -e /opt/langext ] && { echo "FAIL: something was installed outside DESTDIR"; failed=1; }
# The program throws nothing and needs no C++ runtime library: loading one
# costs a megabyte of memory on every run.
readelf -dW "$destdir/opt/langext/sbin/langext-install" | grep -E 'NEEDED.*lib(stdc\+\+|gcc_s)' &&
  { echo "FAIL: the program needs the C++ runtime library"; failed=1; }
echo "install rules: $(cd "$destdir" && find . -type f | sort | tr '\n' ' ')"
exit "$failed"
