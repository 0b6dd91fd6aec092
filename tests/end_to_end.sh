#!/usr/bin/env bash
# End-to-end tests: the built installer runs as a child with its standard
# input fed and its standard output compared byte for byte, in a private
# mount namespace whose /etc/tarnwick.conf, product files and default
# document root belong to the test alone.
# Usage: end_to_end.sh PROGRAM SAMPLE_DIR INTERPOSE_LIBRARY [ADDON_ARCHIVE]
set -uo pipefail
program=$(realpath "$1")
sample=$(realpath "$2")
interpose=$(realpath "$3")
# Without it every hostile case would run unopposed, and fail for no reason shown.
[ -f "$interpose" ] || { echo "FAIL: no interposer at $3"; exit 1; }
archive=${4:+$(realpath "$4")}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/sandbox.sh"

if [ "${LANGEXT_SANDBOX:-}" != 1 ]; then
  sandbox_enter "$0" "$program" "$sample" "$interpose" ${archive:+"$archive"} || {
    echo "SKIPPED: this system allows no private mount namespace, and without one the"
    echo "installer could only be run against the host's own /etc and /var."
    exit 77
  }
fi
sandbox_prepare "$(dirname "$program")/e2e-sandbox${LANGEXT_RUN_UNDER:+-under}"
# getcap and setcap live in /usr/sbin, off an ordinary user's PATH; what the
# tools keep of their own (shell history, tmux) stays in the sandbox.
export PATH=$PATH:/usr/sbin:/sbin HOME=$SANDBOX/home
mkdir -p "$HOME"

BANNER='Tarnwick 3.0 Language Extensions - Installation program\n\n'
PROMPT='Web server document root directory [/var/lib/httpd/htdocs]: '
COMPLETED='\nInstallation completed!\n\n'
FAILED='\nInstallation failed.\n\n'
INTERRUPTED='\nInstallation interrupted.\n\n'
LANG_FILE=/var/lib/tarnwick/conf/language.cfg
TEMPLATES=/var/lib/tarnwick/templates
IMAGES=/var/lib/httpd/htdocs/images
WWW=$SANDBOX/www
RECORD_DIR=/var/lib/langext-install

passed=0 failed=0 skipped=0 current='' case_failed=0

fail() { echo "FAIL [$current]: $*"; case_failed=1; }

# Each case starts from the sample product as installed, and a fresh add-on.
begin() {
  current=$1 case_failed=0 case_began=$EPOCHREALTIME
  rm -rf /etc/tarnwick.conf /var/lib/tarnwick /var/lib/httpd "$SANDBOX/addon" "$WWW" \
    "$SANDBOX/product-before" "$RECORD_DIR"
  mkdir -p "$WWW"
  sandbox_install_product "$sample"
  snapshot_product
  ADDON=$(sandbox_unpack_addon "$program" "$sample")
  [ -z "${LANGEXT_RUN_UNDER:-}" ] || run_under "$ADDON"
}

# Under valgrind (LANGEXT_RUN_UNDER), the add-on's langext-install runs the
# program under it, from the add-on's folder, which every user who runs it
# can reach: the build folder may lie in a home that only its owner enters.
run_under() {
  mv "$1/langext-install" "$1/program" &&
    printf '#!/bin/sh\nexec %s ./program "$@"\n' "$LANGEXT_RUN_UNDER" > "$1/langext-install" &&
    chmod 0755 "$1/langext-install" || fail "cannot run the program under $LANGEXT_RUN_UNDER"
}

# The calls after which a kill sweep stops the installer, from $1 to $2,
# the last call a whole run makes: each in turn. Under the sanitizers
# (LANGEXT_SWEEPS=sample), where each run is many times slower and the
# sweeps take the paths that the normal build takes, $3 (eight unless
# given) spread evenly over them, which still fall in each phase a sweep
# checks. Under valgrind (LANGEXT_SWEEPS=few), slower still, four: the
# paths are the normal run's, and the build without valgrind judges what a
# sweep reaches (sweep_judged). Past the last, a run that is never killed
# ends the sweep.
kill_points() {
  local step=1 points=${3:-8}
  [ "${LANGEXT_SWEEPS:-}" = few ] && points=4
  [ "${LANGEXT_SWEEPS:-}" != "" ] && step=$((($2 - $1) / (points - 1) + 1))
  seq "$1" "$step" "$2"
  echo $(($2 + 1))
}
sweep_judged() { [ "${LANGEXT_SWEEPS:-}" != few ]; }

end() {
  if [ "$case_failed" = 0 ]; then
    passed=$((passed + 1))
    # How long each case took, so that a slow one shows.
    echo "ok   $current ($(awk -v a="$case_began" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.1f s", b - a}'))"
  else
    failed=$((failed + 1))
  fi
}

skip() {
  skipped=$((skipped + 1))
  echo "skip $1: $2"
}

# Runs the installer from the add-on's folder; standard input is the
# caller's. Leaves the output in $SANDBOX/out and the status in $STATUS.
# A run that hangs is ended after a while and fails its case.
run() {
  (cd "$ADDON" && exec timeout 60 ./langext-install) > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
  [ "$STATUS" = 124 ] && fail "the installer hung"
}

# Runs the installer (or $run_program) with the interposer loaded and the
# given settings in its environment; Enter at the prompt.
run_interposed() {
  # open_files caps the descriptors the run may have; else it may raise its
  # own limit as far as the hard one, as it does.
  (cd "$ADDON" && { [ -z "${open_files:-}" ] || ulimit -n "$open_files"; } &&
    { [ -z "${soft_files:-}" ] || ulimit -Sn "$soft_files"; } && printf '\n' | env "$@" LD_PRELOAD="$interpose" \
    ASAN_OPTIONS=verify_asan_link_order=0 timeout 60 "${run_program:-./langext-install}") > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
  [ "$STATUS" = 124 ] && fail "the installer hung"
}

# Feeds the bytes that printf makes of the arguments, all in one read.
run_input() {
  printf "$@" > "$SANDBOX/in"
  run < "$SANDBOX/in"
}

# The same, to a dry run.
run_dry() {
  printf "$@" > "$SANDBOX/in"
  (cd "$ADDON" && exec timeout 60 ./langext-install --dry-run) < "$SANDBOX/in" > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
}

# Runs the command line on a tmux terminal, in the add-on's folder, until
# it ends; what it wrote is left in $SANDBOX/pane, the last screen, with
# "status=N" under it, in $SANDBOX/screen.
# Each run has a server of its own: one a run before ended may still be
# going away on the same socket ("server exited unexpectedly").
terminal_runs=0
run_on_terminal() {
  local socket=$SANDBOX/tmux.$((++terminal_runs)).socket
  tmux -S "$socket" new-session -d -x 120 -y 40 "bash --norc --noprofile +o history" &&
    tmux -S "$socket" pipe-pane -o "cat > '$SANDBOX/pane'" &&
    tmux -S "$socket" send-keys "cd '$ADDON' && $1; echo status=\$?" Enter
  for _ in $(seq 300); do
    tmux -S "$socket" capture-pane -p > "$SANDBOX/screen"
    grep -q '^status=' "$SANDBOX/screen" && break
    sleep 0.1
  done
  # The pane's copy comes through a pipe of its own, behind the screen: the
  # server stays until the copy has the end too.
  for _ in $(seq 50); do
    grep -q 'status=' "$SANDBOX/pane" 2> /dev/null && break
    sleep 0.1
  done
  tmux -S "$socket" kill-server
  rm -f "$socket"
}

expect_output() {
  printf "$@" > "$SANDBOX/expected"
  if ! cmp -s "$SANDBOX/expected" "$SANDBOX/out"; then
    fail "standard output differs"
    diff <(cat -A "$SANDBOX/expected") <(cat -A "$SANDBOX/out") | sed 's/^/    /'
  fi
  [ -s "$SANDBOX/err" ] && fail "standard error: $(cat "$SANDBOX/err")"
}

expect_status() { [ "$STATUS" = "$1" ] || fail "exit status $STATUS, expected $1"; }

# What a tree holds: every entry's type, mode and name, and its contents.
tree_listing() {
  (cd "$1" && find . -mindepth 1 -printf '%y %m %P\n' | LC_ALL=C sort)
}

expect_same_tree() {
  diff <(tree_listing "$1") <(tree_listing "$2") > "$SANDBOX/diff" &&
    diff -r --no-dereference "$1" "$2" >> "$SANDBOX/diff" ||
    { fail "$2 differs from $1"; sed 's/^/    /' "$SANDBOX/diff"; }
}

# Keeps the product as it is now, before the run.
snapshot_product() {
  local saved=$SANDBOX/product-before
  rm -rf "$saved" && mkdir -p "$saved" && cp -a /var/lib/tarnwick /var/lib/httpd "$saved/"
}

# The product exactly as it was before the run, nothing renamed.
expect_product_untouched() {
  local saved=$SANDBOX/product-before
  expect_same_tree "$saved/tarnwick" /var/lib/tarnwick
  expect_same_tree "$saved/httpd" /var/lib/httpd
}

staging_entries() {
  find /var/lib/tarnwick /var/lib/httpd "$WWW" -name '*.langext-*' 2>/dev/null
}

expect_nothing_staged() {
  [ -z "$(staging_entries)" ] || fail "staging entries left: $(staging_entries | tr '\n' ' ')"
  # A completed installation leaves its receipt there, for the undo.
  [ -n "$(ls -A "$RECORD_DIR" 2> /dev/null | grep -vxE 'receipt|files')" ] &&
    fail "the record of the run is left: $(ls -A "$RECORD_DIR")"
}

expect_installed() {
  local images=$1
  cmp -s "$ADDON/packages/conf/language.cfg" "$LANG_FILE" || fail "language file not installed"
  [ "$(stat -c %a "$LANG_FILE")" = 640 ] || fail "language file mode $(stat -c %a "$LANG_FILE")"
  expect_same_tree "$ADDON/packages/htx" "$TEMPLATES"
  expect_same_tree "$ADDON/packages/images" "$images"
}

expect_set_aside() {
  local images_old=$1
  grep -q 'lang.1=en English' "$LANG_FILE.old" || fail "old language file not kept"
  [ -f "$TEMPLATES.old/admin/users.htx" ] || fail "old templates not kept"
  [ "$(cat "$images_old/logo.gif" 2>/dev/null)" = GIF89a-old-logo ] || fail "old images not kept"
}

# A completed run with the sample product: the default document root.
expect_completed() {
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_status 1
  expect_installed "$IMAGES"
  expect_set_aside "$IMAGES.old"
  expect_nothing_staged
}

# Where the file system cannot exchange two names, or the kernel has no
# renameat2 at all, the targets change by two renames instead; where the
# kernel will not move them (EXDEV, EBUSY), they are installed in place.
# Without CAP_FSETID (a container that drops it, root in a user namespace)
# each write clears a set-user-ID bit: the package's langctl keeps it.
for missing in '' EINVAL ENOSYS EXDEV EBUSY CAP_FSETID; do
  how="renameat2 answers $missing"
  [ "$missing" = CAP_FSETID ] && how="without $missing"
  begin "complete run installs everything and keeps the originals as .old${missing:+ ($how)}"
  case $missing in
    '') run_input '\n' ;;
    CAP_FSETID) (cd "$ADDON" && printf '\n' | setpriv --bounding-set=-fsetid ./langext-install) > "$SANDBOX/out" 2>&1
      STATUS=$? ;;
    *) run_interposed LANGEXT_NO_EXCHANGE="$missing" ;;
  esac
  expect_completed
  end
done

# An entry's extended attributes as raw values (user., trusted., security.,
# the ACLs among them), its ACLs as getfacl reads them, and its capability.
attribute_listing() {
  [ -n "$attribute_tools" ] || return 0
  getfattr -h -d -m - --absolute-names -- "$1" | sed '/^# file: /d;/^$/d' | LC_ALL=C sort
  [ -L "$1" ] && return
  getfacl -c -p -- "$1" | sed '/^$/d'
  getcap -- "$1" | sed 's/^.* /capability /'
}

# Everything about a tree that a backup must keep: each entry's type, mode,
# owner, modification time and link target, the tree's own included; each
# file's link count, allocated blocks (holes stay holes) and the names that
# share its inode; and every entry's attributes.
kept_listing() {
  (cd "$1" || exit
    find . -printf '%y %m %u:%g %T@ %P -> %l\n' | LC_ALL=C sort
    find . ! -type d -printf '%n links, %b blocks: %P\n' | LC_ALL=C sort
    find . ! -type d -links +1 -printf '%i %P\n' | LC_ALL=C sort |
      awk '{ names[$1] = names[$1] " " substr($0, index($0, " ") + 1) }
        END { for (inode in names) print "one inode:" names[inode] }' | LC_ALL=C sort
    # The attributes of every entry, each line after its path, as
    # attribute_listing gives them of one: read in one walk each.
    [ -n "$attribute_tools" ] || exit 0
    { getfattr -R -h -d -m - --absolute-names . | awk '/^# file: / {f = substr($0, 9); next} NF {print f ": " $0}'
      getfacl -R -P -p . | awk '/^# file: / {f = substr($0, 9); next} /^#/ || !NF {next} {print f ": " $0}'
      getcap -r . | sed 's/^\(.*\) \([^ ]*\)$/\1: capability \2/'
    } | LC_ALL=C sort)
}

# The same of a single file, whatever its name.
file_listing() {
  stat -c '%a %u:%g %Y %h links, %b blocks' "$1" && attribute_listing "$1"
}

expect_kept() {
  diff <(printf '%s\n' "$1") <(kept_listing "$2") > "$SANDBOX/diff" ||
    { fail "$2 does not keep the old tree"; sed 's/^/    /' "$SANDBOX/diff"; }
}

