# Sourced by end_to_end.sh after the undo's cases, whose helpers it uses:
# what the log of rename steps, read forwards or backwards, must hold to
# against another local user, a careless administrator, a kill at any
# step, and what the cases before it do not reach.

# One sweep judges both goals: an installation in place killed after each
# of its disk-changing calls, or its undo, then either program, in turn:
# every target ends wholly installed with NAME.old exactly as the old
# contents were, or wholly as it was before, and nothing staged is left.
judge_targets() {
  local i target
  local -a targets=("$LANG_FILE" "$TEMPLATES" "$IMAGES")
  local -a packages=("$ADDON/packages/conf/language.cfg" "$ADDON/packages/htx" "$ADDON/packages/images")
  for i in 0 1 2; do
    target=${targets[i]}
    if [ ! -e "$target.old" ] && [ "$(kept_or_file "$target")" = "${judged_before[i]}" ]; then
      echo before
    elif same_contents "${packages[i]}" "$target" && [ "$(kept_or_file "$target.old")" = "${judged_before[i]}" ]; then
      echo installed
    else
      echo broken
    fi
  done
}
kept_or_file() { if [ -d "$1" ]; then kept_listing "$1"; else file_listing "$1" && cat "$1"; fi; }
for killed in installation undo; do
  begin "killed at every step of an $killed in place, then either program: every target installed with NAME.old exact, or as before"
  undo_beside
  judge_reset() {
    rm -rf /var/lib/tarnwick /var/lib/httpd "$RECORD_DIR" && sandbox_install_product "$sample" && decorate_product &&
      judged_before=("$(kept_or_file "$LANG_FILE")" "$(kept_or_file "$TEMPLATES")" "$(kept_or_file "$IMAGES")") || return
    [ "$killed" = installation ] && return
    run_interposed LANGEXT_NO_EXCHANGE=EXDEV
    [ "$STATUS" = 1 ]
  }
  judge_reset || fail "cannot lay out the product"
  if [ "$killed" = installation ]; then
    run_interposed LANGEXT_NO_EXCHANGE=EXDEV LANGEXT_RAISE_CALL=any LANGEXT_CALL_COUNT_FILE="$SANDBOX/calls"
  else
    run_undo LANGEXT_RAISE_CALL=any LANGEXT_CALL_COUNT_FILE="$SANDBOX/calls"
  fi
  goals='' turn=0
  for after in $(kill_points 1 "$(cat "$SANDBOX/calls")"); do
    judge_reset || { fail "cannot lay out the product"; break; }
    if [ "$killed" = installation ]; then
      run_interposed LANGEXT_NO_EXCHANGE=EXDEV LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=any LANGEXT_RAISE_AFTER="$after"
    else
      run_undo LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=any LANGEXT_RAISE_AFTER="$after"
    fi
    last=$STATUS
    # Either program may come next: the installer after every other kill
    # (by turn, not by call: a sampled sweep's calls may all be odd).
    turn=$((turn + 1))
    if [ $((turn % 2)) = 0 ]; then run_interposed LANGEXT_NO_EXCHANGE=EXDEV; else run_undo; fi
    # An undo with nothing to undo, or an installation whose backups are
    # there, refuses; nothing else may.
    [ "$STATUS" = 1 ] || [ "$STATUS" = 0 ] ||
      grep -q "There is no installation to undo\|File already exists" "$SANDBOX/out" ||
      fail "after a kill at call $after, the next run: status $STATUS: $(cat "$SANDBOX/out")"
    states=$(judge_targets | sort -u | tr '\n' ' ')
    case $states in
      "before " | "installed ") goals="$goals ${states% }" ;;
      *) fail "after a kill at call $after and the next run, the targets are: $states" ;;
    esac
    expect_nothing_staged
    [ -e "$RECORD_DIR/record" ] && fail "a record is left after a kill at call $after"
    [ "$case_failed" = 1 ] && { echo "    after a kill at call $after"; break; }
    [ "$last" = 137 ] || break
  done
  ! sweep_judged || [[ $goals == *before* && $goals == *installed* ]] || fail "not both goals were reached:$goals"
  end
done

# NAME.old is opened to others only once the receipt's digest holds what
# it was: another user who renames root's directory away in it and theirs in
# its place, right as it opens, has the undo refuse, handed nothing.
if [ -n "$other_user_refused" ]; then
  skip "undo refused: NAME.old changed as the installation opens it to others" "$other_user_refused"
