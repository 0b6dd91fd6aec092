#!/usr/bin/env bash
# End-to-end tests: the built installer runs as a child with its standard
# input fed and its standard output compared byte for byte, in a private
# mount namespace whose /etc/tarnwick.conf, product files and default
# document root belong to the test alone.
# Usage: end_to_end.sh PROGRAM SAMPLE_DIR PLANT_LINK_LIBRARY [ADDON_ARCHIVE]
set -uo pipefail
program=$(realpath "$1")
sample=$(realpath "$2")
plant_link=$(realpath "$3")
archive=${4:+$(realpath "$4")}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/sandbox.sh"

if [ "${LANGEXT_SANDBOX:-}" != 1 ]; then
  sandbox_enter "$0" "$program" "$sample" "$plant_link" ${archive:+"$archive"} || {
    echo "SKIPPED: this system allows no private mount namespace, and without one the"
    echo "installer could only be run against the host's own /etc and /var."
    exit 77
  }
fi
sandbox_prepare "$(dirname "$program")/e2e-sandbox"

BANNER='Tarnwick 3.0 Language Extensions - Installation program\n\n'
PROMPT='Web server document root directory [/var/lib/httpd/htdocs]: '
COMPLETED='\nInstallation completed!\n\n'
FAILED='\nInstallation failed.\n\n'
LANG_FILE=/var/lib/tarnwick/conf/language.cfg
TEMPLATES=/var/lib/tarnwick/templates
IMAGES=/var/lib/httpd/htdocs/images
WWW=$SANDBOX/www

passed=0 failed=0 skipped=0 current='' case_failed=0

fail() { echo "FAIL [$current]: $*"; case_failed=1; }

# Each case starts from the sample product as installed, and a fresh add-on.
begin() {
  current=$1 case_failed=0
  rm -rf /etc/tarnwick.conf /var/lib/tarnwick /var/lib/httpd "$SANDBOX/addon" "$WWW" \
    "$SANDBOX/product-before"
  mkdir -p "$WWW"
  sandbox_install_product "$sample"
  ADDON=$(sandbox_unpack_addon "$program" "$sample")
}

