# Sourced by end_to_end.sh, whose helpers and sandbox it uses: langext-undo
# puts the product back as it was before the last completed installation,
# from the receipt that the installation left, with the installer's own
# mechanism; and refuses, changing nothing, what it cannot put back whole.

undo_program=$(dirname "$program")/langext-undo
UNDO_BANNER='Tarnwick 3.0 Language Extensions - Undo program\n\n'
UNDONE='Undo completed!\n\n'
SEE_CHECK='Run langext-undo --check to see what changed.\n\n'
NOTHING_TO_UNDO="${UNDO_BANNER}There is no installation to undo: $RECORD_DIR/receipt does not exist.\n\n"
put_back() { printf 'Put back %s as it was before the installation.\\n\\n' "$@"; }
removed() { printf 'Removed %s, which the installation had made.\\n\\n' "$@"; }
UNDONE_ALL="$UNDO_BANNER$(put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES")$UNDONE"

# Puts langext-undo beside the installer in the add-on's folder, as the
# archive has it; under valgrind it runs there under it too.
undo_beside() {
  cp "$undo_program" "$ADDON/langext-undo" || fail "no $undo_program"
  [ -z "${LANGEXT_RUN_UNDER:-}" ] && return
  mv "$ADDON/langext-undo" "$ADDON/undo-program" &&
    printf '#!/bin/sh\nexec %s ./undo-program "$@"\n' "$LANGEXT_RUN_UNDER" > "$ADDON/langext-undo" &&
    chmod 0755 "$ADDON/langext-undo"
}

# Runs langext-undo with no input and the given settings in its
# environment (the interposer loaded when any are given). The subshell
# waits for it, so that the shell says nothing of a kill.
run_undo() {
  (cd "$ADDON" && if [ $# = 0 ]; then timeout 60 ./langext-undo; else
    env "$@" LD_PRELOAD="$interpose" ASAN_OPTIONS=verify_asan_link_order=0 \
      timeout 60 ./langext-undo; fi) < /dev/null > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
  [ "$STATUS" = 124 ] && fail "langext-undo hung"
}

# Everything an exact put-back must show again, of the three targets.
product_listing() {
  [ ! -e "$LANG_FILE" ] || { file_listing "$LANG_FILE" && cat "$LANG_FILE"; }
  for dir in "$TEMPLATES" "$IMAGES"; do [ -e "$dir" ] && kept_listing "$dir"; done
  ls -a "$(dirname "$LANG_FILE")" "$(dirname "$TEMPLATES")" "$(dirname "$IMAGES")"
}

expect_as_before() {
  diff <(printf '%s\n' "$1") <(product_listing) > "$SANDBOX/diff" ||
    { fail "the product is not as it was before the installation"; sed 's/^/    /' "$SANDBOX/diff"; }
  [ -e "$RECORD_DIR" ] && fail "the record's directory is left: $(ls -A "$RECORD_DIR")"
  expect_nothing_staged
}

# The layouts of the round trips (lay_out): where the kernel will not move
# a target, the installer installed it in place, and the undo puts it back
# in place.
lay_away() {
  umount "$LANG_FILE" "$IMAGES" "$TEMPLATES" /var/lib/tarnwick /var/lib/httpd/htdocs 2> /dev/null
}

# Install, then undo: the product byte for byte, mode for mode, owner,
# times, links, ACLs and attributes as before; no NAME.old, nothing staged,
# no record nor receipt. A mount point stays one. A new installation then
# works as a first one does.
while IFS='|' read -r title layout output; do
  if [ "$layout" = overlay ] && [ -n "$overlay_refused" ]; then
    skip "undo round trip: $title" "$overlay_refused"
    continue
  fi
  begin "undo round trip: $title"
  undo_beside
  decorate_product
  lay_out "$layout"
  before=$(product_listing)
  run_input '\n'
  expect_status 1
  [ -f "$RECORD_DIR/receipt" ] || fail "no receipt after a completed installation"
  [ "$(stat -c '%a %U' "$RECORD_DIR/receipt" "$RECORD_DIR")" = "$(printf '600 root\n700 root')" ] ||
    fail "the receipt is open to others: $(stat -c '%n %a %U' "$RECORD_DIR/receipt" "$RECORD_DIR")"
  awk '$1 == "digest" { n++; key = $(NF-2) $(NF-1); if (length(key) == 32 && key !~ /[^0-9a-f]/ && key ~ /[^0]/) keyed++ }
    END { exit !(n > 0 && keyed == n) }' "$RECORD_DIR/receipt" || fail "a digest of the receipt has no key"
  run_undo
  expect_output "$UNDO_BANNER$(eval "$output")$UNDONE"
  expect_status 0
  expect_as_before "$before"
  case $layout in
    templates) mounted=$TEMPLATES ;; images) mounted=$IMAGES ;; language) mounted=$LANG_FILE ;;
    overlay) mounted=/var/lib/tarnwick ;; *) mounted='' ;;
  esac
  [ -z "$mounted" ] || findmnt -n --mountpoint "$mounted" > /dev/null ||
    fail "$mounted is no longer a mount point"
  run_input '\n'
  expect_output "$BANNER$PROMPT$COMPLETED"
  expect_installed "$IMAGES"
  lay_away
  end