else
  begin "undo refused: NAME.old changed as the installation opens it to others"
  undo_beside
  writable_volume "$IMAGES"
  mkdir -m 0755 "$IMAGES/flags" && printf 'GIF89a-old-de' > "$IMAGES/flags/de.gif" || fail "cannot lay out the volume"
  run_with_other_user unlinkat '*' "cd $IMAGES.old && mv flags flags-root && mkdir flags" \
    LANGEXT_PLANT_IN="$IMAGES/.images.langext-*"
  expect_status 1
  run_undo
  expect_output "${UNDO_BANNER}Unable to undo: $IMAGES.old is not what the installation left there.\n\n$SEE_CHECK"
  expect_status 255
  [ "$(stat -c %u "$IMAGES.old/flags-root" 2>&1)" = 0 ] || fail "root's flags is handed over"
  umount "$IMAGES"
  end
fi

# An undo killed after it made its work directory, before it closed
# NAME.old, which another user then changes: the next undo checks it again.
if [ -n "$other_user_refused" ]; then
  skip "undo killed before NAME.old is closed, then changed: the next undo refuses" "$other_user_refused"
else
  begin "undo killed before NAME.old is closed, then changed: the next undo refuses"
  undo_beside
  writable_volume "$IMAGES"
  mkdir -m 0755 "$IMAGES/flags" && printf 'GIF89a-old-de' > "$IMAGES/flags/de.gif" || fail "cannot lay out the volume"
  run_input '\n'
  expect_status 1
  run_undo LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=mkdirat LANGEXT_RAISE_AFTER=4
  expect_status 137
  setpriv --reuid="${other_user%:*}" --regid="${other_user#*:}" --clear-groups \
    sh -c "cd $IMAGES.old && mv flags flags-root && mkdir flags" || fail "the other user could not change $IMAGES.old"
  run_undo
  expect_output "${UNDO_BANNER}Removed what an interrupted installation had staged.\n\nUnable to undo: $IMAGES.old is not what the installation left there.\n\n$SEE_CHECK"
  expect_status 255
  [ "$(stat -c %u "$IMAGES.old/flags-root" 2>&1)" = 0 ] || fail "root's flags is handed over"
  umount "$IMAGES"
  end
fi

# In a document root the web server's user may write, that user swaps
# images and images.old back just after the undo exchanged them: the undo
# does not say it is done, strands nothing, and the next undo finishes.
if [ -n "$other_user_refused" ]; then
  skip "undo: images swapped back just after the undo exchanged them" "$other_user_refused"
else
  begin "undo: images swapped back just after the undo exchanged them"
  undo_beside
  before=$(product_listing)
  chmod 0777 /var/lib/httpd/htdocs
  run_input '\n'
  run_program=./langext-undo run_with_other_user renameat2 images \
    "cd /var/lib/httpd/htdocs && mv images x && mv images.old images && mv x images.old" \
    LANGEXT_PLANT_IN=/var/lib/httpd/htdocs
  expect_status 255
  grep -q "Undo completed" "$SANDBOX/out" && fail "the undo says it is done: $(cat "$SANDBOX/out")"
  [ -f "$RECORD_DIR/receipt" ] || fail "the receipt is gone"
  run_undo
  expect_output "$UNDONE_ALL"
  chmod 0755 /var/lib/httpd/htdocs
  expect_as_before "$before"
  end
fi

# The same user, whose the old images directory was, swaps a directory of
# root's in for images right after the undo brought the old one back: the
# old directory's owner and mode go to the very directory that came back,
# never to root's.
if [ -n "$other_user_refused" ]; then
  skip "undo: root's directory swapped in for images as it gets its owner back" "$other_user_refused"
else
  begin "undo: root's directory swapped in for images as it gets its owner back"
  undo_beside
  chmod 0777 /var/lib/httpd/htdocs && chown "$other_user" "$IMAGES" && mkdir -m 0755 /var/lib/httpd/htdocs/cgi ||
    fail "cannot lay out the document root"
  run_input '\n'
  run_program=./langext-undo run_with_other_user renameat2 images \
    "cd /var/lib/httpd/htdocs && mv images x && mv cgi images" LANGEXT_PLANT_IN=/var/lib/httpd/htdocs
  [ "$(find /var/lib/httpd/htdocs -maxdepth 1 -name images -printf '%U %m')" = "0 755" ] ||
    fail "root's directory is handed over: $(ls -la /var/lib/httpd/htdocs)"
  chmod 0755 /var/lib/httpd/htdocs
  end
fi

# Another user who may write in the volume's root renames root's staged
# tree there as the copy of the old contents begins: it is known by its
# identity, whatever its name, so neither NAME.old nor the receipt's
# digest takes it for an old entry, and the undo finds all as it was left.
if [ -n "$other_user_refused" ]; then
  skip "in place: root's staged tree renamed in the volume, then the undo" "$other_user_refused"
