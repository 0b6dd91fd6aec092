#!/usr/bin/env bash
# The container example, built for real: examples/container/Containerfile
# adds the add-on to an image of the product with rootful podman on its
# overlay storage. The product comes from the base image's layer, so the
# installer meets its directories in a lower layer of the overlay. Podman
# runs in a private mount namespace (see tests/sandbox.sh) with its storage,
# state and settings in the sandbox's tmpfs, /etc/containers and /var/lib:
# the host's container storage and settings are neither read nor changed,
# and all that was mounted or made goes when the test ends.
# Usage: container_test.sh ADDON_ARCHIVE SAMPLE_DIR
set -uo pipefail
archive=$(realpath "$1")
sample=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/sandbox.sh"

skip() { echo "SKIPPED: $1"; exit 77; }
if [ "${LANGEXT_SANDBOX:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || skip "building the image needs root (rootful podman)"
  source "$here/../scripts/packages.sh"
  # apt-get says why it cannot install (another apt-get holds its lock, no
  # network): the skip says it too.
  { reason=$(need_packages podman runc busybox-static 2>&1 >&3); } 3>&1 ||
    skip "podman, runc or busybox-static cannot be installed: $(paste -sd ' ' <<< "${reason:-apt-get gave no reason}")"
  sandbox_enter "$0" "$archive" "$sample" || skip "this system allows no private mount namespace"
fi
sandbox_prepare "$(dirname "$archive")/container-test"

# The sandbox's /etc/containers is the test's own, and /var/tmp, where
# podman keeps some temporary files whatever TMPDIR says, a tmpfs. Like the
# private /etc and /var/lib, it links to the host's entries, which a mount
# in the private /var/lib keeps in view: the checkout, and with it this
# sandbox and the archive, may lie under /var/tmp.
BASE=localhost/langext-test/product:base
IMAGE=localhost/langext-test/product:addon
conf=/etc/containers
host_var_tmp=/var/lib/langext-host-var-tmp
# The sandbox's /var/lib links to the host's entries: podman's own must not
# be among them.
rm -f "$conf" /var/lib/containers && mkdir -p "$conf/registries.conf.d" "$SANDBOX/tmp" "$SANDBOX/root" "$SANDBOX/context" "$host_var_tmp" &&
  mount --rbind /var/tmp "$host_var_tmp" && mount -t tmpfs -o mode=1777 langext-shadow /var/tmp ||
  sandbox_abort "cannot lay a private $conf and /var/tmp"
for entry in "$host_var_tmp"/* "$host_var_tmp"/.[!.]* "$host_var_tmp"/..?*; do
  [ -e "$entry" ] || [ -L "$entry" ] || continue
  ln -s "$entry" "/var/tmp/${entry##*/}" || sandbox_abort "cannot link $entry"
done
cat > "$conf/storage.conf" <<STORAGE
[storage]
driver = "overlay"
graphroot = "$SANDBOX/storage"
runroot = "$SANDBOX/run"
STORAGE
cat > "$conf/containers.conf" <<CONTAINERS
[containers]
default_mounts_file = "$conf/mounts.conf"
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
events_logfile_path = "$SANDBOX/events.log"
lock_type = "file"
tmp_dir = "$SANDBOX/libpod"
volume_path = "$SANDBOX/volumes"
image_copy_tmp_dir = "$SANDBOX/tmp"
[network]
network_config_dir = "$conf/networks"
CONTAINERS
echo 'unqualified-search-registries = []' > "$conf/registries.conf"
echo '{"default": [{"type": "insecureAcceptAnything"}]}' > "$conf/policy.json"
: > "$conf/mounts.conf"
export CONTAINERS_CONF=$conf/containers.conf TMPDIR=$SANDBOX/tmp