done <<'EOT'
plain targets|plain|put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES"
a bind-mounted template directory|templates|put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES"
a tmpfs mounted at the images directory|images|put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES"
a bind-mounted language file|language|put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES"
the templates and images in an overlay's lower layer|overlay|put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES"
an images directory that did not exist|no-images|put_back "$LANG_FILE" "$TEMPLATES"; removed "$IMAGES"
a language file that did not exist|no-language|removed "$LANG_FILE"; put_back "$TEMPLATES" "$IMAGES"
EOT

# Whatever changed since the installation is named, and nothing changes:
# an installed file edited, an entry added to an installed tree, a
# NAME.old changed or gone, an installed target replaced.
while IFS='|' read -r title change message; do
  begin "undo refused: $title"
  undo_beside
  run_input '\n'
  eval "$change" || fail "cannot make the change"
  snapshot_product
  receipt=$(cat "$RECORD_DIR/receipt")
  run_undo
  expect_output "$UNDO_BANNER$(eval echo "\"$message\"")\n\n$SEE_CHECK"
  expect_status 255
  expect_product_untouched
  [ "$(cat "$RECORD_DIR/receipt" 2> /dev/null)" = "$receipt" ] || fail "the receipt changed"
  [ -e "$RECORD_DIR/record" ] && fail "a record is left"
  expect_nothing_staged
  end
done <<'EOT'
a template edited by hand in place, its size and time kept|f=$TEMPLATES/index.htx; t=$(stat -c %y "$f"); printf X 1<> "$f"; touch -d "$t" "$f"|Unable to undo: $TEMPLATES was changed since the installation.
a file added to the images|touch "$IMAGES/upload.gif"|Unable to undo: $IMAGES was changed since the installation.
a mode changed in a subdirectory|chmod 0700 "$TEMPLATES/tools"|Unable to undo: $TEMPLATES was changed since the installation.
the language file replaced by a copy of itself|cp -p "$LANG_FILE" "$LANG_FILE.x" && mv "$LANG_FILE.x" "$LANG_FILE"|Unable to undo: $LANG_FILE was changed since the installation.
an old template changed in NAME.old|echo changed >> "$TEMPLATES.old/index.htx"|Unable to undo: $TEMPLATES.old is not what the installation left there.
NAME.old gone|rm -r "$IMAGES.old"|Unable to undo: $IMAGES.old is not what the installation left there.
two targets changed: both named|echo x >> "$LANG_FILE"; touch "$IMAGES.old/new.gif"|Unable to undo: $LANG_FILE was changed since the installation.\n\nUnable to undo: $IMAGES.old is not what the installation left there.
EOT

# In a volume that others may write in, NAME.old has the volume root's own
# mode once the installation is done. The undo closes it to them before it
# relies on it: what another user changed there just before is found and
# refused, NAME.old opened again; once closed, they can change nothing, and
# the undo puts back what the installation left.
while IFS='|' read -r title call name outcome where; do
  if [ -n "$other_user_refused" ]; then skip "undo in a volume others may write in: $title" "$other_user_refused"; continue; fi
  begin "undo in a volume others may write in: $title"
  undo_beside
  writable_volume "$IMAGES"
  before=$(product_listing)
  run_input '\n'
  expect_status 1
  snapshot_product
  run_program=./langext-undo run_with_other_user "$call" "$name" \
    "cd $IMAGES.old && mv logo.gif logo-aside.gif" LANGEXT_PLANT_IN="$(eval "printf '%s' \"$where\"")"
  if [ "$outcome" = refused ]; then
    expect_output "${UNDO_BANNER}Unable to undo: $IMAGES.old is not what the installation left there.\n\nUndo failed.\n\n"
    expect_status 255
    [ "$(stat -c %a "$IMAGES.old")" = 777 ] || fail "$IMAGES.old is not opened again"
    mv "$IMAGES.old/logo-aside.gif" "$IMAGES.old/logo.gif"
    expect_product_untouched
  else
    expect_output "$UNDO_BANNER$(put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES")$UNDONE"
    expect_status 0
    expect_as_before "$before"
  fi
  umount "$IMAGES"
  end