else
  begin "in place: root's staged tree renamed in the volume, then the undo"
  undo_beside
  writable_volume "$IMAGES"
  run_with_other_user mkdirat '.langext-*.h' "cd $IMAGES && mv .images.langext-* renamed" LANGEXT_PLANT_IN="$IMAGES/*"
  expect_status 1
  [ -e "$IMAGES.old/renamed" ] && fail "NAME.old holds a copy of the staged tree"
  run_undo
  expect_output "$UNDONE_ALL"
  umount "$IMAGES"
  end
fi

# The web application, running as root, writes uploads into the images
# volume while the installation runs (closed to others, born after what the
# run staged): no log names them, so neither the put-back of a failure nor
# the undo takes them.
begin "uploads of root's written during an installation in place stay, through a put-back and through the undo"
undo_beside
writable_volume "$IMAGES"
run_uploading() {
  run_interposed LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=renameat2 \
    LANGEXT_PLANT_NAME='*' LANGEXT_PLANT_IN="$IMAGES" LANGEXT_PLANT_LOG="$SANDBOX/plant.log" \
    LANGEXT_PLANT_COMMAND="umask 077 && printf $1 > $IMAGES/$1.bin" "${@:2}"
}
run_uploading first LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=2 LANGEXT_FAIL_ERRNO=28
grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail: $(cat "$SANDBOX/out")"
[ "$(cat "$IMAGES/first.bin" 2>&1)" = first ] || fail "the put-back took an upload: $(ls -A "$IMAGES")"
# Before this run, the first upload is an old entry like any other.
run_uploading second
expect_status 1
[ "$(cat "$IMAGES.old/first.bin" "$IMAGES/second.bin" 2>&1)" = firstsecond ] ||
  fail "an upload is gone: $(ls -A "$IMAGES" "$IMAGES.old")"
run_undo
expect_output "$UNDONE_ALL"
[ "$(cat "$IMAGES/first.bin" "$IMAGES/second.bin" 2>&1)" = firstsecond ] || fail "the undo took an upload: $(ls -A "$IMAGES")"
umount "$IMAGES"
end

# In an overlay's lower layer an old directory the package lacks cannot
# move, so what it holds goes out entry by entry into a holder of root's.
# What the web application (root) writes there meanwhile stays, and the
# directory with it, however deep; what goes back goes only into the very
# directory it came from, never one another user made at its name; a run
# killed amid it is finished with nothing lost. The other user may forge
# the attribute by which a stand-in names its directory on a directory of
# their own (here as an earlier release wrote it, without the mode).
mkdir -p -m 1777 "$OTHER_USER_FILES/state" && cat > "$OTHER_USER_FILES/forge_origin" <<'EOS' &&
#!/bin/sh
le() { v=$1 k=0; while [ $k -lt 8 ]; do printf %02x $((v & 255)); v=$((v >> 8)) k=$((k + 1)); done; }
n=$(stat -c %w "$2" | sed 's/.*\.0*\([0-9]*\) .*/\1/')
setfattr -n user.langext.origin -v 0x$(le $(stat -c %d "$2"))$(le $(stat -c %i "$2"))$(le 1)$(le $(stat -c %W "$2"))$(le ${n:-0}) "$1"
EOS
  chmod 0755 "$OTHER_USER_FILES/forge_origin" || fail "cannot give the other user their forgery"
# Where there is no other user, the victim's directory stays root's.
them_owner=${victim_user%:*}
[ -n "$other_user_refused" ] && them_owner=0
while IFS='|' read -r title settings check; do
  rm -f "$OTHER_USER_FILES/state/"*
  if [ -n "$overlay_refused" ]; then skip "in an overlay's lower layer: $title" "$overlay_refused"; continue; fi
  if [[ $settings == *"LANGEXT_PLANT_USER=$other_user "* || $settings == *"LANGEXT_PLANT_USER=$victim_user "* ]] &&
    [ -n "$other_user_refused" ]; then
    skip "in an overlay's lower layer: $title" "$other_user_refused"
    continue
  fi
  begin "in an overlay's lower layer: $title"
  mkdir -m 0777 "$IMAGES/gallery" && mkdir "$IMAGES/gallery/them" && for f in a b c d; do printf $f > "$IMAGES/gallery/$f.jpg"; done &&
    printf secret > "$IMAGES/gallery/them/secret" && chmod 0600 "$IMAGES/gallery/them/secret" &&
    { [ -n "$other_user_refused" ] || chown -R "$victim_user" "$IMAGES/gallery/them"; } || fail "cannot lay out the images"
  # The document root alone: the templates' steps would come first.
  mount_overlay /var/lib/httpd/htdocs "$SANDBOX/ovl/var/lib/httpd/htdocs" || fail "cannot lay an overlay over the document root"
  mkdir -p "$IMAGES/gallery/2023/04" && printf old > "$IMAGES/gallery/2023/04/old.png" || fail "cannot lay out the upper layer"
  eval "run_interposed $settings"
  eval "$check" || fail "$(cat "$SANDBOX/out")"
  umount /var/lib/httpd/htdocs
  end