# What the sandbox's file systems can hold of what decorate_product gives,
# looked at once: whatever one cannot hold is left out, and said so.
can_hold() {
  rm -f "$SANDBOX/probe" && printf x > "$SANDBOX/probe" && "$@" "$SANDBOX/probe" 2> /dev/null
}
can_hold_on_link() {
  ln -sfn probe "$SANDBOX/probe-link" && "$@" "$SANDBOX/probe-link" 2> /dev/null
}
attribute_tools=1 user_attributes=1 acls=1 capabilities=1 link_attributes=1 holes=1
missing_tools=$(for tool in setfattr getfattr setfacl getfacl setcap getcap; do
  command -v "$tool" > /dev/null || printf ' %s' "$tool"; done)
if [ -n "$missing_tools" ]; then
  attribute_tools= user_attributes= acls= capabilities= link_attributes=
  skip "attributes, ACLs and capabilities in the in-place cases" \
    "not found:$missing_tools (attr, acl and libcap2-bin; scripts/test.sh installs them)"
else
  can_hold setfattr -n user.probe -v x || { user_attributes=
    skip "a user. attribute in the in-place cases" \
      "the sandbox's tmpfs holds none (tmpfs has them from Linux 6.6 on; this is $(uname -r))"; }
  can_hold setfacl -m u:33:rw || { acls=
    skip "ACLs in the in-place cases" "the sandbox's tmpfs holds no POSIX ACLs"; }
  can_hold setcap cap_net_bind_service=ep || { capabilities=
    skip "a file capability in the in-place cases" "this namespace cannot set one"; }
  can_hold_on_link setfattr -h -n trusted.probe -v x || { link_attributes=
    skip "a trusted. attribute of a link in the in-place cases" \
      "only root outside a user namespace may set one"; }
fi
can_hold truncate -s 1M && [ "$(stat -c %b "$SANDBOX/probe")" -lt 100 ] || { holes=
  skip "sparse files in the in-place cases" "the sandbox's tmpfs does not leave holes"; }

# Gives the old product what a faithful copy must keep: another owner, an
# old time, a link, a set-user-ID file; entries of another type than the
# package's at the same names; an attribute of the user's (and a trusted one
# on the link), an access ACL and a default ACL, a file capability (on the
# set-user-ID file, whose owner changes too), hard links in another
# directory, and sparse files. A user namespace that maps only root has no
# other owner to give (chown refuses): there they stay root's.
other_owner=1234:5678
touch "$SANDBOX/owned" && chown "$other_owner" "$SANDBOX/owned" 2> "$SANDBOX/owned.err" || {
  skip "in place: NAME.old keeps an old entry's other owner" \
    "chown to another user is refused here: $(cat "$SANDBOX/owned.err")"
  other_owner=''
}
rm -f "$SANDBOX/owned" "$SANDBOX/owned.err"
decorate_product() {
  { [ -z "$other_owner" ] || chown "$other_owner" "$TEMPLATES/index.htx" "$LANG_FILE"; } &&
    printf 'old tools' > "$TEMPLATES/tools" && mkdir -p "$IMAGES/language-banner.png/old" &&
    chmod 4750 "$TEMPLATES/index.htx" && ln -s ../index.htx "$TEMPLATES/admin/link" &&
    ln "$TEMPLATES/index.htx" "$TEMPLATES/admin/index-link.htx" &&
    ln "$IMAGES/logo.gif" "$IMAGES/logo-link.gif" &&
    { [ -z "$user_attributes" ] ||
      setfattr -n user.note -v 'kept with it' "$TEMPLATES/index.htx" "$IMAGES/logo.gif" "$LANG_FILE"; } &&
    { [ -z "$acls" ] || { setfacl -m u:33:rw "$TEMPLATES/index.htx" "$LANG_FILE" &&
      setfacl -d -m u:33:rx "$TEMPLATES/admin"; }; } &&
    { [ -z "$link_attributes" ] ||
      setfattr -h -n trusted.note -v 'kept with the link' "$TEMPLATES/admin/link"; } &&
    { [ -z "$capabilities" ] || setcap cap_net_bind_service=ep "$TEMPLATES/index.htx" \
      cap_net_bind_service=ep "$LANG_FILE"; } &&
    { [ -z "$holes" ] || for sparse in "$TEMPLATES/admin/sparse.db" "$IMAGES/sparse.img"; do
      truncate -s 3M "$sparse" &&
        printf 'in the middle' | dd of="$sparse" bs=1 seek=1500000 conv=notrunc status=none || return
    done; } &&
    touch -h -d '2001-02-03 04:05:06' "$TEMPLATES/admin/link" "$TEMPLATES/admin" "$IMAGES/logo.gif" "$LANG_FILE" ||
    fail "cannot give the old product the entries a copy must keep"
}

# An overlay as a container engine lays it, over the directory with its
# contents in the lower layer: as root the overlay keeps its marks in
# trusted attributes; in a user namespace, as a rootless engine, in user
# ones (userxattr).
overlay_options=redirect_dir=off
[ "${LANGEXT_SANDBOX_USERNS:-}" = 1 ] && overlay_options=$overlay_options,userxattr
mount_overlay() {
  local dir=$1 layers=$2
  # Afresh: what a case before left in an upper layer is no case's now.
  rm -rf "$layers/lower" "$layers/upper" "$layers/work" &&
    mkdir -p "$layers/lower" "$layers/upper" "$layers/work" && cp -a "$dir/." "$layers/lower/" &&
    mount -t overlay overlay \
      -o "lowerdir=$layers/lower,upperdir=$layers/upper,workdir=$layers/work,$overlay_options" "$dir"
}

# Says why no overlay here can hold a target installed in place: none can
# be mounted, or it cannot rename a directory made in it, as the installer
# renames its copy of the old contents to NAME.old (where the upper layer
# keeps no marks).
overlay_refusal() {
  local probe=$SANDBOX/overlay-probe error
  mkdir -p "$probe/merged/old" || return 1
  if ! error=$(mount_overlay "$probe/merged" "$probe" 2>&1); then
    echo "an overlay cannot be mounted here: $error"
  elif ! error=$(mkdir "$probe/merged/made" 2>&1 &&
    perl -e 'rename($ARGV[0], $ARGV[1]) or die "$!\n"' "$probe/merged/made" "$probe/merged/moved" 2>&1); then
    echo "the overlay here cannot rename a directory made in it: $error"
  fi
  umount "$probe/merged" 2> /dev/null
  rm -rf "$probe"
}
overlay_refused=$(overlay_refusal)

# Where the kernel will not move a target, it is installed in place: NAME
# holds exactly the package, NAME.old keeps the old tree exactly.
layout_mount() {
  local target=$1 source=$2
  rm -rf "$source" && mkdir -p "$source" && cp -a "$target/." "$source/" && mount --bind "$source" "$target"
}
# The layouts that the kernel will not move (or targets that are not there).
lay_out() {
  case $1 in
    overlay)
      for dir in /var/lib/tarnwick /var/lib/httpd/htdocs; do
        mount_overlay "$dir" "$SANDBOX/ovl$dir" || fail "cannot lay an overlay over $dir"
      done ;;
    templates) layout_mount "$TEMPLATES" "$SANDBOX/volume" ;;
    images) mkdir -p "$SANDBOX/saved" && cp -a "$IMAGES/." "$SANDBOX/saved/" &&
      mount -t tmpfs -o mode=0755 volume "$IMAGES" && cp -a "$SANDBOX/saved/." "$IMAGES/" ;;
    language) cp -a "$LANG_FILE" "$SANDBOX/volume-file" && mount --bind "$SANDBOX/volume-file" "$LANG_FILE" ;;
    no-images) rm -rf "$IMAGES" ;;
    no-language) rm -f "$LANG_FILE" ;;
  esac
}
in_place() {
  echo "$1: installed in place, since it is $2, which the kernel will not move; its contents are copied to $1.old, and then replaced by those of packages/$3."
}
while IFS='|' read -r title layout kernel predicted; do
  if [ "$layout" = overlay ] && [ -n "$overlay_refused" ]; then
    skip "in place: $title" "$overlay_refused"
    continue
  fi
  begin "in place: $title"
  decorate_product
  lay_out "$layout"
  templates_before=$(kept_listing "$TEMPLATES") images_before=$(kept_listing "$IMAGES")
  language_before=$(file_listing "$LANG_FILE") && cp "$LANG_FILE" "$SANDBOX/language-before"
  # A dry run first says so, and why.
  run_dry '\n'
  expect_status 0
  grep -qxF "$predicted" "$SANDBOX/out" || fail "the dry run does not say \"$predicted\": $(cat "$SANDBOX/out")"
  if [ -n "$kernel" ]; then run_interposed "$kernel"; else run_input '
'; fi
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_status 1
  expect_installed "$IMAGES"
  for dir in "$TEMPLATES" "$IMAGES"; do
    [ "$(stat -c '%a %u:%g' "$dir")" = "755 0:0" ] || fail "$dir is $(stat -c '%a %u:%g' "$dir")"
  done
  expect_kept "$templates_before" "$TEMPLATES.old"
  expect_kept "$images_before" "$IMAGES.old"
  [ "$(file_listing "$LANG_FILE.old")" = "$language_before" ] &&
    cmp -s "$SANDBOX/language-before" "$LANG_FILE.old" || fail "the old language file is not kept: $(diff <(echo "$language_before") <(file_listing "$LANG_FILE.old"))"
  expect_nothing_staged
  mounted=$(case $layout in templates) echo "$TEMPLATES" ;; images) echo "$IMAGES" ;;
    language) echo "$LANG_FILE" ;; *) echo /var/lib/tarnwick ;; esac)
  findmnt -n --mountpoint "$mounted" > /dev/null || fail "$mounted is no longer a mount point"
  umount "$LANG_FILE" "$IMAGES" "$TEMPLATES" /var/lib/tarnwick /var/lib/httpd/htdocs 2>/dev/null
  end
done <<EOT
the templates and images in an overlay's lower layer|overlay||$(in_place "$IMAGES" "a directory of an overlay's lower layer" images)
a bind-mounted template directory|templates||$(in_place "$TEMPLATES" "a mount point" htx)
a bind-mounted template directory, on a kernel before 5.8|templates|LANGEXT_NO_MOUNT_ROOT=1|$(in_place "$TEMPLATES" "a mount point" htx)
a tmpfs mounted at the images directory|images||$(in_place "$IMAGES" "a mount point" images)
a bind-mounted language file|language||$(in_place "$LANG_FILE" "a bind-mounted file" conf/language.cfg)
EOT

# A failure in the replacement in place puts back what was replaced: the
# product ends as it was, with no NAME.old and nothing staged. Amid it, the
# old files it had not reached yet stay; once it is complete (at the sync
# of the templates), every old entry comes back from NAME.old, and each
# old file that a package file replaced is the very same inode again.
replaced_inodes() {
  (cd "$ADDON/packages/htx" && find . -type f -print0) |
    (cd "$TEMPLATES" && xargs -0 stat -c '%n %i' 2> /dev/null) | sort
}
while IFS='|' read -r title call after error reason reported where; do
  begin "in place: a failure $title is put back"
  decorate_product && snapshot_product
  templates_before=$(kept_listing "$TEMPLATES") language_before=$(file_listing "$LANG_FILE")
  inodes_before=$(replaced_inodes)
  run_interposed LANGEXT_NO_EXCHANGE=EXDEV LANGEXT_FAIL_CALL="$call" LANGEXT_FAIL_AFTER="$after" \
    LANGEXT_FAIL_ERRNO="$error" LANGEXT_FAIL_PATH="$where"
  grep -q "Unable to install $reported in place\. $reason\.$" "$SANDBOX/out" ||
    fail "the failure is not reported: $(cat "$SANDBOX/out")"
  grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail"
  expect_status 255
  expect_product_untouched
  expect_kept "$templates_before" "$TEMPLATES"
  [ "$(file_listing "$LANG_FILE")" = "$language_before" ] ||
    fail "the language file is not put back: $(diff <(echo "$language_before") <(file_listing "$LANG_FILE"))"
  [ "$(replaced_inodes)" = "$inodes_before" ] ||
    fail "old files came back as other inodes: $(diff <(echo "$inodes_before") <(replaced_inodes))"
  expect_nothing_staged
  end
done <<EOT
amid the replacement|placing|4|28|No space left on device|$TEMPLATES/.*|
after the replacement|syncfs|1|5|Input/output error|$TEMPLATES|$TEMPLATES
reading the log of its steps|pread|1|5|Bad message|$TEMPLATES|/var/lib/langext-install/record
EOT

# A put-back that cannot be made durable says why, and keeps the record:
# the next run finishes putting back, then installs.
begin "in place: a put-back that cannot be made durable says why, and the next run finishes it"
run_interposed LANGEXT_NO_EXCHANGE=EXDEV LANGEXT_FAIL_CALL=syncfs LANGEXT_FAIL_AFTER=1 \
  LANGEXT_FAIL_EVERY=1 LANGEXT_FAIL_ERRNO=5 LANGEXT_FAIL_PATH="$TEMPLATES"
grep -qxF "Unable to put back $TEMPLATES. Input/output error." "$SANDBOX/out" ||
  fail "the put-back's failure is not told: $(cat "$SANDBOX/out")"
grep -qxF "Unable to put everything back: run the installer again to finish that." "$SANDBOX/out" ||
  fail "the run does not say what to do: $(cat "$SANDBOX/out")"
expect_status 255
run_input '\n'
grep -qxF "Put back what an interrupted installation had changed." "$SANDBOX/out" ||
  fail "the next run does not finish the put-back: $(cat "$SANDBOX/out")"
expect_status 1
end

# The copy of the old contents has taken the name NAME.old, but that
# rename cannot be made durable: the copy goes again, from that name.
begin "in place: a rename to NAME.old that cannot be made durable is undone"
snapshot_product
run_interposed LANGEXT_NO_EXCHANGE=EXDEV LANGEXT_FAIL_CALL=fsync LANGEXT_FAIL_AFTER=1 \
  LANGEXT_FAIL_ERRNO=5 LANGEXT_FAIL_PATH=/var/lib/tarnwick
