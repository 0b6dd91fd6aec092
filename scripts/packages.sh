# Sourced by the project's scripts: installs the Debian packages they need.

# What the test command needs, in one list: README's apt-get line must name
# the same (tests/manual_test.sh compares them).
TEST_PACKAGES=(cmake g++ make libgtest-dev util-linux findutils diffutils valgrind groff-base tar
  strace file binutils tmux ansible-core acl attr libcap2-bin btrfs-progs e2fsprogs procps
  libfuse3-dev fuse3 pkg-config podman runc busybox-static clang libclang-rt-14-dev clang-tidy
  cppcheck clang-format)

need_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" = 0 ]; then
    echo "Installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing Debian packages: ${missing[*]}; install them as root (apt-get install ${missing[*]})." >&2
    return 1
  fi
}