done <<'EOT'
NAME.old changed just before it is closed|mkdirat|.images.langext-*|refused|/var/lib/httpd/htdocs
NAME.old unchanged once closed|renameat2|logo.gif|undone|$IMAGES*
EOT

begin "undo: with no receipt there is nothing to undo, and nothing changes"
undo_beside
run_undo
expect_output "$NOTHING_TO_UNDO"
expect_status 255
expect_product_untouched
[ -e "$RECORD_DIR" ] && fail "the record's directory is left"
end

begin "undo: a second undo finds nothing to undo"
undo_beside
before=$(product_listing)
run_input '\n'
run_undo
run_undo
expect_output "$NOTHING_TO_UNDO"
expect_status 255
expect_as_before "$before"
end

begin "undo refused: a receipt the program did not write, or one others could write"
undo_beside
run_input '\n'
snapshot_product
cp -p "$RECORD_DIR/receipt" "$SANDBOX/receipt"
sed -i '2s/target/targets/' "$RECORD_DIR/receipt"
run_undo
expect_output "${UNDO_BANNER}Unable to use $RECORD_DIR/receipt: it is not a receipt this program wrote.\n\n"
expect_status 255
cp -p "$SANDBOX/receipt" "$RECORD_DIR/receipt" && chmod 644 "$RECORD_DIR/receipt"
run_undo
expect_output "${UNDO_BANNER}Unable to use $RECORD_DIR/receipt: it is not a receipt this program wrote.\n\n"
expect_status 255
expect_product_untouched
end

if [ "${LANGEXT_SANDBOX_USERNS:-}" = 1 ]; then
  skip "undo: an unprivileged user is refused" "inside a user namespace that maps only root there is no other user to run as"
else
  begin "undo: an unprivileged user is refused"
  undo_beside
  run_input '\n'
  snapshot_product
  (cd "$ADDON" && setpriv --reuid=65534 --regid=65534 --clear-groups ./langext-undo) < /dev/null \
    > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
  expect_output "${UNDO_BANNER}This program must be run as root.\n\n"
  expect_status 255
  expect_product_untouched
  end
fi