grep -q "Unable to rename /var/lib/tarnwick/\.templates\.langext-.* to $TEMPLATES.old\. Input/output error\.$" \
  "$SANDBOX/out" || fail "the failure is not reported: $(cat "$SANDBOX/out")"
grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail"
expect_status 255
expect_product_untouched
expect_nothing_staged
end

# An entry that no log names is someone else's, whatever its name, owner
# and mode: root's own directory, closed to others and named like a staging
# entry (as a user who may write in a volume's root can make of root's
# lost+found), is an old entry like any other. It never blocks a run.
begin "in place: root's own entry named like a staging entry in a volume is an old entry like any other"
layout_mount "$TEMPLATES" "$SANDBOX/volume" && mkdir -m 0700 "$TEMPLATES/.templates.langext-AbCd1234" &&
  snapshot_product
run_input '\n'
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
[ -d "$TEMPLATES.old/.templates.langext-AbCd1234" ] || fail "$TEMPLATES.old does not keep it"
rm -r "$TEMPLATES.old/.templates.langext-AbCd1234"
expect_installed "$IMAGES"
expect_nothing_staged
umount "$TEMPLATES"
end

# An old entry that no copy can keep as it is fails the run before anything
# changes: an attribute that the file system NAME.old is made on cannot
# hold (ramfs holds none; the images are a tmpfs in a ramfs document root),
# or a tree deeper than descriptors allow. What another user can plant in a
# volume never fails it: NAME.old keeps it as cp -a would (a FIFO or a
# socket made again, a tree however deep, a file named like a staging
# entry), and files with links past the table kept as files of their own
# are named. A row's message is what the refusal says, or a pattern for the
# lines a completed run prints before it and how many there are.
printf '%s\n' 'my ($top, $depth) = @ARGV; mkdir $top or die "$top: $!\n"; chdir $top or die "$!\n";' \
  'for (1 .. $depth) { mkdir "d" or die "$!\n"; chdir "d" or die "$!\n" }' > "$SANDBOX/chain.pl"
while IFS='|' read -r title odd outcome message; do
  if [ "$odd" = attribute ] && [ -z "$user_attributes" ]; then
    skip "in place: $title" "no user. attribute can be set in this sandbox (see above)"
    continue
  fi
  if [ "$odd" = staging-name ] && [ -z "$other_owner" ]; then
    skip "in place: $title" "chown to another user is refused here (see above)"
    continue
  fi
  if { [ "$odd" = deepest ] || [ "$odd" = chain ]; } && [ -n "${LANGEXT_SWEEPS:-}" ]; then
    skip "in place: $title" "under valgrind or the sanitizers its walks of hundreds of levels are slow, and valgrind keeps descriptors of the program's for itself; the normal build takes the same path"
    continue
  fi
  begin "in place: $title"
  limit='' soft_limit=''
  case $odd in
    fifo) mkfifo -m 0620 "$TEMPLATES/admin/queue" ;;
    socket) perl -MSocket -e 'socket(my $s, PF_UNIX, SOCK_STREAM, 0) or die "$!\n";
      bind($s, pack_sockaddr_un($ARGV[0])) or die "$!\n"' "$TEMPLATES/admin/socket" &&
      chmod 0751 "$TEMPLATES/admin/socket" ;;
    chain) perl "$SANDBOX/chain.pl" "$TEMPLATES/admin/chain" 600 ;;
    deeper) perl "$SANDBOX/chain.pl" "$TEMPLATES/admin/chain" 1100 && limit=1024 ;;
    # Under a soft limit of 1024, as a shell gives: the program raises it.
    deepest) perl "$SANDBOX/chain.pl" "$TEMPLATES/admin/chain" 6000 && soft_limit=1024 ;;
    links) mkdir "$TEMPLATES/admin/one" "$TEMPLATES/admin/two" &&
      (cd "$TEMPLATES/admin" && for i in $(seq 600); do printf '%s' "$i" > "one/$i" && ln "one/$i" "two/$i" || exit; done) ;;
    staging-name) layout_mount "$TEMPLATES" "$SANDBOX/volume" && printf 'theirs' > "$TEMPLATES/.x.langext-AAAAAAAA" &&
      chown "$other_owner" "$TEMPLATES/.x.langext-AAAAAAAA" ;;
    attribute) rm -rf "$SANDBOX/docroot" && cp -a /var/lib/httpd/htdocs "$SANDBOX/docroot" &&
      mount -t ramfs -o mode=0755 docroot /var/lib/httpd/htdocs &&
      cp -a "$SANDBOX/docroot/." /var/lib/httpd/htdocs/ &&
      mount -t tmpfs -o mode=0755 volume "$IMAGES" && cp -a "$SANDBOX/docroot/images/." "$IMAGES/" &&
      setfattr -n user.note -v 'kept with it' "$IMAGES/logo.gif" ;;
  esac || fail "cannot lay out the old product"
  # cp -a cannot copy a tree past PATH_MAX, and the listing would be slow.
  if [ "$odd" != deepest ]; then
    snapshot_product
    kept_before=$(attribute_tools='' kept_listing "$TEMPLATES")
  fi
  open_files=$limit soft_files=$soft_limit run_interposed LANGEXT_NO_EXCHANGE=EXDEV
  if [ "$outcome" = refused ]; then
    grep -qF "$message" "$SANDBOX/out" || fail "the entry is not named: $(head -c 2000 "$SANDBOX/out")"
    grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail"
    expect_status 255
    expect_product_untouched
  else
    if [ -n "${message%:*}" ]; then
      named=$(pattern=${message%:*} perl -0ne 'my $n = () = /$ENV{pattern}\n\n/g; print $n' "$SANDBOX/out")
      [ "$named" = "${message##*:}" ] || fail "named $named times, not ${message##*:}: $(head -c 2000 "$SANDBOX/out")"
      pattern=${message%:*} perl -0pi -e 's/$ENV{pattern}\n\n//g' "$SANDBOX/out"
    fi
    expect_output "$BANNER$PROMPT$COMPLETED"
    expect_status 1
    if [ "$odd" = deepest ]; then
      # Kept whole, and taken out of the target whole: what the package
      # lacks goes as far down as the copy went.
      depth=$(find "$TEMPLATES.old/admin/chain" -type d | wc -l)
      [ "$depth" = 6001 ] || fail "$TEMPLATES.old/admin/chain holds $depth directories"
      [ -e "$TEMPLATES/admin/chain" ] && fail "$TEMPLATES/admin/chain is left"
    fi
    expect_installed "$IMAGES"
    if [ "$odd" = links ]; then
      # Each file whole, and linked where the table could hold it.
      expect_same_tree "$SANDBOX/product-before/tarnwick/templates" "$TEMPLATES.old"
      linked=$(find "$TEMPLATES.old/admin/one" -type f -links 2 | wc -l)
      [ "$linked" = 512 ] || fail "$linked files kept linked, not as many as the table holds"
    elif [ "$odd" != deepest ]; then
      attribute_tools='' expect_kept "$kept_before" "$TEMPLATES.old"
    fi
    # Named like a staging entry, but an old entry, not one of the run's.
    rm -f "$TEMPLATES.old/.x.langext-AAAAAAAA"
  fi
  expect_nothing_staged
  umount "$TEMPLATES" "$IMAGES" /var/lib/httpd/htdocs 2>/dev/null
  end
done <<EOT
an old FIFO is made again in NAME.old|fifo|kept|:0
an old socket is made again in NAME.old|socket|kept|:0
an old chain of 600 directories is kept whole|chain|kept|:0
an old chain of 6000 directories is kept whole, and goes whole|deepest|kept|:0
600 old files with a second hard link each are kept, those past the table named|links|kept|Copied \S+ to \S+ as a file of its own: too many hard links to keep this one as a link\.:88
another user's file named like a staging entry in a volume is kept as an old entry|staging-name|kept|:0
an old chain deeper than descriptors allow is refused before anything changes|deeper|refused|/d/.... Too many open files.
an attribute that NAME.old cannot hold is refused before anything changes|attribute|refused|Unable to keep the attribute user.note of $IMAGES/logo.gif in $IMAGES.old/logo.gif. Operation not supported.
EOT

# Another local user (uid 1000) acts while a volume that they may write in
# is installed in place: right after the installer's call named, the
# interposer runs their shell command as that user, with no more power than
# theirs (a user who watches the volume with inotify has these moments for
# free).
other_user=1000:1000
victim_user=1001:1001
other_user_refused=''
# What the other user runs lies where they can reach it: the sandbox may lie
# in a home that only its owner may enter.
OTHER_USER_FILES=/var/lib/langext-other-user
mkdir -p -m 0755 "$OTHER_USER_FILES"
[ "${LANGEXT_SANDBOX_USERNS:-}" = 1 ] &&
  other_user_refused="inside a user namespace that maps only root there is no other user to act as"

# Runs the installer (Enter at the prompt) while the other user runs the
# command ($3) right after the installer's call ($1, or several split by
# commas) on a name matching the pattern ($2); further settings follow.
run_with_other_user() {
  local call=$1 name=$2 command=$3
  shift 3
  rm -f "$SANDBOX/plant.log"
  run_interposed LANGEXT_PLANT_USER="$other_user" LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL="$call" \
    LANGEXT_PLANT_NAME="$name" LANGEXT_PLANT_COMMAND="$command" LANGEXT_PLANT_LOG="$SANDBOX/plant.log" "$@"
  grep -q '^exit ' "$SANDBOX/plant.log" 2> /dev/null || fail "the other user never got to act"
}

# In a document root that the other user may write in, they put a
# directory of theirs at the staging name just before the swap: it never
# stays the images directory.
if [ -n "$other_user_refused" ]; then
  skip "a directory put at the staging name before the swap goes back" "$other_user_refused"
else
  begin "a directory put at the staging name before the swap goes back"
  chmod 0777 /var/lib/httpd/htdocs && snapshot_product
  run_with_other_user syncfs '*' 'cd /var/lib/httpd/htdocs && s=$(ls -d .images.langext-*) &&
    mv "$s" aside && mkdir "$s" && touch "$s/theirs"'
  grep -q "Unable to rename /var/lib/httpd/htdocs/\.images\.langext-.* to $IMAGES\. Another entry has taken its place\.$" \
    "$SANDBOX/out" || fail "the swap is not refused: $(cat "$SANDBOX/out")"
  grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail"
  expect_status 255
  [ -e "$IMAGES/theirs" ] && fail "their directory is the images directory"
  # The staged tree is found where they moved it, and removed; theirs stays.
  [ -e /var/lib/httpd/htdocs/aside ] && fail "the staged tree moved aside is left"
  [ -e /var/lib/httpd/htdocs/.images.langext-*/theirs ] || fail "their directory is gone"
  [ -e "$RECORD_DIR" ] && fail "the record is kept, though the product is whole"
  rm -rf /var/lib/httpd/htdocs/.images.langext-*
  expect_product_untouched
  run_input '\n'
  expect_completed
  end
fi

# Makes the directory a volume (a tmpfs) that the other user may write in,
# holding what it held.
writable_volume() {
  local dir=$1 saved=$SANDBOX/saved
  rm -rf "$saved" && mkdir -p "$saved" && cp -a "$dir/." "$saved/" &&
    mount -t tmpfs -o mode=0777 writable "$dir" && cp -a "$saved/." "$dir/" && chmod 0777 "$dir" &&
    rm -rf "$saved" || fail "cannot make $dir a volume that others may write in"
}

# Where no exchange can be made, each old file goes out (into the staging
# directory, out of the other user's reach) before the new one comes in from
# there. Right as the old one goes, the other user tries to replace what
# goes in by a link, or to keep a hard link to a set-user-ID file root
# made: nothing of it is theirs to reach.
while IFS='|' read -r title volume part name command; do
  if [ -n "$other_user_refused" ]; then skip "another user in a volume: $title" "$other_user_refused"; continue; fi
  begin "another user in a volume: $title"
  writable_volume "$volume"
  namesake=$(cd "$ADDON/packages/$part" && find . -name "$name")
  mkdir -p "$SANDBOX/victim" && printf 'victim' > "$SANDBOX/victim/file" &&
    mkdir -p "$(dirname "$volume/$namesake")" && printf 'old' > "$volume/$namesake" ||
    fail "cannot lay out the volume"
  run_with_other_user renameat2 '[0-9]*' "$command" LANGEXT_NO_EXCHANGE=EINVAL
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_same_tree "$ADDON/packages/$part" "$volume"
  [ "$(cat "$SANDBOX/victim/file")" = victim ] || fail "the victim file was written"
  [ -e "$volume/kept-langctl" ] && fail "the other user keeps a link to what root made"
  umount "$volume"
  end
done <<EOT
the staged file replaced by a link as flags/de.gif goes in|$IMAGES|images|de.gif|cd "\$PLANT_DIR/.." && mv flags/de.gif de.gif.moved-aside && ln -s $SANDBOX/victim/file flags/de.gif
a set-user-ID file linked to as it goes in|$TEMPLATES|htx|langctl|cd "\$PLANT_DIR/.." && ln tools/langctl ../kept-langctl
EOT

# Each file goes in by an exchange with its old namesake. Someone else's
# directory that the other user moves to that name right after the
# installer examined it comes out of the exchange and goes straight back:
# the run fails and puts back what it replaced, and nothing of the
# directory is removed with the staged tree.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume moves someone else's directory to a file's name" "$other_user_refused"
else
  begin "another user in a volume moves someone else's directory to a file's name as it goes in"
  writable_volume "$IMAGES"
  printf 'old-banner' > "$IMAGES/language-banner.png" && mkdir -m 0700 "$IMAGES/victim" &&
    printf 'secret' > "$IMAGES/victim/secret" && chown -R "$victim_user" "$IMAGES/victim" ||
    fail "cannot lay out the volume"
  run_with_other_user renameat2 images.old \
    "cd $IMAGES && mv language-banner.png banner-aside && mv victim language-banner.png" \
    LANGEXT_PLANT_IN="$(dirname "$IMAGES")"
  grep -q "Unable to install $IMAGES/language-banner.png in place. Another entry has taken its place.$" \
    "$SANDBOX/out" || fail "the exchange is not refused: $(cat "$SANDBOX/out")"
  [ "$(cat "$IMAGES/language-banner.png/secret" 2>&1)" = secret ] ||
    fail "the directory moved there is gone: $(ls -AR "$IMAGES")"
  umount "$IMAGES"
  end