done <<EOT
an upload of root's as it goes out|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=mkdirat LANGEXT_PLANT_NAME='[0-9]*' LANGEXT_PLANT_IN='*/.images.langext-*.o' LANGEXT_PLANT_COMMAND='printf new > $IMAGES/gallery/new.jpg'|[ "\$(cat $IMAGES/gallery/a.jpg $IMAGES/gallery/new.jpg)" = anew ]
an upload of root's deep in a directory of the upper layer|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=mkdirat LANGEXT_PLANT_NAME='[0-9]*' LANGEXT_PLANT_IN='*/.images.langext-*.o' LANGEXT_PLANT_COMMAND='printf new > $IMAGES/gallery/2023/04/new.png'|[ "\$(cat $IMAGES/gallery/2023/04/old.png $IMAGES/gallery/2023/04/new.png)" = oldnew ]
another user's directory made at a name whose directory went out|LANGEXT_PLANT_USER=$other_user LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=unlinkat LANGEXT_PLANT_NAME=them LANGEXT_PLANT_COMMAND='mkdir $IMAGES/gallery/them && touch $IMAGES/gallery/them/x'|[ ! -e $IMAGES/gallery/them/secret ] && [ -n "\$(find /var/lib/httpd/htdocs -xdev -name secret -user ${victim_user%:*})" ]
a directory of another user's swapped in for a file as it goes out|LANGEXT_PLANT_USER=$other_user LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=fstatat LANGEXT_PLANT_NAME='?.jpg' LANGEXT_PLANT_IN=$IMAGES/gallery LANGEXT_PLANT_EVERY=1 LANGEXT_PLANT_COMMAND='set -- \$PLANT_DIR/*; if [ -f \$PLANT_DIR/\$PLANT_NAME ] && [ \$# -lt 6 ]; then rm \$PLANT_DIR/\$PLANT_NAME && mkdir \$PLANT_DIR/\$PLANT_NAME && printf mine > \$PLANT_DIR/\$PLANT_NAME/x; fi'|[ -n "\$(find $IMAGES/gallery -path '*.jpg/x')" ]
another user's directory swapped in as its stand-in is made|LANGEXT_PLANT_USER=$other_user LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=mkdirat LANGEXT_PLANT_NAME=2023 LANGEXT_PLANT_IN='*.o/*' LANGEXT_PLANT_COMMAND='cd $IMAGES/gallery && mv 2023 2023.aside && mkdir 2023 && printf mine > 2023/x'|grep -qx 'Installation completed!' \$SANDBOX/out && [ "\$(cat $IMAGES/gallery/a.jpg $IMAGES/gallery/2023/x $IMAGES/gallery/2023.aside/04/old.png)" = amineold ]
a directory of the web application's swapped in as it is entered|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=fsetxattr LANGEXT_PLANT_NAME='*' LANGEXT_PLANT_IN='*.o/*/2023' LANGEXT_PLANT_COMMAND='cd $IMAGES/gallery && mv 2023 2023.aside && mv 2023.aside/04 2023'|grep -qx 'Installation completed!' \$SANDBOX/out && [ "\$(cat $IMAGES/gallery/a.jpg $IMAGES/gallery/2023/old.png)" = aold ]
an upload of root's removed as the rest goes out|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=renameat2 LANGEXT_PLANT_NAME='?.jpg' LANGEXT_PLANT_IN='*.o/*' LANGEXT_PLANT_COMMAND='cd $IMAGES/gallery && rm -rf ?.jpg 2023'|grep -qx 'Installation completed!' \$SANDBOX/out && [ -f $IMAGES/gallery/them/secret ]
root's file rewritten right after its look|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=fstatat LANGEXT_PLANT_NAME='?.jpg' LANGEXT_PLANT_IN=$IMAGES/gallery LANGEXT_PLANT_EVERY=1 LANGEXT_PLANT_COMMAND='set -- \$PLANT_DIR/*; if [ \$# -lt 6 ] && [ ! -e $OTHER_USER_FILES/state/written ]; then touch $OTHER_USER_FILES/state/written; printf NEW > \$PLANT_DIR/\$PLANT_NAME; fi'|[ -e $OTHER_USER_FILES/state/written ] && grep -rqs NEW $IMAGES/gallery
another user's directory, its origin forged, swapped in for a file and its name then taken|LANGEXT_PLANT_USER=$other_user LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=fstatat,renameat2 LANGEXT_PLANT_NAME='?.jpg' LANGEXT_PLANT_EVERY=1 LANGEXT_PLANT_COMMAND='S=$OTHER_USER_FILES/state/swapped; case \$PLANT_DIR in */gallery) set -- \$PLANT_DIR/*; if [ ! -e \$S ] && [ \$# -lt 6 ] && [ -f \$PLANT_DIR/\$PLANT_NAME ]; then echo \$PLANT_NAME > \$S; rm \$PLANT_DIR/\$PLANT_NAME && mkdir \$PLANT_DIR/\$PLANT_NAME && printf evil > \$PLANT_DIR/\$PLANT_NAME/shell.php && $OTHER_USER_FILES/forge_origin \$PLANT_DIR/\$PLANT_NAME \$PLANT_DIR/2023; fi;; *.o/*) if [ "\$(cat \$S)" = \$PLANT_NAME ]; then mv $IMAGES/gallery/2023 $IMAGES/gallery/\$PLANT_NAME; echo moved >> \$S; fi;; esac'|grep -qx moved $OTHER_USER_FILES/state/swapped && [ -n "\$(find $IMAGES/gallery -path '*/.*langext-*/shell.php')" ]
a directory of the web application's removed as its stand-in is named|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=fsetxattr LANGEXT_PLANT_NAME='*' LANGEXT_PLANT_IN='*.o/*/2023' LANGEXT_PLANT_COMMAND='rm -rf $IMAGES/gallery/2023'|grep -qx 'Installation completed!' \$SANDBOX/out && [ "\$(stat -c %a $IMAGES/gallery/2023)" = 755 ]
every holder closed to others while it holds what went out|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=renameat2 LANGEXT_PLANT_NAME='*' LANGEXT_PLANT_IN='*.o/*' LANGEXT_PLANT_EVERY=1 LANGEXT_PLANT_COMMAND='stat -c %a \$PLANT_DIR >> $OTHER_USER_FILES/state/modes'|[ -s $OTHER_USER_FILES/state/modes ] && [ "\$(sort -u $OTHER_USER_FILES/state/modes)" = 700 ]
an upload of root's once a directory of the upper layer went out|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=unlinkat LANGEXT_PLANT_NAME=2023 LANGEXT_PLANT_IN=$IMAGES/gallery LANGEXT_PLANT_COMMAND='printf new > $IMAGES/gallery/new.jpg'|grep -qx 'Installation completed!' \$SANDBOX/out && [ -z "\$(find $IMAGES/gallery -type d -perm 700)" ]
the owner of a directory in its stand-in by '..' from a directory swapped in for a file|LANGEXT_PLANT_USER=$victim_user LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=mkdirat,fstatat,renameat2 LANGEXT_PLANT_NAME=them,secret LANGEXT_PLANT_EVERY=1 LANGEXT_PLANT_COMMAND='T=$OTHER_USER_FILES/state G=$IMAGES/gallery; case \$PLANT_NAME:\$PLANT_DIR in them:*.o/*) touch \$T/armed;; secret:*/gallery/them) if [ -e \$T/armed ] && [ ! -e \$T/swapped ]; then touch \$T/swapped; mv \$G/them/secret \$G/.secret-kept && mkdir \$G/them/secret && cd \$G/them/secret && { sh -c "i=0; while [ ! -e \$T/go ] && [ \\\$i -lt 500 ]; do sleep 0.01; i=\\\$((\\\$i + 1)); done; cd -P .. && printf evil > shell.php && $OTHER_USER_FILES/forge_origin . \$G/2023; touch \$T/done" </dev/null >/dev/null 2>&1 & }; fi;; secret:*.o/*) if [ -e \$T/swapped ] && [ ! -e \$T/go ]; then touch \$T/go; i=0; while [ ! -e \$T/done ] && [ \$i -lt 100 ]; do sleep 0.01; i=\$((i+1)); done; rmdir \$G/them && mv \$G/2023 \$G/them; fi;; esac'|[ -e $OTHER_USER_FILES/state/go ] && [ -z "\$(find $IMAGES/gallery -name shell.php)" ]
a failure once all went out: it goes back open as it was|LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=8 LANGEXT_FAIL_ERRNO=5|grep -qx 'Installation failed.' \$SANDBOX/out && [ -z "\$(find $IMAGES/gallery -type d -perm 700)" ] && [ "\$(stat -c %a $IMAGES/gallery)" = 777 ]
the owner of a directory forges an origin below its stand-in, killed as it was made, once it goes back whole|LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=fsetxattr LANGEXT_PLANT_NAME='*' LANGEXT_PLANT_IN='*.o/*/them' LANGEXT_PLANT_COMMAND='kill -9 \$PPID'; killed=\$STATUS; setpriv --reuid=${victim_user%:*} --regid=${victim_user#*:} --clear-groups mv $IMAGES/gallery/them $IMAGES/gallery/them.aside; run_interposed LANGEXT_PLANT_USER=$victim_user LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=renameat2 LANGEXT_PLANT_NAME=them LANGEXT_PLANT_IN=$IMAGES/gallery LANGEXT_PLANT_COMMAND='mkdir $IMAGES/gallery/them/p && setfattr -n user.langext.origin -v 0x00000000000000000000000000000000000000000000000000000000000000000000000000000000e8030000000000000000000000000000ff05000000000000 $IMAGES/gallery/them/p'|[ "\$killed" = 137 ] && [ "\$(stat -c %u:%g:%a $IMAGES/gallery/them/p)" = ${victim_user%:*}:${victim_user#*:}:755 ]
killed as a holder goes back whole, then run again|LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=8 LANGEXT_FAIL_ERRNO=5 LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=renameat2 LANGEXT_PLANT_NAME=gallery LANGEXT_PLANT_IN=$IMAGES LANGEXT_PLANT_COMMAND='kill -9 \$PPID'; killed=\$STATUS; run_interposed LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=mkdirat LANGEXT_PLANT_NAME='*' LANGEXT_PLANT_COMMAND='stat -c %u:%a $IMAGES/gallery $IMAGES/gallery/them > $OTHER_USER_FILES/state/modes'|[ "\$killed" = 137 ] && [ "\$(cat $OTHER_USER_FILES/state/modes)" = "\$(printf '0:777\n$them_owner:755')" ]
killed amid it, then run again|LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=placing LANGEXT_RAISE_AFTER=2; killed=\$STATUS; run_input '\\n'|[ "\$killed" = 137 ] && [ "\$(cat $IMAGES/gallery/[a-d].jpg $IMAGES/gallery/them/secret $IMAGES/gallery/2023/04/old.png)" = abcdsecretold ]
EOT