end() {
  if [ "$case_failed" = 0 ]; then
    passed=$((passed + 1))
    echo "ok   $current"
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

# Feeds the bytes that printf makes of the arguments, all in one read.
run_input() {
  printf "$@" > "$SANDBOX/in"
  run < "$SANDBOX/in"
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
    diff -r "$1" "$2" >> "$SANDBOX/diff" ||
    { fail "$2 differs from $1"; sed 's/^/    /' "$SANDBOX/diff"; }
}

# The product exactly as sandbox_install_product leaves it, nothing renamed.
expect_product_untouched() {
  local saved=$SANDBOX/product-before
  [ -d "$saved" ] || { mkdir -p "$saved"; cp -a /var/lib/tarnwick /var/lib/httpd "$saved/"; }
  expect_same_tree "$saved/tarnwick" /var/lib/tarnwick
  expect_same_tree "$saved/httpd" /var/lib/httpd
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

begin "complete run installs everything and keeps the originals as .old"
run_input '\n'
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
expect_installed "$IMAGES"
expect_set_aside "$IMAGES.old"
end

begin "a second run refuses because the backups exist, and changes nothing"
run_input '\n'
cp -a /var/lib/tarnwick /var/lib/httpd "$SANDBOX/" && mv "$SANDBOX/tarnwick" "$SANDBOX/t1" && mv "$SANDBOX/httpd" "$SANDBOX/h1"
run_input '\n'
expect_output "${BANNER}${PROMPT}Unable to rename $LANG_FILE to $LANG_FILE.old. File already exists.\n\n"
expect_status 255
expect_same_tree "$SANDBOX/t1" /var/lib/tarnwick
expect_same_tree "$SANDBOX/h1" /var/lib/httpd
rm -rf "$SANDBOX/t1" "$SANDBOX/h1"
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
unreadable|DIRECTORY|Unable to read /etc/tarnwick.conf.\n\n
language file not set|templatedir=$TEMPLATES\n|The language file is not set in /etc/tarnwick.conf.\n\n
template directory not set|langfile=$LANG_FILE\ntemplatedir=/\n|The template directory is not set in /etc/tarnwick.conf.\n\n
language file too long|langfile=/$long\ntemplatedir=$TEMPLATES\n|The language file name in /etc/tarnwick.conf is too long.\n\n
template directory too long|langfile=$LANG_FILE\ntemplatedir=/$long\n|The template directory name in /etc/tarnwick.conf is too long.\n\n
EOT

while IFS='|' read -r title backup kind; do
  begin "backup taken: $title, nothing is renamed"
  if [ "$kind" = File ]; then touch "$backup"; else mkdir "$backup"; fi
  expect_product_untouched
  target=${backup%.old}
  run_input '\n'
  expect_output "${BANNER}${PROMPT}Unable to rename $target to $backup. $kind already exists.\n\n"
  expect_status 255
  expect_product_untouched
  end
done <<EOT
language file|$LANG_FILE.old|File
template directory|$TEMPLATES.old|Directory
images directory|$IMAGES.old|Directory
EOT

begin "a rename that fails is rolled back: a file holds the directory's backup name"
expect_product_untouched
touch "$TEMPLATES.old"
run_input '\n'
expect_output "${BANNER}${PROMPT}Unable to rename $TEMPLATES to $TEMPLATES.old.\n\n"
expect_status 255
rm "$TEMPLATES.old"
expect_product_untouched
end

begin "a rename that fails is rolled back: read-only document root"
expect_product_untouched
mount --bind /var/lib/httpd/htdocs /var/lib/httpd/htdocs &&
  mount -o remount,bind,ro /var/lib/httpd/htdocs
run_input '\n'
umount /var/lib/httpd/htdocs
expect_output "${BANNER}${PROMPT}Unable to rename $IMAGES to $IMAGES.old.\n\n"
expect_status 255
expect_product_untouched
end

# A full disk: the copy reports what it could not write and the run fails,
# with every backup intact and no partial file left looking installed.
begin "full disk under the template directory"
rm -rf /var/lib/tarnwick && mkdir /var/lib/tarnwick &&
  mount -t tmpfs -o size=64k langext-full /var/lib/tarnwick
sandbox_install_product "$sample"
head -c 200000 /dev/urandom > "$ADDON/packages/htx/big.bin"
run_input '\n'
expect_output "${BANNER}${PROMPT}Unable to copy packages/htx/big.bin to $TEMPLATES/big.bin.\n\n$FAILED"
expect_status 255
[ -e "$TEMPLATES/big.bin" ] && fail "a partial copy is left in place"
expect_set_aside "$IMAGES.old"
expect_same_tree "$ADDON/packages/images" "$IMAGES"
umount /var/lib/tarnwick
end

begin "full disk under the images directory"
mount -t tmpfs -o size=64k langext-full "$WWW"
mkdir "$WWW/images" && printf 'GIF89a-old-logo' > "$WWW/images/logo.gif"
head -c 200000 /dev/urandom > "$ADDON/packages/images/big.bin"
run_input '%s\n' "$WWW"
expect_output "${BANNER}${PROMPT}Unable to copy packages/images/big.bin to $WWW/images/big.bin.\n\n$FAILED"
expect_status 255
expect_set_aside "$WWW/images.old"
[ -e "$WWW/images/big.bin" ] && fail "a partial copy is left in place"
expect_same_tree "$ADDON/packages/htx" "$TEMPLATES"
umount "$WWW"
end

# Entries of the package that are not regular files: each is reported, none
# blocks the run, and the rest of the package is installed.
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
  [ -e "$TEMPLATES/$entry" ] || [ -L "$TEMPLATES/$entry" ] && fail "$entry was created"
done
grep -qxF "Installation failed." "$SANDBOX/out" || fail "failure not reported"
expect_status 255
rm -f "$ADDON"/packages/htx/{fifo,dangling,dirlink,device}
expect_same_tree "$ADDON/packages/htx" "$TEMPLATES"
expect_same_tree "$ADDON/packages/images" "$IMAGES"
end

begin "a package on a read-only medium installs"
mount --bind "$ADDON/packages" "$ADDON/packages" && mount -o remount,bind,ro "$ADDON/packages"
run_input '\n'
expect_output "$BANNER$PROMPT$COMPLETED"
expect_status 1
expect_installed "$IMAGES"
umount "$ADDON/packages"
end

# Nested directories in the package whose deepest file has a source path of
# exactly the given length; the templates go to a short directory so that
# the destination paths fit whenever the source paths do.
make_deep_package() {
  local path=packages/htx length=$1
  while [ $((length - ${#path})) -gt 201 ]; do
    path="$path/$(printf 'd%.0s' $(seq 150))"
  done
  local name
  name=$(printf 'f%.0s' $(seq $((length - ${#path} - 1))))
  mkdir -p "$ADDON/$path" && printf 'deep' > "$ADDON/$path/$name"
  DEEP_FILE=${path#packages/htx/}/$name
  printf 'langfile=%s\ntemplatedir=/var/lib/t\n' "$LANG_FILE" > /etc/tarnwick.conf
}

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
grep -q "Unable to copy packages/htx/.*/fff* to /var/lib/t/.*/fff*\.$" "$SANDBOX/out" ||
  fail "the long path is not reported"
grep -qxF "Installation failed." "$SANDBOX/out" || fail "failure not reported"
expect_status 255
[ -e "/var/lib/t/$DEEP_FILE" ] && fail "a file past the limit was copied"
end

# Another local user plants a symbolic link right after the installer's call
# returns; the link's target must stay untouched and the run must fail.
while IFS='|' read -r title call name planted link; do
  begin "hostile link: $title"
  mkdir -p "$SANDBOX/victim/dir" && printf 'victim' > "$SANDBOX/victim/file"
  [ "$planted" = file ] && target=$SANDBOX/victim/file || target=$SANDBOX/victim/dir
  (cd "$ADDON" && printf '\n' | LANGEXT_PLANT_CALL=$call LANGEXT_PLANT_NAME=$name \
    LANGEXT_PLANT_TARGET=$target LD_PRELOAD=$plant_link ASAN_OPTIONS=verify_asan_link_order=0 \
    timeout 60 ./langext-install) > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
  [ -L "$link" ] || fail "no link was planted: $(cat "$SANDBOX/err")"
  [ "$(cat "$SANDBOX/victim/file")" = victim ] || fail "the victim file was written"
  [ -z "$(ls -A "$SANDBOX/victim/dir")" ] || fail "the victim directory was written"
  grep -qxF "Installation failed." "$SANDBOX/out" || fail "failure not reported"
  expect_status 255
  rm -rf "$SANDBOX/victim"
  end
done <<EOT
at the language file between its set-aside and its copy|renameat2|$LANG_FILE|file|$LANG_FILE
in place of the new template directory|mkdirat|templates|dir|$TEMPLATES
in place of the new images directory|mkdirat|images|dir|$IMAGES
in place of a subdirectory of the templates|mkdirat|admin|dir|$TEMPLATES/admin
EOT

if [ -n "$archive" ]; then
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
fi

echo
echo "end to end: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