fi

# The put-back after a failure sets owners and modes only on directories it
# knows for its own: another user who swaps someone else's directory in for
# one of theirs, or a directory of root's in for an old link of theirs as it
# is put back, is handed nothing. The package's language-banner.png, which
# replaces that link, is the first entry placed (a tmpfs lists the entry
# that took its name last first), and the failure comes right after it.
while IFS='|' read -r title call name command guarded where; do
  if [ -n "$other_user_refused" ]; then skip "another user in a volume, then a failure: $title" "$other_user_refused"; continue; fi
  begin "another user in a volume, then a failure: $title"
  writable_volume "$IMAGES"
  mkdir -m 0755 "$IMAGES/mine" "$IMAGES/flags" && mkdir -m 0700 "$IMAGES/victim" "$IMAGES/lost+found" &&
    printf 'notes' > "$IMAGES/mine/notes.txt" && printf 'secret' > "$IMAGES/victim/secret" &&
    printf 'GIF89a-old-de' > "$IMAGES/flags/de.gif" && ln -s logo.gif "$IMAGES/language-banner.png" &&
    chown -R "$other_user" "$IMAGES/mine" && chown -h "$other_user" "$IMAGES/language-banner.png" &&
    chown -R "$victim_user" "$IMAGES/victim" || fail "cannot lay out the volume"
  mv "$ADDON/packages/images/flags" "$ADDON/packages/images/flags.x" &&
    mv "$ADDON/packages/images/flags.x" "$ADDON/packages/images/flags"
  guarded_before=$(stat -c '%u:%g %a' "$IMAGES/$guarded") guarded_inode=$(stat -c %i "$IMAGES/$guarded")
  # shellcheck disable=SC2086 # the row's settings, one word each, last
  run_with_other_user "$call" "$name" "$command" \
    LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=2 LANGEXT_FAIL_ERRNO=28 $where
  guarded_now=$(find "$IMAGES" -xdev -inum "$guarded_inode" -exec stat -c '%u:%g %a' {} +)
  [ "$guarded_now" = "$guarded_before" ] || fail "$guarded/ ($guarded_before) is now $guarded_now"
  umount "$IMAGES"
  end
done <<EOT
victim/ of another user swapped in for mine/|renameat2|images.old|cd $IMAGES && mv mine mine2 && mv victim mine|victim
victim/ of another user swapped in for flags/, a directory of the package|renameat2|images.old|cd $IMAGES && mv flags flags2 && mv victim flags|victim
flags/ of root's swapped in for the link put back at language-banner.png|renameat2|language-banner.png|cd $IMAGES && if [ -e counted ]; then rm language-banner.png && mv flags language-banner.png; else touch counted; fi|flags|LANGEXT_PLANT_IN=$IMAGES LANGEXT_PLANT_EVERY=1
root's staged tree renamed as the put-back looks for it|fstatat|.images.langext-*|cd $IMAGES && if [ -e ../images.old ] && [ ! -e moved ]; then mv .images.langext-* moved; fi|victim|LANGEXT_PLANT_IN=$IMAGES LANGEXT_PLANT_EVERY=1
root's lost+found swapped in for the staged tree as it is made|mkdirat|.images.langext-*|cd $IMAGES && mv "\$PLANT_NAME" made && mv lost+found "\$PLANT_NAME"|lost+found|LANGEXT_PLANT_IN=$IMAGES
mine/ moved out whole, its own attribute forged as a stand-in's that holds an owner and mode back|mkdirat|.images.langext-*|setfattr -n user.langext.origin -v 0x$(printf '0%.0s' $(seq 80))e9030000000000000000000000000000ff0d000000000000 $IMAGES/mine|mine|LANGEXT_PLANT_IN=$IMAGES
victim/ of another user swapped in for root's staged tree as it is removed|fstatat|.images.langext-*|cd $IMAGES && if [ -e ../images.old ]; then touch seen; elif [ -e seen ] && [ ! -e moved ]; then s=\$(ls -d .images.langext-*) && mv "\$s" moved && mv victim "\$s"; fi|victim|LANGEXT_PLANT_IN=$IMAGES LANGEXT_PLANT_EVERY=1
EOT

# Once the copy of the old contents is complete and named NAME.old, the
# other user acts. NAME.old stays root's and owner-only until the run is
# done, so they can change nothing in it; in the volume, nothing they put at
# a name the copy knows is taken for the old entry (the old directories are
# known by their identities, the old files by being untouched since the
# copy), and nothing they wrote is removed: the run fails instead.
while IFS='|' read -r title command check; do
  if [ -n "$other_user_refused" ]; then skip "another user in a volume, after the copy: $title" "$other_user_refused"; continue; fi
  begin "another user in a volume, after the copy: $title"
  writable_volume "$IMAGES"
  mkdir -m 0755 "$IMAGES/flags" && printf 'GIF89a-old-de' > "$IMAGES/flags/de.gif" &&
    mkdir -m 0700 "$IMAGES/mine" && printf 'notes' > "$IMAGES/mine/notes.txt" &&
    chown -R "$other_user" "$IMAGES/mine" || fail "cannot lay out the volume"
  images_before=$(kept_listing "$IMAGES")
  run_with_other_user renameat2 images.old "$command" LANGEXT_PLANT_IN="$(dirname "$IMAGES")"
  grep -qxF "Installation completed!" "$SANDBOX/out" && fail "the run completed: $(cat "$SANDBOX/out")"
  # Kept for the next run to finish the put-back: closed to others still.
  if [ -e "$IMAGES.old" ]; then
    [ "$(stat -c '%u %a' "$IMAGES.old")" = "0 700" ] || fail "$IMAGES.old is open to others"
    without_top() { grep -v -E '^(d [0-7]+ [^ ]+ [0-9.]+  -> |\.: )'; }
    diff <(without_top <<< "$images_before") <(kept_listing "$IMAGES.old" | without_top) > "$SANDBOX/diff" ||
      { fail "$IMAGES.old does not keep the old tree"; sed 's/^/    /' "$SANDBOX/diff"; }
  fi
  eval "$check" || fail "$(ls -lAR "$IMAGES")"
  umount "$IMAGES"
  end
done <<EOT
their directory renamed to flags, in the volume and in NAME.old|cd $IMAGES.old; mkdir theirs && mv flags flags-root && mv theirs flags; cd $IMAGES && mv flags flags-root && mv mine flags|[ "\$(stat -c '%u %a' $IMAGES/flags)" = "${other_user%:*} 700" ] && [ -f $IMAGES/flags/notes.txt ]
entries of NAME.old swapped, and a directory at a new file's name|cd $IMAGES.old; mv flags x && mkdir flags; mkdir $IMAGES/language-banner.png|[ "\$(stat -c '%u %a' $IMAGES/flags)" = "0 755" ] && [ "\$(cat $IMAGES/flags/de.gif)" = GIF89a-old-de ]
an upload at a new file's name|printf upload > $IMAGES/language-banner.png|[ "\$(cat $IMAGES/language-banner.png)" = upload ]
EOT

# The other user writes into a directory of theirs as it goes out, and then
# takes its name: it cannot go back, and it is not removed with what went
# out; the run fails and keeps it.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume writes into their directory as it goes out, and takes its name" "$other_user_refused"
else
  begin "another user in a volume writes into their directory as it goes out, and takes its name"
  writable_volume "$IMAGES"
  mkdir -m 0755 "$IMAGES/mine" && printf 'notes' > "$IMAGES/mine/notes.txt" && chown -R "$other_user" "$IMAGES/mine" ||
    fail "cannot lay out the volume"
  mine_inode=$(stat -c %i "$IMAGES/mine")
  run_with_other_user fstatat,renameat2 'notes.txt,[0-9]*' "cd $IMAGES && if [ -e ../images.old ]; then
    case \$PLANT_NAME in notes.txt) touch mine/new ;; *) mkdir mine ;; esac; fi" \
    LANGEXT_PLANT_IN="$IMAGES*" LANGEXT_PLANT_EVERY=1
  [ -n "$(find "$IMAGES" -xdev -inum "$mine_inode" -exec test -e {}/new \; -print)" ] ||
    fail "their directory is gone: $(cat "$SANDBOX/out")"
  umount "$IMAGES"
  end
fi

# As the copy of the old contents reaches a link of root's, the other user
# puts theirs, leading elsewhere, at its name: root's copy never leads
# where they chose.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume replaces a link of root's as it is copied" "$other_user_refused"
else
  begin "another user in a volume replaces a link of root's as it is copied"
  writable_volume "$IMAGES"
  ln -s logo.gif "$IMAGES/link" || fail "cannot lay out the volume"
  run_with_other_user fstatat link "cd $IMAGES && rm link && ln -s /etc/shadow link" LANGEXT_PLANT_IN="$IMAGES"
  [ -z "$(find "$IMAGES" "$IMAGES.old" -lname /etc/shadow -user 0 2> /dev/null)" ] ||
    fail "root's copy leads where they chose: $(ls -la "$IMAGES.old")"
  umount "$IMAGES"
  end
fi

# Once all is installed in place, NAME.old gets the old directory's own
# owner and mode, which wait in root's staged tree beside it; in a document
# root the other user may write, they rename that tree as the run looks for
# it. Nothing is taken as given that was not: the record stays, and the
# next run gives them.
if [ -n "$other_user_refused" ]; then
  skip "another user hides the staged tree as NAME.old gets its mode" "$other_user_refused"
else
  begin "another user hides the staged tree as NAME.old gets its mode"
  chmod 0777 /var/lib/httpd/htdocs && chmod 0751 "$IMAGES" || fail "cannot lay out the document root"
  run_with_other_user fstatat '.images.langext-*' \
    "cd /var/lib/httpd/htdocs && if [ -e images.old ] && [ ! -e moved ]; then mv .images.langext-* moved; fi" \
    LANGEXT_PLANT_IN=/var/lib/httpd/htdocs LANGEXT_PLANT_EVERY=1 LANGEXT_NO_EXCHANGE=EXDEV
  grep -qxF "Unable to finish the installation: run the installer again to finish that." "$SANDBOX/out" ||
    fail "the run does not say it is unfinished: $(cat "$SANDBOX/out")"
  run_input '\n'
  [ "$(stat -c %a "$IMAGES.old")" = 751 ] || fail "$IMAGES.old is $(stat -c %a "$IMAGES.old"): $(cat "$SANDBOX/out")"
  chmod 0755 /var/lib/httpd/htdocs
  end
fi

# After a kill amid the replacement, NAME.old is still root's alone: the
# other user can change nothing in it at leisure, and the next run finishes
# with it as the copy was made, then opens it as the old directory was.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume changes NAME.old after a kill" "$other_user_refused"
else
  begin "another user in a volume changes NAME.old after a kill: the next run finishes, NAME.old as it was"
  writable_volume "$IMAGES"
  mkdir -m 0755 "$IMAGES/flags" && printf 'GIF89a-old-de' > "$IMAGES/flags/de.gif" || fail "cannot lay out the volume"
  images_before=$(kept_listing "$IMAGES")
  run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=placing LANGEXT_RAISE_AFTER=2
  expect_status 137
  setpriv --reuid="${other_user%:*}" --regid="${other_user#*:}" --clear-groups \
    sh -c "cd $IMAGES.old && mv flags theirs && mkdir flags" 2> /dev/null && fail "the other user changed $IMAGES.old"
  run_input '\n'
  expect_output "${BANNER}Finished the installation that was interrupted.\n\n$COMPLETED"
  expect_same_tree "$ADDON/packages/images" "$IMAGES"
  expect_kept "$images_before" "$IMAGES.old"
  umount "$IMAGES"
  end
fi

# The put-back exchanges each replaced file back with the package's file
# that took its name, or moves back an old entry that went out: what comes
# out must be the package's file, and nothing is moved over what stands at
# an old name. Right after the package's file went in, the other user moves
# someone else's directory to its name; right after an old file went out,
# they make a directory of theirs at its name. It stays.
while IFS='|' read -r title call name in command entry every; do
  if [ -n "$other_user_refused" ]; then skip "another user in a volume, then a failure: $title" "$other_user_refused"; continue; fi
  begin "another user in a volume, then a failure: $title"
  writable_volume "$IMAGES"
  printf 'old-banner' > "$IMAGES/language-banner.png" && mkdir -m 0700 "$IMAGES/victim" &&
    printf 'secret' > "$IMAGES/victim/secret" && chown -R "$victim_user" "$IMAGES/victim" ||
    fail "cannot lay out the volume"
  # The banner goes in first, and the failure comes right after it, while
  # the volume is still as open as it was.
  mv "$ADDON/packages/images/flags" "$ADDON/packages/images/flags.x" &&
    mv "$ADDON/packages/images/flags.x" "$ADDON/packages/images/flags"
  run_with_other_user "$call" "$name" "$command" LANGEXT_PLANT_IN="$in" LANGEXT_FAIL_CALL=placing \
    LANGEXT_FAIL_AFTER=2 LANGEXT_FAIL_ERRNO=28 LANGEXT_PLANT_EVERY="$every"
  grep -q "^Unable to put back $IMAGES/$entry\. Another entry has taken its place\.$" \
    "$SANDBOX/out" || fail "the put-back is not refused: $(cat "$SANDBOX/out")"
  [ "$(cat "$IMAGES/$entry/secret" 2>&1)" = secret ] ||
    fail "the directory moved there is gone: $(ls -AR "$IMAGES")"
  umount "$IMAGES"
  end