# The web application, running as root, removes an upload as the
# installation digests what it left: the entry is gone, not a failure, and
# the receipt is written.
begin "an upload of root's removed as the installation takes its digest"
printf one > "$IMAGES/one.bin" && printf two > "$IMAGES/two.bin" || fail "cannot lay out the images"
run_interposed LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=fstatat \
  LANGEXT_PLANT_NAME='one.bin,two.bin' LANGEXT_PLANT_IN="$IMAGES.old" LANGEXT_PLANT_EVERY=1 \
  LANGEXT_PLANT_LOG="$SANDBOX/plant.log" LANGEXT_PLANT_COMMAND="grep -q '^phase done' $RECORD_DIR/record &&
    cd $IMAGES.old && for f in one.bin two.bin; do [ \$f = \$PLANT_NAME ] || rm -f \$f; done"
expect_status 1
[ -f "$RECORD_DIR/receipt" ] && [ ! -e "$RECORD_DIR/record" ] || fail "no receipt: $(cat "$SANDBOX/out")"
end

# A FUSE file system another user mounted inside the volume lets no one
# else look at it, root included: it is left as it is and named, and never
# a reason for the run, or its put-back, to stop.
write_log_fs=$(dirname "$program")/write_log_fs
fuse_refusal() {
  [ -n "$other_user_refused" ] && { echo "$other_user_refused"; return; }
  [ -n "${write_log_fs:-}" ] && [ -x "$write_log_fs" ] || { echo "write_log_fs was not built (libfuse3-dev)"; return; }
  command -v fusermount3 > /dev/null || { echo "fusermount3 is not installed (fuse3)"; return; }
  [ -c /dev/fuse ] || { echo "there is no /dev/fuse here"; return; }
  # Where only root may open it, as some hosts leave it, the sandbox's own
  # lets every user mount, as most hosts do.
  rm -f "$SANDBOX/fuse-device" && mknod -m 0666 "$SANDBOX/fuse-device" c 10 229 &&
    mount --bind "$SANDBOX/fuse-device" /dev/fuse || echo "/dev/fuse cannot be opened to other users here"
}
fuse_refused=$(fuse_refusal)
# The other user mounts their daemon's file system at $1, with the mount
# options $2 besides its own.
mount_fuse_as_other_user() {
  # The daemon runs from where the other user can reach it: the build
  # folder may lie in a home that only its owner enters.
  rm -rf "$OTHER_USER_FILES/fuse" && mkdir -p "$1" "$OTHER_USER_FILES/fuse" &&
    install -m 0755 "$write_log_fs" "$OTHER_USER_FILES/write_log_fs" &&
    chown "$other_user" "$1" "$OTHER_USER_FILES/fuse" &&
    setpriv --reuid="${other_user%:*}" --regid="${other_user#*:}" --clear-groups \
      sh -c "truncate -s 1M $OTHER_USER_FILES/fuse/disk && WRITE_LOG_FS_OPTIONS=$2 exec $OTHER_USER_FILES/write_log_fs serve $OTHER_USER_FILES/fuse/disk $OTHER_USER_FILES/fuse/log $1 0" \
      > /dev/null 2>&1 &
  for _ in $(seq 50); do findmnt -n --mountpoint "$1" > /dev/null && break; sleep 0.1; done
  findmnt -n --mountpoint "$1" > /dev/null || fail "the other user's FUSE mount is not there"
}
for failure in '' placing; do
  title="a FUSE mount of another user's inside the volume is left as it is${failure:+, through a put-back}"
  if [ -n "$fuse_refused" ]; then skip "in place: $title" "$fuse_refused"; continue; fi
  begin "in place: $title"
  writable_volume "$IMAGES"
  mount_fuse_as_other_user "$IMAGES/fuse" ''
  if [ -z "$failure" ]; then
    run_dry '\n'
    expect_status 0
  fi
  run_interposed ${failure:+LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=2 LANGEXT_FAIL_ERRNO=28}
  grep -qxF "${PROMPT}Left $IMAGES/fuse as it is: another file system is mounted there. $IMAGES.old/fuse holds no copy of it." \
    "$SANDBOX/out" || fail "the mount is not named: $(cat "$SANDBOX/out")"
  if [ -z "$failure" ]; then expect_status 1; else
    grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail: $(cat "$SANDBOX/out")"
    [ -e "$RECORD_DIR/record" ] && fail "the put-back stopped at the mount"
  fi
  findmnt -n --mountpoint "$IMAGES/fuse" > /dev/null || fail "the FUSE mount is gone"
  umount -l "$IMAGES/fuse"
  umount "$IMAGES"
  end
