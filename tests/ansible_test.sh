#!/usr/bin/env bash
# The fleet example, run for real: the playbook in examples/ansible installs
# the add-on from the archive on the local host, inside a private mount
# namespace like the end-to-end tests. A fresh host (changed), the same
# host again (ok, nothing changed), the undo (changed: the product as it
# was), the undo again (ok, nothing to undo), a host without the product
# (failed, with the installer's message in Ansible's output).
# Usage: ansible_test.sh ADDON_ARCHIVE SAMPLE_DIR
set -uo pipefail
archive=$(realpath "$1")
sample=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/sandbox.sh"

if [ "${LANGEXT_SANDBOX:-}" != 1 ]; then
  if ! command -v ansible-playbook > /dev/null; then
    source "$here/../scripts/packages.sh"
    need_packages ansible-core || { echo "SKIPPED: ansible-core is not installed"; exit 77; }
  fi
  sandbox_enter "$0" "$archive" "$sample" || {
    echo "SKIPPED: this system allows no private mount namespace"
    exit 77
  }
fi
sandbox_prepare "$(dirname "$archive")/ansible-sandbox"

# Ansible keeps its own files under the sandbox, not the host's home.
export HOME=$SANDBOX/home ANSIBLE_LOCAL_TEMP=$SANDBOX/ansible-tmp ANSIBLE_NOCOLOR=1 LC_ALL=C.UTF-8
# The remote side's default comes from the password file's home, not $HOME.
export ANSIBLE_REMOTE_TEMP=$SANDBOX/ansible-remote-tmp
mkdir -p "$HOME"
failed=0
fail() { echo "FAIL [$1]: $2"; failed=1; }

# Runs the playbook; leaves its output in $SANDBOX/play and its status in
# $STATUS.
play() {
  ansible-playbook -i "$here/../examples/ansible/inventory.ini" \
    "$here/../examples/ansible/install-language-extensions.yml" \
    -e langext_archive="$archive" -e langext_parent="$SANDBOX/opt" -e langext_become=false \
    -e langext_document_root=/var/lib/httpd/htdocs "$@" > "$SANDBOX/play" 2>&1
  STATUS=$?
}

# The recap's counts for the host, as "changed=N failed=N".
recap() {
  grep -E '^localhost +:' "$SANDBOX/play" | grep -oE '(changed|failed)=[0-9]+' | tr '\n' ' '
}

expect() {
  local title=$1 status=$2 counts=$3
  if [ "$STATUS" != "$status" ] || [ "$(recap)" != "$counts" ]; then
    fail "$title" "status $STATUS and recap '$(recap)', expected $status and '$counts'"
    sed 's/^/    /' "$SANDBOX/play"
  else
    echo "ok   $title"
  fi
}

mkdir -p "$SANDBOX/opt"
sandbox_install_product "$sample"
cp -a /var/lib/tarnwick "$SANDBOX/tarnwick-before"
play
expect "a fresh host is changed" 0 "changed=2 failed=0 "
[ -f /var/lib/httpd/htdocs/images.old/logo.gif ] || fail "a fresh host is changed" "nothing was set aside"

play
expect "the same host again is ok, nothing changed" 0 "changed=0 failed=0 "

play --tags undo
expect "the undo is changed" 0 "changed=1 failed=0 "
diff -r "$SANDBOX/tarnwick-before" /var/lib/tarnwick > /dev/null &&
  [ "$(cat /var/lib/httpd/htdocs/images/logo.gif)" = GIF89a-old-logo ] &&
  [ ! -e /var/lib/httpd/htdocs/images.old ] ||
  fail "the undo is changed" "the product is not as it was: $(diff -r "$SANDBOX/tarnwick-before" /var/lib/tarnwick)"

play --tags undo
expect "the undo again is ok, nothing to undo" 0 "changed=0 failed=0 "

# A newer add-on: its language file differs. Without the upgrade the host
# stays as it is (ok); with it, the earlier installation is undone and the
# newer one installed, the product's own language file again at .old.
mkdir -p "$SANDBOX/newer" && tar -xzf "$archive" -C "$SANDBOX/newer" &&
  echo 'lang.newer=1' >> "$SANDBOX/newer/language-extensions/packages/conf/language.cfg" &&
  tar -czf "$SANDBOX/newer.tar.gz" -C "$SANDBOX/newer" language-extensions || fail "a newer add-on" "cannot pack it"
play
play -e langext_archive="$SANDBOX/newer.tar.gz"
expect "a newer add-on without the upgrade is ok, nothing changed" 0 "changed=1 failed=0 "
grep -q 'lang.newer=1' /var/lib/tarnwick/conf/language.cfg &&
  fail "a newer add-on without the upgrade is ok, nothing changed" "it was installed"
play -e langext_archive="$SANDBOX/newer.tar.gz" -e langext_upgrade=true
expect "a newer add-on with the upgrade is changed" 0 "changed=2 failed=0 "
grep -q 'lang.newer=1' /var/lib/tarnwick/conf/language.cfg &&
  diff "$SANDBOX/tarnwick-before/conf/language.cfg" /var/lib/tarnwick/conf/language.cfg.old > /dev/null ||
  fail "a newer add-on with the upgrade is changed" "the newer add-on is not installed over the product's own"

rm -rf /etc/tarnwick.conf /var/lib/tarnwick /var/lib/httpd "$SANDBOX/opt"/*
play
expect "a host without the product fails" 2 "changed=1 failed=1 "
grep -q 'Tarnwick 3.0 is not installed on this system.' "$SANDBOX/play" ||
  fail "a host without the product fails" "the installer's message is not in Ansible's output"

exit "$failed"
