# Sourced by the demo and the end-to-end tests: a private mount namespace in
# which /etc, /var/lib and /var/log are throwaway copies, so that /etc/tarnwick.conf,
# the product's files and the default document root exist only for the run.

# Re-executes the given command line inside a private mount namespace unless
# this process is already in one. As root a mount namespace is enough; a
# normal user gets a user namespace that maps them to root. Returns 1 when
# the system allows neither; otherwise it does not return.
sandbox_enter() {
  if [ "${LANGEXT_SANDBOX:-}" = 1 ]; then return 0; fi
  local -a namespaces=(--mount --propagation private)
  if [ "$(id -u)" != 0 ]; then
    namespaces=(--user --map-root-user "${namespaces[@]}")
    export LANGEXT_SANDBOX_USERNS=1
  fi
  unshare "${namespaces[@]}" true 2>/dev/null || return 1
  export LANGEXT_SANDBOX=1
  exec unshare "${namespaces[@]}" "$@"
}

# Mounts a fresh tmpfs at $1 (the sandbox folder) and lays a private /etc,
# /var/lib and /var/log over the host's: each is an empty tmpfs holding
# links to the host's entries, so that whatever the run creates or removes
# there stays in the sandbox.
# Any step that fails ends the whole run: without its shadow in place, the
# clean-up below would reach the host's own directories.
sandbox_prepare() {
  SANDBOX=$1
  [ "${LANGEXT_SANDBOX:-}" = 1 ] || sandbox_abort "not inside the private mount namespace"
  mkdir -p "$SANDBOX" && mount -t tmpfs -o mode=0755 langext-sandbox "$SANDBOX" ||
    sandbox_abort "cannot mount a tmpfs at $SANDBOX"
  local dir entry
  for dir in /etc /var/lib /var/log; do
    mkdir -p "$SANDBOX/host$dir" && mount --bind "$dir" "$SANDBOX/host$dir" &&
      mount -t tmpfs -o mode=0755 langext-shadow "$dir" ||
      sandbox_abort "cannot lay a private $dir over the host's"
    for entry in "$SANDBOX/host$dir"/* "$SANDBOX/host$dir"/.[!.]* "$SANDBOX/host$dir"/..?*; do
      [ -e "$entry" ] || [ -L "$entry" ] || continue
      ln -s "$entry" "$dir/${entry##*/}" || sandbox_abort "cannot link $entry"
    done
  done
  # The host's own product, and the record, receipt and history of an
  # installation made on the host, stay out of the sandbox's runs.
  rm -f /etc/tarnwick.conf /var/log/langext-install.log
  rm -rf /var/lib/httpd /var/lib/tarnwick /var/lib/langext-install
}

sandbox_abort() {
  echo "sandbox: $1; stopping before anything is touched" >&2
  exit 1
}

# Lays out the sample product: its configuration, an existing language file
# and template directory, and a document root with an images directory.
sandbox_install_product() {
  local sample=$1
  cp "$sample/product/tarnwick.conf" /etc/tarnwick.conf
  mkdir -p /var/lib/tarnwick/conf /var/lib/tarnwick/templates/admin /var/lib/httpd/htdocs/images
  printf 'lang.count=1\nlang.1=en English\n' > /var/lib/tarnwick/conf/language.cfg
  printf '<tw:page title="Welcome"/>\n' > /var/lib/tarnwick/templates/index.htx
  printf '<tw:page title="Users" role="admin"/>\n' > /var/lib/tarnwick/templates/admin/users.htx
  printf 'GIF89a-old-logo' > /var/lib/httpd/htdocs/images/logo.gif
}

# Copies the program and the sample package into a folder of the sandbox,
# as the administrator receives them, and prints that folder.
sandbox_unpack_addon() {
  local program=$1 sample=$2 addon="$SANDBOX/addon"
  mkdir -p "$addon"
  cp -a "$sample/packages" "$addon/"
  cp "$program" "$addon/langext-install"
  source "$(dirname "${BASH_SOURCE[0]}")/../scripts/apply-modes.sh"
  find "$addon/packages" -type d -exec chmod 0755 {} +
  apply_modes "$sample/modes" "$addon"
  printf '%s\n' "$addon"
}