done

# A target on a file system another user mounted is refused before anything
# changes: its daemon says whose its files are, root's and set-user-ID if it
# likes, and the copy of the old contents would make them so on this disk.
for options in allow_other ''; do
  title="refused: images on a FUSE file system another user mounted${options:+ with $options}"
  if [ -n "$fuse_refused" ]; then skip "$title" "$fuse_refused"; continue; fi
  begin "$title"
  [ -z "$options" ] || { rm -f /etc/fuse.conf && echo user_allow_other > /etc/fuse.conf; }
  mount_fuse_as_other_user "$IMAGES" "$options"
  run_input '\n'
  expect_output "${BANNER}${PROMPT}Unable to install: $IMAGES is on a file system that another user mounted.\n\n"
  expect_status 255
  [ -e "$IMAGES.old" ] || [ -e "$RECORD_DIR/record" ] && fail "the run changed something"
  umount -l "$IMAGES"
  rm -f /etc/fuse.conf && ln -s "$SANDBOX/host/etc/fuse.conf" /etc/fuse.conf
  end
done

# Two hard links to one old file in a directory the package lacks: a
# failure puts the very directory back, the two names still one file.
begin "in place: old hard links in a directory the package lacks are one file again after a failure"
layout_mount "$TEMPLATES" "$SANDBOX/volume" && mkdir "$TEMPLATES/pair" && printf 'one' > "$TEMPLATES/pair/a" &&
  ln "$TEMPLATES/pair/a" "$TEMPLATES/pair/b" || fail "cannot lay out the volume"
