#!/usr/bin/env bash
# Builds the installer and runs it for real on the bundled sample product and
# add-on package, inside a throwaway mount namespace: the host's /etc and
# /var are never touched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tests/sandbox.sh"

if [ "${LANGEXT_SANDBOX:-}" != 1 ]; then
  source "$top/scripts/packages.sh"
  need_packages cmake g++ make util-linux findutils
  cmake -S "$top" -B "$top/build" -DLANGEXT_BENCH=ON >/dev/null
  cmake --build "$top/build" --target langext-install langext-undo make_package >/dev/null
  sandbox_enter "$0" "$@" || { echo "This system allows no private mount namespace." >&2; exit 1; }
fi

sandbox_prepare "$top/build/demo-sandbox"
sandbox_install_product "$top/sample"
addon=$(sandbox_unpack_addon "$top/build/langext-install" "$top/sample")
cd "$addon"

show_state() {
  find /var/lib/tarnwick /var/lib/httpd/htdocs -printf '%M %4m  %p\n' | sort -k3
}

echo "== The product before the installation"
show_state
echo
# Answers the prompt with Enter, as an administrator would, and shows the
# exit status and what it means: a completed run exits 1, not 0. A run that
# does not end as the demo expects ($1) ends the demo, loudly.
run_installer() {
  echo "\$ printf '\\n' | ./langext-install"
  local status=0
  printf '\n' | ./langext-install || status=$?
  case $status in
    1) echo "(exit status 1: completed)" ;;
    255) echo "(exit status 255: refused or failed)" ;;
    *) echo "(exit status $status)" ;;
  esac
  if [ "$status" != "$1" ]; then
    echo "demo: this run was to end with exit status $1; it ended with $status (its message is above)" >&2
    exit 1
  fi
}

echo "== A dry run: what a run would do with each target; it changes nothing"
echo "\$ printf '\\n' | ./langext-install --dry-run"
printf '\n' | ./langext-install --dry-run ||
  { echo "demo: the dry run says a run would not proceed (its message is above)" >&2; exit 1; }
echo
echo "== First run, Enter at the prompt for the default document root"
run_installer 1
echo
echo "== Installed, and set aside as .old"
show_state
echo
echo "== A template edited since: langext-undo --check lists it, and would refuse the undo"
echo "<!-- local change -->" >> /var/lib/tarnwick/templates/index.htx
echo "\$ langext-undo --check"
"$top/build/langext-undo" --check && { echo "demo: the check missed the change" >&2; exit 1; }
echo
echo "== Second run: the backups of the first are there, so it refuses"
run_installer 255
echo
echo "== A large package: 40,000 small files. When standard error is a terminal,"
echo "   a line of progress shows there while the package is copied."
rm -rf /var/lib/tarnwick /var/lib/httpd
sandbox_install_product "$top/sample"
large=$SANDBOX/large
"$top/build/make_package" tiny 40000 "$large"
cp "$top/build/langext-install" "$large/"
cd "$large"
run_installer 1
echo "(installed: $(find /var/lib/tarnwick/templates /var/lib/httpd/htdocs/images -type f | wc -l) files)"