pod() {
  timeout -k 10 300 podman --root "$SANDBOX/storage" --runroot "$SANDBOX/run" \
    --tmpdir "$SANDBOX/libpod" --storage-driver overlay --runtime runc \
    --cgroup-manager cgroupfs --events-backend file "$@"
}
driver=$(pod info --format '{{.Store.GraphDriverName}}' 2> "$SANDBOX/info.err") || {
  status=$?
  reason=$(grep . "$SANDBOX/info.err" 2>&1 | paste -sd ' ')
  skip "podman cannot run here: podman info exited $status: ${reason:-it printed no reason}"
}

failed=0
# Runs a comparison; what it prints when it fails follows the FAIL line.
check() {
  local title=$1
  shift
  if "$@" > "$SANDBOX/check" 2>&1; then
    echo "ok   $title"
  else
    echo "FAIL [$title]:" && sed 's/^/    /' "$SANDBOX/check" && failed=1
  fi
}
equal() { [ "$1" = "$2" ] || { echo "'$2', expected '$1'"; return 1; }; }

# What a tree holds: every entry's type, mode and name, and its contents.
tree_listing() {
  (cd "$1" && find . -mindepth 1 -printf '%y %m %P\n' | LC_ALL=C sort)
}
same_tree() {
  echo "$2 differs from $1"
  diff <(tree_listing "$1") <(tree_listing "$2") && diff -r "$1" "$2"
}
same_file() {
  echo "$2 differs from $1"
  equal "$(stat -c %a "$1")" "$(stat -c %a "$2")" && cmp "$1" "$2"
}

check "podman stores its layers on overlay" equal overlay "$driver"

# The base image: busybox for the build's shell, and the sample product.
root=$SANDBOX/root
sandbox_install_product "$sample"
mkdir -p "$root/bin" "$root/etc" "$root/var/lib"
cp /bin/busybox "$root/bin/busybox" && ln -s busybox "$root/bin/sh" &&
  cp -a /etc/tarnwick.conf "$root/etc/" && cp -a /var/lib/tarnwick /var/lib/httpd "$root/var/lib/" &&
  tar --numeric-owner -C "$root" -cf "$SANDBOX/root.tar" . &&
  pod import "$SANDBOX/root.tar" "$BASE" > /dev/null 2> "$SANDBOX/import.err" ||
  { echo "FAIL: cannot make the base image: $(cat "$SANDBOX/import.err")"; exit 1; }

# The add-on as its publisher ships it, and the build. runc keeps its state
# in the sandbox too.
tar -xpzf "$archive" -C "$SANDBOX/context"
addon=$SANDBOX/context/language-extensions
if pod build --pull=never --network=none --runtime-flag root="$SANDBOX/runc" \
  --build-arg PRODUCT_IMAGE="$BASE" -f "$here/../examples/container/Containerfile" \
  -t "$IMAGE" "$SANDBOX/context" > "$SANDBOX/build.log" 2>&1; then
  echo "ok   the image builds"
else
  echo "FAIL [the image builds]: podman build exited $?:"
  sed 's/^/    /' "$SANDBOX/build.log"
  exit 1
fi

image=$(pod image mount "$IMAGE") || { echo "FAIL: cannot mount $IMAGE"; exit 1; }
check "the language file is the package's" \
  same_file "$addon/packages/conf/language.cfg" "$image/var/lib/tarnwick/conf/language.cfg"
check "the templates are the package's" \
  same_tree "$addon/packages/htx" "$image/var/lib/tarnwick/templates"
check "the images are the package's" \
  same_tree "$addon/packages/images" "$image/var/lib/httpd/htdocs/images"
check "the old language file is kept" \
  same_file "$root/var/lib/tarnwick/conf/language.cfg" "$image/var/lib/tarnwick/conf/language.cfg.old"
check "the old templates are kept" \
  same_tree "$root/var/lib/tarnwick/templates" "$image/var/lib/tarnwick/templates.old"
check "the old images are kept" \
  same_tree "$root/var/lib/httpd/htdocs/images" "$image/var/lib/httpd/htdocs/images.old"
check "nothing staged is left" \
  bash -c '! find "$@" -name "*.langext-*" | grep .' - "$image/var/lib/tarnwick" "$image/var/lib/httpd"
exit "$failed"