done <<EOT
a file exchanged back|renameat2|language-banner.png|$IMAGES|cd $IMAGES && mv language-banner.png banner-aside && mkdir language-banner.png && printf secret > language-banner.png/secret|language-banner.png
an old file moved back|renameat2|[0-9]*|*.langext-*.o|if [ ! -e $IMAGES/logo.gif ]; then mkdir $IMAGES/logo.gif && printf secret > $IMAGES/logo.gif/secret; fi|logo.gif|1
EOT
# What the put-back cannot make as it was keeps NAME.old, and says so: here
# an old file, removed as the package lacks it, whose name the other user
# takes before the put-back.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume, then a failure: an old name taken keeps NAME.old" "$other_user_refused"
else
  begin "another user in a volume, then a failure: an old name taken keeps NAME.old"
  writable_volume "$IMAGES"
  run_with_other_user renameat2 '[0-9]*' "printf theirs > $IMAGES/logo.gif" \
    LANGEXT_PLANT_IN='*.langext-*.o' LANGEXT_FAIL_CALL=syncfs LANGEXT_FAIL_PATH="$IMAGES" \
    LANGEXT_FAIL_AFTER=3 LANGEXT_FAIL_ERRNO=5
  expect_output "${BANNER}${PROMPT}Unable to install $IMAGES in place. Input/output error.\n\nUnable to put back $IMAGES/logo.gif. Another entry has taken its place.\n\n$IMAGES.old holds the complete old contents of $IMAGES.\n\nUnable to put everything back: run the installer again to finish that.\n\n"
  [ "$(cat "$IMAGES.old/logo.gif" 2>&1)" = GIF89a-old-logo ] || fail "$IMAGES.old does not hold the old logo"
  umount "$IMAGES"
  end
fi

# The staged tree sits in the volume, where the other user may rename it
# (though not enter it): the installer knows it by the descriptor it holds,
# never by its name. The other user renames it as soon as the new flags/
# appears (a tmpfs lists the entry that took its name last first).
while IFS='|' read -r title failure; do
  if [ -n "$other_user_refused" ]; then skip "another user in a volume renames the staged tree: $title" "$other_user_refused"; continue; fi
  begin "another user in a volume renames the staged tree: $title"
  writable_volume "$IMAGES"
  printf 'old-banner' > "$IMAGES/language-banner.png" && snapshot_product
  # shellcheck disable=SC2086 # the settings of the failure, one word each
  run_with_other_user mkdirat,renameat2 flags "cd $IMAGES && mv .images.langext-* stolen" \
    LANGEXT_PLANT_IN="$IMAGES" $failure
  if [ "$STATUS" = 137 ]; then
    # Killed after the rename: the next run finds the tree where it is.
    run_input '\n'
    expect_output "${BANNER}Finished the installation that was interrupted.\n\n$COMPLETED"
    expect_same_tree "$ADDON/packages/images" "$IMAGES"
    expect_nothing_staged
  elif [ -z "$failure" ]; then
    expect_output "$BANNER$PROMPT$COMPLETED"
    expect_same_tree "$ADDON/packages/images" "$IMAGES"
  else
    grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail: $(cat "$SANDBOX/out")"
    expect_product_untouched
  fi
  umount "$IMAGES"
  end
done <<EOT
the installation completes
a failure puts back what was replaced|LANGEXT_FAIL_CALL=syncfs LANGEXT_FAIL_PATH=$IMAGES LANGEXT_FAIL_AFTER=3 LANGEXT_FAIL_ERRNO=28
a kill, and the next run finishes|LANGEXT_RAISE_CALL=placing LANGEXT_RAISE_AFTER=2 LANGEXT_RAISE_SIGNAL=9
EOT

# What the other user writes into the volume during the replacement (an
# upload, or a file of theirs rewritten) stays: only entries that the copy
# of the old contents holds, and that are unchanged since, are removed as
# the package lacks them.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume uploads during the replacement" "$other_user_refused"
else
  begin "another user in a volume uploads during the replacement: what they write stays"
  writable_volume "$IMAGES"
  mkdir "$IMAGES/mine" && printf 'notes' > "$IMAGES/mine/notes.txt" && chown -R "$other_user" "$IMAGES/mine"
  run_with_other_user fstatat mine \
    "printf upload > $IMAGES/upload.txt && printf upload > $IMAGES/mine/upload.txt && printf rewritten > $IMAGES/mine/notes.txt" \
    LANGEXT_PLANT_IN="$IMAGES"
  expect_output "$BANNER$PROMPT$COMPLETED"
  [ "$(cat "$IMAGES/upload.txt" "$IMAGES/mine/upload.txt" "$IMAGES/mine/notes.txt" 2>&1)" = uploaduploadrewritten ] ||
    fail "what the other user wrote is gone: $(ls -AR "$IMAGES")"
  umount "$IMAGES"
  end
fi

# A chain of directories deeper than the installer could hold open,
# planted by the other user after the copy, is never walked: nothing the
# copy does not hold is descended into.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume plants a deep chain of directories" "$other_user_refused"
else
  begin "another user in a volume plants a deep chain of directories during the replacement"
  writable_volume "$IMAGES"
  printf '%s\n' 'my ($top, $depth) = @ARGV; mkdir $top or die "$top: $!\n"; chdir $top or die "$!\n";' \
    'for (1 .. $depth) { mkdir "d" or die "$!\n"; chdir "d" or die "$!\n" }' > "$OTHER_USER_FILES/chain.pl"
  open_files=1024 run_with_other_user renameat2 '*' "perl $OTHER_USER_FILES/chain.pl $IMAGES/chain 3000" \
    LANGEXT_PLANT_IN="$IMAGES*"
  expect_output "$BANNER$PROMPT$COMPLETED"
  [ "$(find "$IMAGES/chain" -type d | wc -l)" = 3001 ] || fail "the chain was walked into"
  umount "$IMAGES"
  end
fi

# A mount inside a volume is another file system, whose owners and modes
# are whatever it reports (a user's FUSE mount may claim root's set-user-ID
# files): neither its copy at NAME.old nor the removal of what the package
# lacks enters it. It is named, and stays as it is.
while IFS='|' read -r title volume kernel; do
  begin "in place: a mount inside $title is never entered"
  case $volume in
    "$IMAGES") writable_volume "$IMAGES" ;;
    "$TEMPLATES") layout_mount "$TEMPLATES" "$SANDBOX/volume" ;;
  esac
  mkdir "$volume/nested" && mount -t tmpfs nested "$volume/nested" &&
    printf 'kept' > "$volume/nested/kept.txt" || fail "cannot mount inside $volume"
  kept_inode=$(stat -c %i "$volume/nested/kept.txt")
  # shellcheck disable=SC2086 # the row's setting, one word or none
  run_interposed $kernel
  expect_output "$BANNER${PROMPT}Left $volume/nested as it is: another file system is mounted there. $volume.old/nested holds no copy of it.\n\n$COMPLETED"
  [ "$(stat -c %i "$volume/nested/kept.txt" 2>&1)" = "$kept_inode" ] || fail "the mount inside was entered"
  [ -e "$volume.old/nested" ] && fail "$volume.old holds a copy of the mount inside: $(ls -A "$volume.old/nested")"
  umount "$volume/nested" "$volume"
  end
done <<EOT
the images volume|$IMAGES
a bind-mounted template directory|$TEMPLATES
a bind-mounted template directory, on a kernel before 5.8|$TEMPLATES|LANGEXT_NO_MOUNT_ROOT=1
EOT

begin "a second run refuses because the backups exist, and changes nothing"
run_input '\n'
snapshot_product
run_input '\n'
expect_output "${BANNER}${PROMPT}Unable to rename $LANG_FILE to $LANG_FILE.old. File already exists.\n\n"
expect_status 255
expect_product_untouched
end

if [ "${LANGEXT_SANDBOX_USERNS:-}" = 1 ]; then
  skip "an unprivileged user is refused" "inside a user namespace that maps only root there is no other user to run as"
else
  begin "an unprivileged user is refused"
  (cd "$ADDON" && printf '\n' | setpriv --reuid=65534 --regid=65534 --clear-groups ./langext-install) \
    > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
  expect_output "${BANNER}This program must be run as root.\n\n"
  expect_status 255
  expect_product_untouched
  end
fi

begin "no product configuration"
rm /etc/tarnwick.conf
run_input '\n'
expect_output "${BANNER}Tarnwick 3.0 is not installed on this system.\n\n"
expect_status 255
expect_product_untouched
end

for part in packages/conf/language.cfg packages/htx packages/images; do
  begin "missing $part is refused before anything is asked"
  rm -rf "${ADDON:?}/$part"
  run_input '\n'
  expect_output "${BANNER}Unable to find $part in the current directory.\n\n"
  expect_status 255
  expect_product_untouched
  end
done

begin "a package language file that is a directory counts as missing"
rm "$ADDON/packages/conf/language.cfg" && mkdir "$ADDON/packages/conf/language.cfg"
run_input '\n'
expect_output "${BANNER}Unable to find packages/conf/language.cfg in the current directory.\n\n"
expect_status 255
end

# Document root entries that install: the bytes of one read, and where the
# images must arrive.
while IFS='|' read -r title format images; do
  begin "entry: $title"
  [ "$images" = "$WWW"$'\n'"x/images" ] && mkdir -p "$WWW"$'\n'x
  run_input "$format" "$WWW"
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_status 1
  expect_installed "$images"
  end
done <<EOT
trailing slash|%s/\n|$WWW/images
two trailing slashes keep one|%s//\n|$WWW/images
blanks give the default|   \n|$IMAGES
a lone slash gives the default|/\n|$IMAGES
no line end loses the last byte|%sX|$WWW/images
EOT

begin "entry: two lines in one read keep the first line end"
mkdir -p "$WWW"$'\n'x
run_input '%s\nx\n' "$WWW"
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
expect_installed "$WWW"$'\n'x/images
end

begin "entry: closed standard input gives the default"
run <&-
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
expect_installed "$IMAGES"
end

begin "entry: too long for /images is refused"
run_input '/%s\n' "$(printf 'a%.0s' $(seq 504))"
expect_output "${BANNER}${PROMPT}The document root directory name is too long.\n\n"
expect_status 255
expect_product_untouched
end

begin "configuration: keys in any case, blanks around =, longer key names"
printf 'TemplateDirectory = %s/\nLangFile_x\t=\t%s\n' "$TEMPLATES" "$LANG_FILE" > /etc/tarnwick.conf
run_input '\n'
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
expect_installed "$IMAGES"
end

long=$(printf 'x%.0s' $(seq 600))
while IFS='|' read -r title contents message; do
  begin "configuration: $title"
  if [ "$contents" = DIRECTORY ]; then
    rm /etc/tarnwick.conf && mkdir /etc/tarnwick.conf
  else
    printf "$contents" > /etc/tarnwick.conf
  fi
  run_input '\n'
  expect_output "${BANNER}${PROMPT}$message"
  expect_status 255
  expect_product_untouched
  end
done <<EOT
unreadable|DIRECTORY|Unable to read /etc/tarnwick.conf. Is a directory.\n\n
language file not set|templatedir=$TEMPLATES\n|The language file is not set in /etc/tarnwick.conf.\n\n
template directory not set|langfile=$LANG_FILE\ntemplatedir=/\n|The template directory is not set in /etc/tarnwick.conf.\n\n
language file too long|langfile=/$long\ntemplatedir=$TEMPLATES\n|The language file name in /etc/tarnwick.conf is too long.\n\n
template directory too long|langfile=$LANG_FILE\ntemplatedir=/$long\n|The template directory name in /etc/tarnwick.conf is too long.\n\n
both missing: the language file comes first|other=1\n|The language file is not set in /etc/tarnwick.conf.\n\n
EOT

while IFS='|' read -r title backup kind entry; do
  begin "backup taken: $title, nothing is renamed"
  case $entry in file) touch "$backup" ;; directory) mkdir "$backup" ;; *) ln -s nowhere "$backup" ;; esac
  snapshot_product
  target=${backup%.old}
  run_input '\n'
  expect_output "${BANNER}${PROMPT}Unable to rename $target to $backup. $kind already exists.\n\n"
  expect_status 255
  expect_product_untouched
  end
done <<EOT
language file|$LANG_FILE.old|File|file
template directory|$TEMPLATES.old|Directory|directory
images directory|$IMAGES.old|Directory|directory
template directory, by a file|$TEMPLATES.old|Directory|file
language file, by a link to nowhere|$LANG_FILE.old|File|link
EOT

# A shared web root: set-group-ID, as many are, and with a default ACL
# that gives the web server's user its files. New directories there inherit
# both, and are still the program's own.
if [ "${LANGEXT_SANDBOX_USERNS:-}" = 1 ]; then
  skip "a set-group-ID document root with a default ACL installs" \
    "inside a user namespace that maps only root there is no web server's group to share it with"
elif [ -z "$acls" ]; then
  skip "a set-group-ID document root with a default ACL installs" "the sandbox's tmpfs holds no POSIX ACLs"
else
  begin "a set-group-ID document root with a default ACL installs"
  chgrp 33 /var/lib/httpd/htdocs && chmod 2775 /var/lib/httpd/htdocs &&
    setfacl -d -m u:33:rwx /var/lib/httpd/htdocs || fail "cannot share the document root"
  run_input '\n'
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_status 1
  expect_nothing_staged
  # What is made there takes the root's group, and its directories the
  # set-group-ID bit, as the root's owner meant.
  diff <(tree_listing "$ADDON/packages/images") <(tree_listing "$IMAGES" | sed 's/^d 2755 /d 755 /') ||
    fail "the images are not installed"
  end
fi

begin "a read-only document root changes nothing"
mount --bind /var/lib/httpd/htdocs /var/lib/httpd/htdocs &&
  mount -o remount,bind,ro /var/lib/httpd/htdocs