templates_before=$(kept_listing "$TEMPLATES")
run_interposed LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=2 LANGEXT_FAIL_ERRNO=28
grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail: $(cat "$SANDBOX/out")"
expect_kept "$templates_before" "$TEMPLATES"
expect_nothing_staged
run_input '\n'
expect_status 1
umount "$TEMPLATES"
end

# A put-back never reads NAME.old: root changes it after the copy, and
# the failure that follows puts the product back exactly as it was.
begin "in place: a failure is put back exactly, NAME.old changed meanwhile"
decorate_product && lay_out templates
templates_before=$(kept_listing "$TEMPLATES")
run_interposed LANGEXT_PLANT_USER=0:0 LANGEXT_PLANT_KIND=command LANGEXT_PLANT_CALL=renameat2 \
  LANGEXT_PLANT_NAME=templates.old LANGEXT_PLANT_COMMAND="rm -r $TEMPLATES.old/admin && printf changed > $TEMPLATES.old/index.htx" \
  LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=3 LANGEXT_FAIL_ERRNO=28
grep -qxF "Installation failed." "$SANDBOX/out" || fail "the run did not fail: $(cat "$SANDBOX/out")"
expect_kept "$templates_before" "$TEMPLATES"
expect_nothing_staged
umount "$TEMPLATES"
end