# An undo killed after each of its disk-changing calls in turn (see
# kill_points): every target is then wholly installed or wholly as before
# (in place, each file wholly one or the other, NAME.old whole until the
# target is back), and the next undo finishes the job, whichever way it
# says so; a kill once all is done leaves nothing to undo.
UNDO_REPAIRED_STAGING="${UNDO_BANNER}Removed what an interrupted installation had staged.\n\n$(put_back "$LANG_FILE" "$TEMPLATES" "$IMAGES")$UNDONE"
UNDO_REPAIRED="${UNDO_BANNER}Finished the undo that was interrupted.\n\n$UNDONE"
undo_reset() {
  lay_away
  rm -rf /var/lib/tarnwick /var/lib/httpd "$RECORD_DIR" "$SANDBOX/ovl" "$SANDBOX/volume" &&
    sandbox_install_product "$sample" && lay_out "$1" && before=$(product_listing) &&
    snapshot_product || return
  run_input '\n'
  [ "$STATUS" = 1 ]
}
# The same contents, whatever a staging directory inside the second holds.
same_but_staged() {
  if [ -d "$1" ] && [ -d "$2" ]; then
    [ "$(tree_listing "$1")" = "$(tree_listing "$2" | grep -v -E '(^. [0-7]+ |/)\.[^/]*langext-')" ] &&
      diff -r -x '.*.langext-*' "$1" "$2" > /dev/null
  else
    same_contents "$1" "$2"
  fi
}
undo_target_states() {
  local saved=$SANDBOX/product-before
  local -a targets=("$LANG_FILE" "$TEMPLATES" "$IMAGES")
  local -a packages=("$ADDON/packages/conf/language.cfg" "$ADDON/packages/htx" "$ADDON/packages/images")
  local -a olds=("$saved/tarnwick/conf/language.cfg" "$saved/tarnwick/templates" "$saved/httpd/htdocs/images")
  for i in 0 1 2; do
    if same_but_staged "${olds[i]}" "${targets[i]}"; then echo old
    elif same_contents "${packages[i]}" "${targets[i]}" && same_contents "${olds[i]}" "${targets[i]}.old"; then echo new
    elif same_contents "${olds[i]}" "${targets[i]}.old" &&
      each_file_old_or_new "${targets[i]}" "${packages[i]}" "${olds[i]}"; then echo mixed
    else echo broken
    fi
  done
}
while IFS='|' read -r title layout; do
  begin "undo killed at every step, then run again: $title"
  undo_beside
  undo_reset "$layout" || fail "cannot lay out and install the product"
  run_undo LANGEXT_RAISE_CALL=any LANGEXT_CALL_COUNT_FILE="$SANDBOX/calls"
  expect_status 0
  outcomes='' repairs=''
  for after in $(kill_points 1 "$(cat "$SANDBOX/calls")"); do
    undo_reset "$layout" || { fail "cannot lay out and install the product"; break; }
    run_undo LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=any LANGEXT_RAISE_AFTER="$after"
    [ "$STATUS" = 0 ] && break
    [ "$STATUS" = 137 ] || fail "killed at call $after, but the status is $STATUS"
    for state in $(undo_target_states); do
      [ "$state" = broken ] && fail "a target is broken after a kill at call $after"
      outcomes="$outcomes $state"
    done
    run_undo
    repair=0
    for output in "$UNDONE_ALL" "$UNDO_REPAIRED_STAGING" "$UNDO_REPAIRED" "$NOTHING_TO_UNDO"; do
      printf "$output" | cmp -s - "$SANDBOX/out" && break
      repair=$((repair + 1))
    done
    repairs="$repairs $repair"
    expect_output "$output"
    if [ "$repair" = 3 ]; then expect_status 255; else expect_status 0; fi
    expect_as_before "$before"
    [ "$case_failed" = 1 ] && { echo "    after a kill at call $after"; break; }
  done
  lay_away
  [ "$STATUS" = 0 ] || fail "no undo got to the end"
  if sweep_judged; then
    [[ $outcomes == *new* && $outcomes == *old* ]] || fail "not both outcomes occurred:$outcomes"
    [[ $repairs == *2* ]] || fail "no kill fell amid the put-back:$repairs"
  fi
  end
done <<'EOT'
plain targets|plain
a bind-mounted template directory|templates
EOT

# A killed undo is finished by the next run of either program: the
# installer finishes it, then installs as a first run does.
begin "undo killed amid the put-back, then the installer runs"
undo_beside
undo_reset templates || fail "cannot lay out and install the product"
run_undo LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=renameat2 LANGEXT_RAISE_AFTER=2
expect_status 137
printf '\n' > "$SANDBOX/in"
run < "$SANDBOX/in"
expect_output "${BANNER}Finished the undo that was interrupted.\n\n$PROMPT$COMPLETED"
expect_status 1
expect_installed "$IMAGES"
expect_set_aside "$IMAGES.old"
run_undo
expect_output "$UNDONE_ALL"
expect_as_before "$before"
lay_away
end

# A failure is told by its own reason, even where closing what failed fails
# too, as a FUSE flush may: the undo fails, and the product stays installed.
begin "undo: a failure is told by its own reason, not by the close after it"
undo_beside
undo_reset plain || fail "cannot lay out and install the product"
installed=$(product_listing)
run_undo LANGEXT_FAIL_CALL=fsync LANGEXT_FAIL_AFTER=1 LANGEXT_FAIL_ERRNO=5 \
  LANGEXT_FAIL_PATH="$LANG_FILE" LANGEXT_CLOSE_ERRNO=107
grep -qxF "Unable to put back $LANG_FILE. Input/output error." "$SANDBOX/out" ||
  fail "not told by its own reason: $(cat "$SANDBOX/out")"
grep -qxF "Undo failed." "$SANDBOX/out" || fail "the undo did not fail: $(cat "$SANDBOX/out")"
expect_status 255
[ "$(product_listing)" = "$installed" ] ||
  fail "not as installed: $(diff <(echo "$installed") <(product_listing))"
lay_away
end

if [ -z "$archive" ]; then
  skip "the add-on archive holds langext-undo" "no archive was given"
else
  begin "the add-on archive holds langext-undo beside the installer"
  mkdir "$SANDBOX/unpacked" && tar -xpzf "$archive" -C "$SANDBOX/unpacked"
  [ "$(stat -c %a "$SANDBOX/unpacked/language-extensions/langext-undo")" = 755 ] ||
    fail "no langext-undo 0755 in the archive"
  rm -rf "$SANDBOX/unpacked"
  end
fi