run_input '\n'
umount /var/lib/httpd/htdocs
expect_output "${BANNER}${PROMPT}Unable to copy packages/images to $IMAGES. Read-only file system.\n\n$FAILED"
expect_status 255
expect_product_untouched
expect_nothing_staged
end

# A full disk: the copy reports what it could not write, the run fails, and
# the product is as it was, with nothing staged left behind.
begin "full disk under the template directory"
rm -rf /var/lib/tarnwick && mkdir /var/lib/tarnwick &&
  mount -t tmpfs -o size=64k langext-full /var/lib/tarnwick
sandbox_install_product "$sample"
snapshot_product
head -c 200000 /dev/urandom > "$ADDON/packages/htx/big.bin"
run_input '\n'
expect_output "${BANNER}${PROMPT}Unable to copy packages/htx/big.bin to $TEMPLATES/big.bin. No space left on device.\n\n$FAILED"
expect_status 255
expect_product_untouched
expect_nothing_staged
umount /var/lib/tarnwick
end

begin "full disk under the images directory"
mount -t tmpfs -o size=64k langext-full "$WWW"
mkdir "$WWW/images" && printf 'GIF89a-old-logo' > "$WWW/images/logo.gif"
cp -a "$WWW" "$SANDBOX/www-before"
head -c 200000 /dev/urandom > "$ADDON/packages/images/big.bin"
# A dry run sees it coming.
run_dry '%s\n' "$WWW"
expect_status 255
grep -q "^Not enough room for $WWW/images: a run needs about" "$SANDBOX/out" || fail "the dry run does not say there is no room: $(cat "$SANDBOX/out")"
run_input '%s\n' "$WWW"
expect_output "${BANNER}${PROMPT}Unable to copy packages/images/big.bin to $WWW/images/big.bin. No space left on device.\n\n$FAILED"
expect_status 255
expect_same_tree "$SANDBOX/www-before" "$WWW"
expect_product_untouched
umount "$WWW"
rm -rf "$SANDBOX/www-before"
end

# In place, the copy of the old contents is made beside the mount point, on
# the file system that holds it: a dry run counts it there, and a write
# there cut short says why.
begin "full disk beside a mounted images directory"
mount -t tmpfs -o size=100k langext-full "$WWW" && mkdir "$WWW/images" &&
  mount -t tmpfs -o size=4m langext-volume "$WWW/images" &&
  head -c 200000 /dev/urandom > "$WWW/images/old.bin" || fail "cannot lay out the volume"
run_dry '%s\n' "$WWW"
expect_status 255
grep -q "^Not enough room for $WWW/images: a run needs about" "$SANDBOX/out" || fail "the dry run does not say there is no room: $(cat "$SANDBOX/out")"
run_input '%s\n' "$WWW"
expect_status 255
grep -q "No space left on device\.$" "$SANDBOX/out" || fail "the run does not say why it failed: $(cat "$SANDBOX/out")"
umount "$WWW/images" "$WWW"
end

# Entries of the package that are not regular files: none blocks the run,
# one run reports every one of them, and the product stays as it was.
begin "odd package entries are reported and do not block"
mkfifo "$ADDON/packages/htx/fifo"
ln -s nowhere "$ADDON/packages/htx/dangling"
ln -s admin "$ADDON/packages/htx/dirlink"
odd="fifo dangling dirlink"
if mknod "$ADDON/packages/htx/device" c 1 3 2>/dev/null; then
  odd="$odd device"
else
  skip "a device node in the package" "mknod is not allowed here"
fi
run_input '\n'
for entry in $odd; do
  grep -qF "Unable to copy packages/htx/$entry to $TEMPLATES/$entry." "$SANDBOX/out" ||
    fail "$entry not reported"
  [ "$entry" = dangling ] || grep -qF "$TEMPLATES/$entry. It is not a regular file or a link to one." \
    "$SANDBOX/out" || fail "no reason given for $entry"
  [ -e "$TEMPLATES/$entry" ] || [ -L "$TEMPLATES/$entry" ] && fail "$entry was created"
done
grep -qxF "Installation failed." "$SANDBOX/out" || fail "failure not reported"
expect_status 255
expect_product_untouched
expect_nothing_staged
end

begin "a package on a read-only medium installs"
mount --bind "$ADDON/packages" "$ADDON/packages" && mount -o remount,bind,ro "$ADDON/packages"
run_input '\n'
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
expect_installed "$IMAGES"
umount "$ADDON/packages"
end