# What no call can fake shows: another user rewrites a file of theirs in
# the volume after the copy, with the same size, and sets its times back.
# Its change time is new, so it is not the file the copy took: it stays.
if [ -n "$other_user_refused" ]; then
  skip "another user in a volume rewrites their file after the copy, its size and times kept: it stays" "$other_user_refused"
else
  begin "another user in a volume rewrites their file after the copy, its size and times kept: it stays"
  writable_volume "$IMAGES"
  printf 'theirs-1' > "$IMAGES/theirs.txt" && chown "$other_user" "$IMAGES/theirs.txt" || fail "cannot lay out the volume"
  run_with_other_user renameat2 images.old \
    "cd $IMAGES && t=\$(stat -c %y theirs.txt) && printf theirs-2 > theirs.txt && touch -d \"\$t\" theirs.txt" \
    LANGEXT_PLANT_IN="$(dirname "$IMAGES")"
  expect_output "$BANNER$PROMPT$COMPLETED"
  [ "$(cat "$IMAGES/theirs.txt" 2>&1)" = theirs-2 ] || fail "what they rewrote is gone"
  umount "$IMAGES"
  end
fi

# An old directory the package lacks, bind-mounted on itself by root, is a
# mount like any other: neither copied nor entered, and it stays.
begin "in place: a directory the package lacks, mounted on itself, stays with what it holds"
layout_mount "$TEMPLATES" "$SANDBOX/volume" && mkdir "$TEMPLATES/retired" && printf kept > "$TEMPLATES/retired/page" &&
  mount --bind "$TEMPLATES/retired" "$TEMPLATES/retired" || fail "cannot lay out the volume"
run_input '\n'
expect_output "$BANNER${PROMPT}Left $TEMPLATES/retired as it is: another file system is mounted there. $TEMPLATES.old/retired holds no copy of it.\n\n$COMPLETED"
[ "$(cat "$TEMPLATES/retired/page" 2>&1)" = kept ] || fail "the mount was taken"
findmnt -n --mountpoint "$TEMPLATES/retired" > /dev/null || fail "$TEMPLATES/retired is no longer a mount point"
umount "$TEMPLATES/retired" "$TEMPLATES"
end

# The receipt's digest is of what is root's, on the target's file system:
# another user changing what is theirs, deep in a directory of theirs left
# in place, or what a mount inside holds, keeps no undo from its work.
if [ -n "$other_user_refused" ]; then
  skip "undo: what another user's directory and a mount inside hold may change" "$other_user_refused"
else
  begin "undo: what another user's directory and a mount inside hold may change"
  undo_beside
  writable_volume "$IMAGES"
  mkdir -p "$IMAGES/mine/sub" "$IMAGES/nested" && chown -R "$other_user" "$IMAGES/mine" &&
    mount -t tmpfs nested "$IMAGES/nested" || fail "cannot lay out the volume"
  # Written during the run, theirs stays where it is.
  run_with_other_user renameat2 images.old "touch $IMAGES/mine/during" LANGEXT_PLANT_IN="$(dirname "$IMAGES")"
  expect_status 1
  setpriv --reuid="${other_user%:*}" --regid="${other_user#*:}" --clear-groups \
    sh -c "printf later > $IMAGES/mine/sub/later" && printf later > "$IMAGES/nested/later" ||
    fail "cannot change what they hold"
  run_undo
  expect_output "$UNDONE_ALL"
  umount "$IMAGES/nested" "$IMAGES"
  end
fi

# One run at a time, either program: an undo started while an installation
# waits at its prompt is refused before it does anything.
begin "undo: refused while an installation waits at its prompt"
undo_beside
mkfifo "$SANDBOX/answer"
exec 3<> "$SANDBOX/answer"
(cd "$ADDON" && exec timeout 60 ./langext-install <&3 > "$SANDBOX/first" 2>&1) &
first=$!
for _ in $(seq 300); do grep -q "^Web server\|^Unable" "$SANDBOX/first" && break; sleep 0.1; done
snapshot_product
run_undo
expect_output "${UNDO_BANNER}Another installation is in progress.\n\n"
expect_status 255
expect_product_untouched
printf '\n' >&3
wait "$first"
exec 3>&-
rm -f "$SANDBOX/answer" "$SANDBOX/first"
end