# Prints a path of exactly the given length below the given base, in
# components of at most 200 bytes.
path_of_length() {
  local path=$1 length=$2
  while [ $((length - ${#path})) -gt 201 ]; do
    path="$path/$(printf 'd%.0s' $(seq 150))"
  done
  printf '%s/%s' "$path" "$(printf 'f%.0s' $(seq $((length - ${#path} - 1))))"
}

# Nested directories in the package whose deepest file has a source path of
# exactly the given length; the templates go to a short directory so that
# the destination paths fit whenever the source paths do.
make_deep_package() {
  local file
  file=$(path_of_length packages/htx "$1")
  mkdir -p "$ADDON/$(dirname "$file")" && printf 'deep' > "$ADDON/$file"
  DEEP_FILE=${file#packages/htx/}
  printf 'langfile=%s\ntemplatedir=/var/lib/t\n' "$LANG_FILE" > /etc/tarnwick.conf
}

# Staging names sit beside their targets and are reached by name, so they
# shorten nothing that installed before.
begin "the longest targets install: a 504-byte document root, a 511-byte language file"
long_root=$(path_of_length "$WWW" 504)
long_lang=$(path_of_length /var/lib/tarnwick 511)
mkdir -p "$long_root" "$(dirname "$long_lang")" && printf 'old' > "$long_lang"
printf 'langfile=%s\ntemplatedir=%s\n' "$long_lang" "$TEMPLATES" > /etc/tarnwick.conf
run_input '%s\n' "$long_root"
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
cmp -s "$ADDON/packages/conf/language.cfg" "$long_lang" || fail "the language file is not installed"
[ "$(cat "$long_lang.old")" = old ] || fail "the old language file is not kept"
expect_same_tree "$ADDON/packages/images" "$long_root/images"
end

begin "a package path at the length limit installs"
make_deep_package 1023
run_input '\n'
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
[ "$(cat "/var/lib/t/$DEEP_FILE" 2>/dev/null)" = deep ] || fail "the deepest file is missing"
end

begin "a package path one byte over the limit is reported"
make_deep_package 1024
run_input '\n'
grep -q "Unable to copy packages/htx/.*/fff* to /var/lib/t/.*/fff*\. File name too long\.$" "$SANDBOX/out" ||
  fail "the long path is not reported"
grep -qxF "Installation failed." "$SANDBOX/out" || fail "failure not reported"
expect_status 255
[ -e "/var/lib/t/$DEEP_FILE" ] && fail "a file past the limit was copied"
end

# Another local user swaps a link (or a directory of their own) in for an
# entry the installer has just made; the link's target must stay untouched,
# what the user planted must not be removed, and the run must fail leaving
# the product as it was.
while IFS='|' read -r title call name kind planted; do
  begin "hostile $kind: $title"
  mkdir -p "$SANDBOX/victim/dir" && printf 'victim' > "$SANDBOX/victim/file"
  [ "$planted" = file ] && target=$SANDBOX/victim/file || target=$SANDBOX/victim/dir
  run_interposed LANGEXT_PLANT_CALL="$call" LANGEXT_PLANT_NAME="$name" LANGEXT_PLANT_KIND="$kind" \
    LANGEXT_PLANT_TARGET="$target"
  [ -s "$SANDBOX/err" ] && fail "$(cat "$SANDBOX/err")"
  [ "$(cat "$SANDBOX/victim/file")" = victim ] || fail "the victim file was written"
  [ -z "$(ls -A "$SANDBOX/victim/dir")" ] || fail "the victim directory was written"
  grep -qxF "Installation failed." "$SANDBOX/out" || fail "failure not reported"
  expect_status 255
  if [ "$name" = admin ]; then
    expect_nothing_staged
  else
    planted_entry=$(staging_entries | grep -v '\.moved-aside$')
    case $kind in
      link) [ -L "$planted_entry" ] ;;
      directory) [ -d "$planted_entry" ] && [ ! -L "$planted_entry" ] ;;
    esac || fail "what the other user planted is gone"
    staging_entries | xargs -r rm -rf
  fi
  expect_product_untouched
  rm -rf "$SANDBOX/victim"
  end
done <<EOT
in place of the staging language file|openat|.language.cfg.langext-*|link|file
in place of the staging template directory|mkdirat|.templates.langext-*|link|dir
in place of the staging images directory|mkdirat|.images.langext-*|link|dir
in place of a subdirectory of the templates|mkdirat|admin|link|dir
in place of the staging template directory|mkdirat|.templates.langext-*|directory|dir
EOT

# A backup name taken by another user after the run's decision is never
# replaced: the swap fails and is undone, with or without exchange.
while IFS='|' read -r target call name kind; do
  for missing in none EINVAL ENOSYS; do
    begin "a planted $target.old is never replaced (renameat2 answers ${missing/none/as it should})"
    run_interposed LANGEXT_NO_EXCHANGE=$missing LANGEXT_PLANT_CALL=$call LANGEXT_PLANT_NAME="$name" \
      LANGEXT_PLANT_KIND=$kind LANGEXT_PLANT_TARGET="$target.old"
    expect_output "${BANNER}${PROMPT}Unable to rename $target to $target.old. File exists.\n\n$FAILED"
    expect_status 255
    if [ "$kind" = backup ]; then
      [ -d "$target.old" ] && [ -z "$(ls -A "$target.old")" ] || fail "the planted backup was replaced"
    else
      [ "$(cat "$target.old")" = planted ] || fail "the planted backup was replaced"
    fi
    rm -rf "$target.old"
    expect_product_untouched
    expect_nothing_staged
    end
  done
done <<EOT
$LANG_FILE|syncfs|*|backup-file
$TEMPLATES|renameat2|language.cfg|backup
EOT

# A signal raised right after the k-th file is created: before the swap the
# run stops, removes what it staged and leaves the product as it was; once
# the swap has begun it completes first.
while IFS='|' read -r title signal call after; do
  begin "interrupted: $title"
  run_interposed LANGEXT_RAISE_SIGNAL="$signal" LANGEXT_RAISE_CALL="$call" LANGEXT_RAISE_AFTER="$after"
  if [ "$call" = openat ]; then
    expect_output "$BANNER$PROMPT$INTERRUPTED"
    expect_status 255
    expect_product_untouched
    expect_nothing_staged
  else
    expect_completed
  fi
  end
done <<EOT
SIGINT as the language file is staged|2|openat|1
SIGTERM amid the templates|15|openat|5
SIGHUP as the last image is copied|1|openat|13
SIGQUIT amid the images|3|openat|10
SIGTERM once the swap has begun|15|renameat2|1
EOT

# What a target holds after a run was killed: "old" (as before, no NAME.old),
# "new" (the package's, the old one at NAME.old or at a staging name),
# "missing" (between the two renames of a swap without exchange: the old
# one at NAME.old, the new one at a staging name) or "broken".
target_state() {
  local target=$1 package=$2 before=$3 old staged
  if same_contents "$before" "$target" && [ ! -e "$target.old" ]; then
    echo old
    return
  fi
  if same_contents "$package" "$target"; then
    for old in "$target.old" "$(dirname "$target")"/.*.langext-*; do
      same_contents "$before" "$old" && { echo new; return; }
    done
  fi
  # In place: its copy at NAME.old complete, every file wholly old or new.
  if [ "$in_place_sweep" = 1 ] && same_contents "$before" "$target.old" &&
    each_file_old_or_new "$target" "$package" "$before"; then
    echo mixed
    return
  fi
  if [ ! -e "$target" ] && same_contents "$before" "$target.old"; then
    for staged in "$(dirname "$target")"/.*.langext-*; do
      same_contents "$package" "$staged" && { echo missing; return; }
    done
  fi
  echo broken
}

each_file_old_or_new() {
  local target=$1 package=$2 before=$3 file
  [ -f "$target" ] && { cmp -s "$target" "$package" || cmp -s "$target" "$before"; } && return
  [ -d "$target" ] || return 1
  while IFS= read -r file; do
    cmp -s "$target/$file" "$package/$file" || cmp -s "$target/$file" "$before/$file" || return 1
  done < <(cd "$target" && find . -type f -not -path './.*.langext-*')
}

same_contents() {
  if [ -d "$1" ] && [ -d "$2" ]; then
    [ "$(tree_listing "$1")" = "$(tree_listing "$2")" ] && diff -r "$1" "$2" > /dev/null
  else
    [ -f "$1" ] && [ -f "$2" ] && cmp -s "$1" "$2"
  fi
}

# The states of the three targets after a kill, one word each.
target_states() {
  local before=$SANDBOX/product-before
  target_state "$LANG_FILE" "$ADDON/packages/conf/language.cfg" "$before/tarnwick/conf/language.cfg"
  target_state "$TEMPLATES" "$ADDON/packages/htx" "$before/tarnwick/templates"
  target_state "$IMAGES" "$ADDON/packages/images" "$before/httpd/htdocs/images"
}

# What the run after a kill prints: the product's own run, after clearing
# what was staged, the end of the killed run's swap, or, where the killed
# run had finished all but its message, the refusal that the backups cause.
REPAIRED_STAGING="${BANNER}Removed what an interrupted installation had staged.\n\n$PROMPT$COMPLETED"
REPAIRED_SWAP="${BANNER}Finished the installation that was interrupted.\n\n$COMPLETED"
ALREADY_INSTALLED="${BANNER}${PROMPT}Unable to rename $LANG_FILE to $LANG_FILE.old. File already exists.\n\n"

# Leaves in $REPAIR which of the four it was.
expect_repaired() {
  local output
  REPAIR=0
  for output in "$BANNER$PROMPT$COMPLETED" "$REPAIRED_STAGING" "$REPAIRED_SWAP" "$ALREADY_INSTALLED"; do
    printf "$output" | cmp -s - "$SANDBOX/out" && break
    REPAIR=$((REPAIR + 1))
  done
  expect_output "$output"
  if [ "$REPAIR" = 3 ]; then expect_status 255; else expect_status 1; fi
  expect_installed "$IMAGES"
  expect_set_aside "$IMAGES.old"
  expect_nothing_staged
}

# Killed with SIGKILL after each of the calls that change the disk in turn
# (see kill_points), until a
# run completes: every target is wholly old or wholly new each time (in
# place, its copy at NAME.old is complete once it has changed, and each of
# its files is wholly old or new), both outcomes occur, the next run
# finishes the installation, and the one after it refuses because the
# backups exist.
# A power cut is followed by a reboot, and a killed container by a restart:
# the disk that holds /var/lib/tarnwick may come back under another device
# number before the run after the kill. "ext4": a loop device attached
# again as another; "btrfs" and "overlay" (the product in its lower layer):
# mounted again after another mount took their anonymous device number.
disk_prepare() {
  DISK=$1
  case $DISK in
    ext4 | btrfs)
      truncate -s 128M "$SANDBOX/disk.img" && "mkfs.$DISK" -q "$SANDBOX/disk.img" > /dev/null 2>&1 &&
        mkdir -p "$SANDBOX/spacer" && LOOP=$(losetup -f --show "$SANDBOX/disk.img") ;;
  esac
}

disk_reset() {
  disk_unmount
  rm -rf /var/lib/tarnwick /var/lib/httpd "$RECORD_DIR" "$SANDBOX/ovl" && mkdir /var/lib/tarnwick || return
  case $DISK in
    ext4 | btrfs) mount "$LOOP" /var/lib/tarnwick && find /var/lib/tarnwick -mindepth 1 -delete ;;
  esac && sandbox_install_product "$sample" || return
  if [ "$DISK" = overlay ]; then
    mkdir -p "$SANDBOX/ovl/lower" "$SANDBOX/ovl/upper" "$SANDBOX/ovl/work" &&
      mv /var/lib/tarnwick/* "$SANDBOX/ovl/lower/" && disk_mount_overlay
  fi
}

disk_mount_overlay() {
  mount -t overlay overlay -o "lowerdir=$SANDBOX/ovl/lower,upperdir=$SANDBOX/ovl/upper,workdir=$SANDBOX/ovl/work,$overlay_options" /var/lib/tarnwick
}

# An anonymous device number is freed some time after the unmount: each try
# holds one more with a mount of its own, until the disk gets another.
disk_remount() {
  local before try
  before=$(stat -c %d /var/lib/tarnwick)
  for try in 1 2 3 4 5 6 7 8; do
    case $DISK in
      tmpfs) return ;;
      ext4) umount /var/lib/tarnwick && local old=$LOOP && LOOP=$(losetup -f --show "$SANDBOX/disk.img") &&
        losetup -d "$old" && mount "$LOOP" /var/lib/tarnwick ;;
      btrfs) umount /var/lib/tarnwick && disk_hold_number "$try" && mount "$LOOP" /var/lib/tarnwick ;;
      overlay) umount /var/lib/tarnwick && disk_hold_number "$try" && disk_mount_overlay ;;
    esac || { fail "cannot mount the $DISK disk again"; return; }
    [ "$(stat -c %d /var/lib/tarnwick)" != "$before" ] && return
  done
  fail "the $DISK disk came back under device $before"
}

disk_hold_number() {
  mkdir -p "$SANDBOX/spacer/$1" && mount -t tmpfs spacer "$SANDBOX/spacer/$1"
}

disk_unmount() {
  local spacer
  for spacer in "$SANDBOX"/spacer/*; do umount -q "$spacer" 2> /dev/null; done
  umount -q /var/lib/tarnwick 2> /dev/null
}

disk_release() {
  disk_unmount
  [ -n "${LOOP:-}" ] && losetup -d "$LOOP"
  LOOP='' DISK=tmpfs
  rm -f "$SANDBOX/disk.img"
}

while IFS='|' read -r missing disk; do
  begin "killed at every step, then run again (renameat2 answers ${missing/none/as it should}${disk:+, $disk mounted again})"
  if [ "$disk" = overlay ] && [ -n "$overlay_refused" ]; then
    skip "$current" "$overlay_refused"
    continue
  fi
  if [ "$disk" = overlay ] && [ "${LANGEXT_SANDBOX_USERNS:-}" = 1 ]; then
    # Where the kill leaves an old file exchanged out but not yet at
    # NAME.old, the run after it stops, naming it, as in "an entry moved by
    # someone else after a kill ... (language)".
    skip "$current" "in a user namespace an overlay records no origin of a copied-up file (that needs CAP_DAC_READ_SEARCH over the host), so its identity does not survive mounting it again"
    continue
  fi
  if [ -n "$disk" ] && [ -n "${LANGEXT_SWEEPS:-}" ]; then
    skip "$current" "under valgrind or the sanitizers the rows that mount nothing again take the same paths; the normal build mounts again"
    continue
  fi
  if ! disk_prepare "${disk:-tmpfs}"; then
    skip "$current" "no $disk file system can be made or mounted here"
    disk_release
    continue
  fi
  in_place_sweep=0
  [ "$missing" = EXDEV ] || [ "$disk" = overlay ] && in_place_sweep=1
  outcomes='' repairs=''
  disk_reset || fail "cannot lay out the product on $DISK"
  run_interposed LANGEXT_NO_EXCHANGE=$missing LANGEXT_RAISE_CALL=any LANGEXT_CALL_COUNT_FILE="$SANDBOX/calls"
  # The kills that fall amid a replacement in place are a few runs of
  # calls, a fifteenth of the run apart at the most: sampled, sixteen
  # points meet one.
  for after in $(kill_points 1 "$(cat "$SANDBOX/calls")" $((8 + 8 * in_place_sweep))); do
    disk_reset && snapshot_product || { fail "cannot lay out the product on $DISK"; break; }
    run_interposed LANGEXT_NO_EXCHANGE=$missing LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=any \
      LANGEXT_RAISE_AFTER="$after"
    [ "$STATUS" = 1 ] && break
    [ "$STATUS" = 137 ] || fail "killed at call $after, but the status is $STATUS"
    for state in $(target_states); do
      [ "$state" = broken ] || [ "$state/$missing" = missing/none ] ||
        { [ "$state" = mixed ] && [ "$in_place_sweep" = 0 ]; } &&
        fail "a target is $state after a kill at call $after"
      outcomes="$outcomes $state"
    done
    disk_remount
    run_interposed LANGEXT_NO_EXCHANGE=$missing
    expect_repaired
    repairs="$repairs $REPAIR"
    run_input '\n'
    expect_status 255
    [ "$case_failed" = 1 ] && { echo "    after a kill at call $after"; break; }
  done
  disk_release
  [ "$STATUS" = 1 ] || fail "no run got to the end"
  if sweep_judged; then
    [[ $outcomes == *old* && $outcomes == *new* ]] || fail "not both outcomes occurred:$outcomes"
    [[ $repairs == *1* && $repairs == *2* ]] || fail "not both kinds of repair occurred:$repairs"
    [ "$in_place_sweep" = 0 ] || [[ $outcomes == *mixed* ]] || fail "no kill fell amid a replacement"
  fi
  end
done <<EOT
none|
EINVAL|
EXDEV|
EXDEV|ext4
none|btrfs
none|overlay
EOT

begin "a power cut during the repair is repaired by the run after it"
run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=renameat2 LANGEXT_RAISE_AFTER=2
run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=renameat2 LANGEXT_RAISE_AFTER=1
expect_status 137
run_input '\n'
expect_repaired
end

# Killed at every step of the put-back that follows a failure amid the
# replacement in place (the language file already replaced, the templates
# half): the next run finishes the put-back before anything else, so the
# installation it then makes keeps the whole old product at NAME.old.
REPAIRED_UNDO="${BANNER}Put back what an interrupted installation had changed.\n\n$PROMPT$COMPLETED"
begin "killed while a failure is put back, then run again"
decorate_product && snapshot_product
templates_before=$(kept_listing "$TEMPLATES")
failing=(LANGEXT_NO_EXCHANGE=EXDEV LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=4 LANGEXT_FAIL_ERRNO=28)
run_interposed "${failing[@]}" LANGEXT_RAISE_CALL=any LANGEXT_FAIL_COUNT_FILE="$SANDBOX/failed-at" \
  LANGEXT_CALL_COUNT_FILE="$SANDBOX/calls"
repairs=''
for after in $(kill_points $(($(cat "$SANDBOX/failed-at") + 1)) "$(cat "$SANDBOX/calls")"); do
  rm -rf /var/lib/tarnwick /var/lib/httpd "$RECORD_DIR" && cp -a "$SANDBOX/product-before/tarnwick" \
    "$SANDBOX/product-before/httpd" /var/lib/
  run_interposed "${failing[@]}" LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=any LANGEXT_RAISE_AFTER="$after"
  [ "$STATUS" = 255 ] && break
  [ "$STATUS" = 137 ] || fail "killed at call $after, but the status is $STATUS"
  run_input '\n'
  # Killed before it recorded the put-back, the run is finished instead.
  if printf "$REPAIRED_UNDO" | cmp -s - "$SANDBOX/out"; then
    repairs="$repairs undo"
  elif ! printf "$REPAIRED_SWAP" | cmp -s - "$SANDBOX/out"; then
    expect_output "$BANNER$PROMPT$COMPLETED"
  fi
  expect_status 1
  expect_installed "$IMAGES"
  expect_kept "$templates_before" "$TEMPLATES.old"
  expect_nothing_staged
  [ "$case_failed" = 1 ] && { echo "    after a kill at call $after"; break; }
done
[ "$STATUS" = 255 ] || fail "no run got to the end of its put-back"
! sweep_judged || [[ $repairs == *undo* ]] || fail "no kill fell amid the put-back"
end

# The repair acts on an in-place target only when it is the volume the
# killed run was changing: one not mounted now is named, and nothing
# changes until it is back.
begin "killed amid the replacement in a volume that is not mounted when it runs again"
layout_mount "$TEMPLATES" "$SANDBOX/volume"
run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=placing LANGEXT_RAISE_AFTER=3
expect_status 137
umount "$TEMPLATES" && snapshot_product && cp "$RECORD_DIR/record" "$SANDBOX/record-before"
run_input '\n'
expect_output "${BANNER}Unable to repair the interrupted installation: $TEMPLATES is not mounted as it was. Mount it and run the installer again.\n\n"
expect_status 255
expect_product_untouched
cmp -s "$SANDBOX/record-before" "$RECORD_DIR/record" || fail "the record changed"
mount --bind "$SANDBOX/volume" "$TEMPLATES"
run_input '\n'
expect_output "$REPAIRED_SWAP"
expect_installed "$IMAGES"
expect_nothing_staged
umount "$TEMPLATES"
end

# A record whose entries are all gone (the product removed or restored
# by other means) is named as such, not as entries left alone.
begin "a record of which nothing is left"
run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=renameat2 LANGEXT_RAISE_AFTER=1
rm -rf /var/lib/tarnwick /var/lib/httpd
run_input '\n'
expect_output "${BANNER}Nothing that $RECORD_DIR/record names is where the interrupted installation left it. If the product is on a volume that is not mounted, mount it and run the installer again; otherwise remove $RECORD_DIR/record and run the installer again.\n\n"
expect_status 255
[ -f "$RECORD_DIR/record" ] || fail "the record is gone"
end

# A record the program did not write, or one that others could have
# written, is never acted on.
begin "refused: a record that is not this program's"
mkdir -m 700 "$RECORD_DIR" && printf 'langext-install record 1\nphase staging\n' > "$RECORD_DIR/record"
chmod 600 "$RECORD_DIR/record"
run_input '\n'
expect_output "${BANNER}Unable to use $RECORD_DIR/record: it is not a record this program wrote.\n\n"
expect_status 255
expect_product_untouched
end

begin "refused: a record in a directory that others may write, until it is closed again"
run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=openat LANGEXT_RAISE_AFTER=4
chmod 777 "$RECORD_DIR"
snapshot_product
run_input '\n'
expect_output "${BANNER}Unable to use $RECORD_DIR/record: it is not a record this program wrote.\n\n"
expect_status 255
expect_product_untouched
chmod 700 "$RECORD_DIR"
run_input '\n'
expect_output "$REPAIRED_STAGING"
expect_nothing_staged
end

# Another user replaces the staged templates after the run was killed in
# its swap: the repair finishes what it can prove its own and names the
# rest.
# After a kill between the language file's exchange and its move to
# NAME.old: someone else moves the staged templates away and plants their
# own, or moves the old language file away. Neither is taken for the
# run's; the run says what it cannot find and keeps the record.
for moved in templates language; do
  begin "an entry moved by someone else after a kill is left alone and named ($moved)"
  run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=renameat2 LANGEXT_RAISE_AFTER=1
  if [ "$moved" = templates ]; then
    staged=$(find /var/lib/tarnwick -maxdepth 1 -name '.templates.langext-*')
    mv "$staged" "$SANDBOX/moved" && mkdir "$staged" && touch "$staged/theirs"
  else
    mv /var/lib/tarnwick/conf/.language.cfg.langext-* "$SANDBOX/moved"
  fi
  run_input '\n'
  expect_status 255
  if [ "$moved" = templates ]; then
    grep -qxF "Left $staged alone: it is not what the interrupted installation made there." \
      "$SANDBOX/out" || fail "the planted entry is not named: $(cat "$SANDBOX/out")"
    grep -q "^Unable to finish installing $TEMPLATES\. " "$SANDBOX/out" || fail "no word on what to do"
    [ -f "$staged/theirs" ] || fail "the planted entry was touched"
    cmp -s "$ADDON/packages/conf/language.cfg" "$LANG_FILE" || fail "the language file was not finished"
  else
    grep -qxF "The old contents of $LANG_FILE are no longer where the interrupted installation left them." \
      "$SANDBOX/out" || fail "the old language file's absence is not named: $(cat "$SANDBOX/out")"
  fi
  [ -f "$RECORD_DIR/record" ] || fail "the record is gone, with the installation unfinished"
  end
done

# Runs the installer under strace, with the given settings in its
# environment; Enter at the prompt. The trace is left in $SANDBOX/trace.
run_traced() {
  (cd "$ADDON" && printf '\n' | strace -f -y -s 64 -o "$SANDBOX/trace" \
    -E ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 "${@/#/-E}" \
    -e trace=syncfs,fsync,fdatasync,sync,renameat2,renameat,rename,unlinkat,write,copy_file_range \
    ./langext-install) \
    > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
}

# The traced calls that make a run durable, one word a line, in order: a
# version of the record renamed into place (record), the receipt (receipt), the record's
# directory synced (durable), the record removed (unrecord), a write into
# the product or a copy in it (write), a syncfs with the directory it names (syncfs:DIR),
# a rename to NAME.old with its directory (old:DIR), any other rename or
# fsync, and the completion message.
traced_steps() {
  awk '
    / write\([0-9]+<\/var\/lib\/langext-install\/record>, "phase swap/ { print "swap"; next }
    / write\([0-9]+<\/var\/lib\/langext-install\/record>, "phase done/ { print "done"; next }
    / write\([0-9]+<\/var\/lib\/langext-install\/record>/ { print "log"; next }
    / fdatasync\([0-9]+<\/var\/lib\/langext-install\/record>\)/ { print "durable"; next }
    / fsync\([0-9]+<\/var\/lib\/langext-install>\)/ { print "named"; next }
    / renameat\([0-9]+<\/var\/lib\/langext-install>, "record", .*"receipt"\)/ { print "receipt"; next }
    /\([0-9]+<\/var\/lib(\/langext-install[^>]*)?>/ { next }
    / write\(1(<[^>]*>)?, "\\nInstallation completed/ { print "message"; next }
    / (write|copy_file_range)\([0-9]+<\/var\/lib\// { print "write"; next }
    / syncfs\(/ { sub(/^[^<]*</, ""); sub(/>.*/, ""); print "syncfs:" $0; next }
    / renameat2?\(.*\.old", / { sub(/^[^<]*</, ""); sub(/>.*/, ""); print "old:" $0; next }
    / fsync\(/ { print "fsync"; next }
    / (renameat2|renameat|rename)\(/ { print "rename"; next }
  ' "$SANDBOX/trace"
}

# Everything staged is on stable storage before the log says the steps have
# begun, that before the first rename, the renames and their directories
# before the log says they are done, and the receipt before the completion
# message; what is appended to the log is durable, its name in its
# directory synced, before the step that follows it.
begin "durable before the swap, and the swap before the message"
run_traced
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
order=$(traced_steps | sed -e '/^write$/d' -e 's/^syncfs:.*/syncfs/' -e 's/^old:.*/rename/' | uniq |
  tr '\n' ' ' | sed -E 's/(log durable )+/log durable /g')
[ "$order" = "log durable named log durable syncfs swap durable rename fsync done durable log durable receipt named message " ] ||
  fail "the order of calls is: $order"
end

# In place, each version of the record is durable before the step that
# follows it, and the copy of each target's old contents is on stable
# storage (a syncfs after its last write) before it is renamed to NAME.old:
# for targets found unmovable at the swap, and for mount points, whose
# copies are made before the sync of what was staged.
while IFS='|' read -r title setting; do
  begin "in place, $title: the record and the copy of the old contents are durable before each step"
  [ "$setting" = mounts ] && { layout_mount "$TEMPLATES" "$SANDBOX/volume" &&
    layout_mount "$IMAGES" "$SANDBOX/volume-images" || fail "cannot mount the volumes"; }
  run_traced LD_PRELOAD="$interpose" "LANGEXT_NO_EXCHANGE=${setting/mounts/none}"
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_status 1
  traced_steps > "$SANDBOX/steps"
  [ "$(grep -c '^old:' "$SANDBOX/steps")" = 3 ] ||
    fail "not every target was renamed to NAME.old: $(grep '^old:' "$SANDBOX/steps" | tr '\n' ' ')"
  awk '/^(log|swap|done)$/ { appended = 1; next } appended && $0 != "durable" { print $0 }
    { appended = 0 } END { if (appended) print "the end" }' "$SANDBOX/steps" > "$SANDBOX/undurable"
  [ -s "$SANDBOX/undurable" ] &&
    fail "what is appended to the log is not synced before what follows it: $(paste -sd ' ' "$SANDBOX/undurable")"
  awk '/^syncfs:/ { synced = 1 } /^write$/ { synced = 0 } /^old:/ && !synced { print substr($0, 5) }' \
    "$SANDBOX/steps" > "$SANDBOX/unsynced"
  [ -s "$SANDBOX/unsynced" ] &&
    fail "a copy becomes NAME.old before a syncfs after its last write, in: $(paste -sd ' ' "$SANDBOX/unsynced")"
  [ "$setting" = mounts ] && umount "$TEMPLATES" "$IMAGES"
  end
done <<EOT
the targets unmovable at the swap|EXDEV
the targets mount points|mounts
EOT

# A second run while the first waits at its prompt is refused before it
# asks anything, and changes nothing. A lock that anyone else holds on the
# configuration file, which all may read, blocks no run.
# The second is refused too where the first run locked a directory that a
# run ending just then removed, another taking its name (played by root's
# command right after the first run's lock): the first locks the one at
# the path before it goes on.
for moved in '' 'the directory it locked gone meanwhile'; do
  begin "one run at a time${moved:+: $moved}"
  # The holder's sleep must not outlive the case, nor hold the output open.
  flock -x /etc/tarnwick.conf sleep 120 > /dev/null 2>&1 &
  holder=$!
  mkfifo "$SANDBOX/answer"
  exec 3<> "$SANDBOX/answer"
  (cd "$ADDON" && exec env ${moved:+LD_PRELOAD="$interpose"} ASAN_OPTIONS=verify_asan_link_order=0 LANGEXT_PLANT_USER=0:0 \
    LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=flock LANGEXT_PLANT_NAME='*' \
    LANGEXT_PLANT_COMMAND="mv $RECORD_DIR $RECORD_DIR.gone && mkdir -m 0700 $RECORD_DIR" \
    timeout 60 ./langext-install <&3 > "$SANDBOX/first" 2>&1) &
  first=$!
  # Once it asks, it holds the lock.
  for _ in $(seq 300); do grep -q "^Web server" "$SANDBOX/first" && break; sleep 0.1; done
  run_input '\n'
  expect_output "${BANNER}Another installation is in progress.\n\n"
  expect_status 255
  expect_product_untouched
  printf '\n' >&3
  wait "$first" || [ $? = 1 ] || fail "the first run did not complete"
  exec 3>&-
  expect_installed "$IMAGES"
  grep -qxF "Installation completed!" "$SANDBOX/first" || fail "the first run did not complete: $(cat "$SANDBOX/first")"
  [ -z "$moved" ] || [ -d "$RECORD_DIR.gone" ] || fail "the directory it locked was not moved"
  pkill -P "$holder" sleep
  wait "$holder"
  rm -rf "$SANDBOX/answer" "$SANDBOX/first" "$RECORD_DIR.gone"
  end
done

# A language file inside a directory that the run replaces (it never
# worked: the template swap would carry it off), or one that is no file, is
# refused up front. The device and the FIFO are the sandbox's own, in its
# throwaway /var/lib: a run that took them would never reach the host's.
while IFS='|' read -r title language templates message; do
  rm -f /var/lib/device /var/lib/queue /var/lib/dangling
  if [ "$language" = /var/lib/device ] && ! mknod /var/lib/device c 1 3 2> /dev/null; then
    skip "refused: $title" "this user may not make a device node"
    continue
  fi
  begin "refused: $title"
  ln -s /var/lib/httpd/htdocs /var/lib/tarnwick/link && mkfifo /var/lib/queue &&
    ln -s nowhere /var/lib/dangling && snapshot_product
  printf 'langfile=%s\ntemplatedir=%s\n' "$language" "$templates" > /etc/tarnwick.conf
  run_input '\n'
  expect_output "${BANNER}${PROMPT}Unable to install: $message.\n\n"
  expect_status 255
  expect_product_untouched
  [ ! -e "$language.old" ] || fail "$language was set aside"
  end
done <<EOT
language file inside the template directory|$TEMPLATES/index.htx|$TEMPLATES|$TEMPLATES/index.htx lies inside $TEMPLATES
language file inside the images directory|$IMAGES/lang.cfg|$TEMPLATES|$IMAGES/lang.cfg lies inside $IMAGES
template directory inside the images directory|$LANG_FILE|$IMAGES/htx|$IMAGES/htx lies inside $IMAGES
template directory that is the images directory through a link|$LANG_FILE|/var/lib/tarnwick/link/images|/var/lib/tarnwick/link/images lies inside $IMAGES
language file that is a directory holding the template directory|/var/lib/tarnwick|$TEMPLATES|/var/lib/tarnwick is not a regular file
language file that is a device|/var/lib/device|$TEMPLATES|/var/lib/device is not a regular file
language file that is a FIFO|/var/lib/queue|$TEMPLATES|/var/lib/queue is not a regular file
language file that is a link to nowhere|/var/lib/dangling|$TEMPLATES|/var/lib/dangling is not a regular file
template directory that is a FIFO|$LANG_FILE|/var/lib/queue|/var/lib/queue is not a directory
EOT


# The undo of a completed installation.
source "$here/undo_cases.sh"
# The mechanism under both: one log of rename steps.
source "$here/mechanism_cases.sh"
# What the administrator asks of either program besides a run.
source "$here/interface_cases.sh"

# On a terminal a line of progress shows on standard error while the
# package is copied, and is gone at the end; on a pipe nothing is written
# there.
if command -v tmux > /dev/null; then
  begin "progress on a terminal, cleared before the final message"
  run_on_terminal 'echo | ./langext-install'
  grep -qx 'status=1' "$SANDBOX/screen" || fail "the run did not complete: $(cat "$SANDBOX/screen")"
  grep -q 'Copying packages/htx: [0-9]* of 13 files' "$SANDBOX/pane" || fail "no progress line was drawn"
  grep -q 'Copying' "$SANDBOX/screen" && fail "the progress line is still on the screen"
  grep -qxF "${PROMPT% }" "$SANDBOX/screen" || fail "the prompt was overwritten"
  grep -qx 'Installation completed!' "$SANDBOX/screen" || fail "no completion message"
  end
else
  skip "progress on a terminal" "tmux is not installed"
fi

begin "no progress on standard error when it is a pipe"
(cd "$ADDON" && printf '\n' | ./langext-install 2>&1 > "$SANDBOX/out" | cat > "$SANDBOX/err")
STATUS=$?
expect_completed
end

if [ -z "$archive" ]; then
  for title in "the add-on archive unpacks with its modes and installs" \
    "the archive's program installs in an otherwise empty root"; do
    skip "$title" "no archive was given (the run under valgrind checks the program, not the archive)"
  done
else
  begin "the add-on archive unpacks with its modes and installs"
  mkdir "$SANDBOX/unpacked" && tar -xpzf "$archive" -C "$SANDBOX/unpacked"
  ADDON=$SANDBOX/unpacked/language-extensions
  [ "$(stat -c %a "$ADDON/langext-install")" = 755 ] || fail "the program is not 0755"
  [ "$(stat -c %a "$ADDON/packages/htx/tools/langctl")" = 4755 ] || fail "the set-user-ID sample lost its mode"
  run_input '\n'
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_status 1
  expect_installed "$IMAGES"
  [ "$(stat -c %a "$TEMPLATES/tools/langctl")" = 4755 ] || fail "set-user-ID not installed"
  rm -rf "$SANDBOX/unpacked"
  end

  # The archive's program needs nothing but the kernel: it installs from a
  # root that holds only the product, the add-on and /dev/null.
  if [ "${LANGEXT_ARCHIVE_DYNAMIC:-}" = 1 ]; then
    skip "the archive's program in an empty root" "this build packs the dynamic program (sanitizers)"
  else
    begin "the archive's program installs in an otherwise empty root"
    root=$SANDBOX/root
    mkdir -p "$root/dev" "$root/etc" "$root/var/lib" && touch "$root/dev/null" &&
      mount --bind /dev/null "$root/dev/null" && tar -xpzf "$archive" -C "$root" &&
      cp -a /etc/tarnwick.conf "$root/etc/" && cp -a /var/lib/tarnwick /var/lib/httpd "$root/var/lib/"
    program_in_root=$root/language-extensions/langext-install
    file -b "$program_in_root" | grep -q 'static-pie linked' || fail "not static: $(file -b "$program_in_root")"
    readelf -lW "$program_in_root" | grep -q INTERP && fail "it asks for a program interpreter"
    readelf -dW "$program_in_root" | grep -q NEEDED && fail "it needs shared libraries"
    printf '\n' | unshare --root="$root" --wd=/language-extensions ./langext-install \
      > "$SANDBOX/out" 2> "$SANDBOX/err"
    STATUS=$?
    umount "$root/dev/null"
    expect_output "$BANNER$PROMPT$COMPLETED"
    expect_status 1
    cmp -s "$ADDON/packages/conf/language.cfg" "$root$LANG_FILE" || fail "language file not installed"
    expect_same_tree "$ADDON/packages/htx" "$root$TEMPLATES"
    expect_same_tree "$ADDON/packages/images" "$root$IMAGES"
    [ -f "$root$LANG_FILE.old" ] && [ -d "$root$TEMPLATES.old" ] && [ -d "$root$IMAGES.old" ] ||
      fail "the old targets were not kept"
    rm -rf "$root"
    end
  fi
fi

echo
echo "end to end: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
