# Sourced by end_to_end.sh after the undo's cases, whose helpers it uses:
# what the administrator asks of either program besides a run.

# Runs one of the programs from the add-on's folder with the given
# arguments and no input.
run_with_arguments() {
  local name=$1
  shift
  (cd "$ADDON" && timeout 60 "./$name" "$@") < /dev/null > "$SANDBOX/out" 2> "$SANDBOX/err"
  STATUS=$?
}

# --help and --version answer and change nothing, even as root with the
# product there to install over; any other argument is refused, with a
# usage line, and changes nothing. Asked as root, help used to install.
while IFS='|' read -r which arguments status says; do
  begin "arguments: $which $arguments"
  undo_beside
  run_with_arguments "$which" $arguments
  expect_status "$status"
  grep -q "$says" "$SANDBOX/out" "$SANDBOX/err" || fail "it does not say \"$says\": $(cat "$SANDBOX/out" "$SANDBOX/err")"
  expect_product_untouched
  [ -e "$RECORD_DIR" ] && fail "$RECORD_DIR was made"
  end
done <<EOT
langext-install|--help|0|^Installs the Tarnwick 3.0 Language Extensions add-on
langext-install|--version|0|^langext-install [0-9.]*, for Tarnwick 3.0$
langext-install|--dry|255|^Usage: langext-install \[--help | --version | --dry-run\]$
langext-install|--dry-run|0|^A run would proceed\.$
langext-install|--help --version|255|^Usage: langext-install
langext-undo|--help|0|^Undoes the last completed installation
langext-undo|--version|0|^langext-undo [0-9.]*, for Tarnwick 3.0$
langext-undo|-h|255|^Usage: langext-undo \[--help | --version | --check\]$
langext-undo|--check|255|^There is no installation to undo
EOT

# A dry run refuses as a run would, and says so.
begin "dry run: refused where a run would be"
run_input '\n'
snapshot_product
run_dry '\n'
expect_output "${BANNER}${PROMPT}Unable to rename $LANG_FILE to $LANG_FILE.old. File already exists.\n\nA run would not proceed.\n\n"
expect_status 255
expect_product_untouched
end

# Where a target's directory is not there, a dry run names it as a run does.
begin "dry run: a document root that is not there is named as a run names it"
missing="Unable to copy packages/images to $SANDBOX/no-root/images. No such file or directory."
run_dry '%s\n' "$SANDBOX/no-root"
expect_status 255
grep -qF "$missing" "$SANDBOX/out" || fail "the dry run does not say \"$missing\": $(cat "$SANDBOX/out")"
run_input '%s\n' "$SANDBOX/no-root"
grep -qF "$missing" "$SANDBOX/out" || fail "the run says otherwise: $(cat "$SANDBOX/out")"
end

# The check lists each kind of change since the installation, file by file,
# and whether an undo would proceed (the undo's refusals point to it).
while IFS='|' read -r kind change status listed; do
  if [ "$kind" = "owner changed" ] && [ -z "$other_owner" ]; then
    skip "check: $kind" "chown to another user is refused here"
    continue
  fi
  begin "check: $kind"
  undo_beside
  run_input '\n'
  eval "$change" || fail "cannot make the change"
  run_with_arguments langext-undo --check
  expect_status "$status"
  grep -qxF -- "$listed" "$SANDBOX/out" || fail "the check does not say \"$listed\": $(cat "$SANDBOX/out")"
  end
done <<EOT
nothing changed|true|0|An undo would proceed.
a file added|touch "$TEMPLATES/new.htx"|255|  added    $TEMPLATES/new.htx
a file removed|rm "$TEMPLATES/index.htx"|255|  removed  $TEMPLATES/index.htx
content changed|echo more >> "$TEMPLATES/index.htx"|255|  content  $TEMPLATES/index.htx
the language file edited|echo more >> "$LANG_FILE"|255|  changed since the installation
owner changed|chown "$other_owner" "$IMAGES/flags/de.gif"|255|  owner    $IMAGES/flags/de.gif
mode changed in NAME.old|chmod 0600 "$TEMPLATES.old/admin/users.htx"|255|  mode     $TEMPLATES.old/admin/users.htx
a name with a tab and a newline, shown escaped|touch "$IMAGES/\$(printf 'a\tb\nc')"|255|  added    $IMAGES/a\011b\012c
a target copied back from a backup|cp -a "$IMAGES" "$SANDBOX/copy" && rm -rf "$IMAGES" && mv "$SANDBOX/copy" "$IMAGES"|255|  another entry than the one the installation left
a target gone|mv "$IMAGES" "$SANDBOX/gone"|255|$IMAGES: not there.
a line the list cannot read before its trees|sed -i '1i damaged' "$RECORD_DIR/files" && echo more >> "$TEMPLATES/index.htx"|255|  content  $TEMPLATES/index.htx
a tree a killed run's list cut short at a line's end, written again after it|awk 'NR == FNR { line[FNR] = \$0; if (/^tree 1 0 /) at = FNR; next } FNR == at { print line[at]; print line[at + 1] } { print }' "$RECORD_DIR/files" "$RECORD_DIR/files" > "$SANDBOX/list" && cat "$SANDBOX/list" > "$RECORD_DIR/files" && touch "$TEMPLATES/new.htx"|255|  added    $TEMPLATES/new.htx
the list beside the receipt damaged, a template edited|sed -i 's/^e /E /' "$RECORD_DIR/files" && echo more >> "$TEMPLATES/index.htx"|255|  changed since the installation; no list of its entries tells more
EOT
rm -rf "$SANDBOX/gone"

# Neither a dry run nor a check repairs a killed run: each says it must be
# finished first, and leaves its record as it is.
begin "dry run and check: a killed run's record is left as it is"
undo_beside
run_interposed LANGEXT_RAISE_SIGNAL=9 LANGEXT_RAISE_CALL=renameat2 LANGEXT_RAISE_AFTER=1
expect_status 137
cp "$RECORD_DIR/record" "$SANDBOX/record-before"
run_dry '\n'
expect_output "${BANNER}An interrupted run left $RECORD_DIR/record: a run would first finish it, or put back what it changed. Run the installer to do that, then the dry run again.\n\n"
expect_status 255
run_with_arguments langext-undo --check
expect_status 255
grep -q "^An interrupted run left $RECORD_DIR/record: run langext-undo" "$SANDBOX/out" || fail "the check does not say a run must finish first: $(cat "$SANDBOX/out")"
cmp -s "$RECORD_DIR/record" "$SANDBOX/record-before" || fail "the record was changed"
end

# An answer that cannot be written is not given as given.
if [ -c /dev/full ]; then
  begin "arguments: --help to a full device"
  (cd "$ADDON" && ./langext-install --help) > /dev/full 2> "$SANDBOX/err"
  STATUS=$?
  expect_status 255
  end
else
  skip "arguments: --help to a full device" "there is no /dev/full here"
fi

# A host where the add-on was installed once keeps its receipt in
# /var/lib/langext-install: the sandbox of the demo and of the tests leaves
# it out, so that their runs are their own. Here this sandbox plays that
# host for one nested in it.
begin "a sandbox stands apart from a record on its host"
mkdir -p "$RECORD_DIR" && echo "the host's" > "$RECORD_DIR/receipt" || fail "cannot lay out the host's record"
LANGEXT_SANDBOX=1 unshare --mount --propagation private bash -c '
  source "$1/sandbox.sh" && sandbox_prepare "$2" && sandbox_install_product "$3" && cd "$4" &&
    { printf "\n" | ./langext-install > "$2.out" 2>&1; echo $? > "$2.status"; }' \
  _ "$here" "$SANDBOX/nested" "$sample" "$ADDON"
[ "$(cat "$SANDBOX/nested.status" 2> /dev/null)" = 1 ] ||
  fail "the nested run did not complete: $(cat "$SANDBOX/nested.out" 2> /dev/null)"
[ "$(cat "$RECORD_DIR/receipt")" = "the host's" ] || fail "the host's record was touched"
rm -f "$SANDBOX/nested.out" "$SANDBOX/nested.status"
end

# A signal at the prompt ends the run as it would any program, and leaves
# nothing behind: no record's directory either.

begin "interrupted at the prompt by SIGTERM: nothing is left"
rm -f "$SANDBOX/prompt-in" && mkfifo "$SANDBOX/prompt-in" || fail "cannot make a FIFO"
(cd "$ADDON" && exec ./langext-install < "$SANDBOX/prompt-in" > "$SANDBOX/out" 2>&1) &
exec 9> "$SANDBOX/prompt-in"
for wait in $(seq 100); do grep -qF "${PROMPT%% *}" "$SANDBOX/out" && break; sleep 0.1; done
kill -s TERM $!
wait $! 2> /dev/null
STATUS=$?
exec 9>&-
expect_output "$BANNER$PROMPT"
[ "$STATUS" -gt 128 ] || fail "exit status $STATUS, not the signal's"
[ -e "$RECORD_DIR" ] && fail "$RECORD_DIR is left"
expect_product_untouched
end

# A dry run, which only looks, removes nothing when a signal ends it at
# its prompt: not the directory of the lock that a run started after it
# took and holds at its own prompt.
begin "a dry run ended at its prompt leaves the lock of a run waiting at its own"
rm -f "$SANDBOX/dry-in" "$SANDBOX/run-in" && mkfifo "$SANDBOX/dry-in" "$SANDBOX/run-in" || fail "cannot make a FIFO"
(cd "$ADDON" && exec ./langext-install --dry-run < "$SANDBOX/dry-in" > "$SANDBOX/dry" 2>&1) &
dry=$!
exec 8> "$SANDBOX/dry-in"
for wait in $(seq 100); do grep -qF "${PROMPT%% *}" "$SANDBOX/dry" && break; sleep 0.1; done
(cd "$ADDON" && exec ./langext-install < "$SANDBOX/run-in" > "$SANDBOX/first" 2>&1) &
first=$!
exec 9> "$SANDBOX/run-in"
for wait in $(seq 100); do grep -qF "${PROMPT%% *}" "$SANDBOX/first" && break; sleep 0.1; done
kill -s TERM "$dry"
wait "$dry" 2> /dev/null
exec 8>&-
[ -d "$RECORD_DIR" ] || fail "the dry run removed the lock's directory"
run_input '\n'
expect_output "${BANNER}Another installation is in progress.\n\n"
printf '\n' >&9
exec 9>&-
wait "$first" || [ $? = 1 ] || fail "the first run did not complete: $(cat "$SANDBOX/first")"
rm -f "$SANDBOX/dry-in" "$SANDBOX/run-in" "$SANDBOX/dry" "$SANDBOX/first"
end

# Each run that changes anything appends dated lines to the history, as
# dpkg does; a refusal, which changes nothing, adds none.
begin "history: an installation, a refusal, an undo, a failure put back, a line end in a name"
undo_beside
rm -f /var/log/langext-install.log
run_input '\n'
expect_status 1
run_input '\n'
expect_status 255
run_undo
expect_status 0
run_interposed LANGEXT_NO_EXCHANGE=EXDEV LANGEXT_FAIL_CALL=placing LANGEXT_FAIL_AFTER=4 LANGEXT_FAIL_ERRNO=28
expect_status 255
# Two lines in one read keep the first line end in the document root.
mkdir -p "$WWW/a
b" && run_input '%s\nb\n' "$WWW/a"
expect_status 1
sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ([a-z-]+)\[[0-9]+\]: /\1: /' \
  /var/log/langext-install.log > "$SANDBOX/history" 2> /dev/null
cat > "$SANDBOX/expected" <<LINES
langext-install: installed whole, the old renamed to its .old: $LANG_FILE
langext-install: installed whole, the old renamed to its .old: $TEMPLATES
langext-install: installed whole, the old renamed to its .old: $IMAGES
langext-install: installation completed
langext-undo: put back from its .old: $LANG_FILE
langext-undo: put back from its .old: $TEMPLATES
langext-undo: put back from its .old: $IMAGES
langext-undo: undo completed
langext-install: installation failed; everything was put back
langext-install: installed whole, the old renamed to its .old: $LANG_FILE
langext-install: installed whole, the old renamed to its .old: $TEMPLATES
langext-install: installed, where nothing stood before: $WWW/a\\012b/images
langext-install: installation completed
LINES
diff "$SANDBOX/expected" "$SANDBOX/history" > "$SANDBOX/diff" ||
  { fail "the history differs"; sed 's/^/    /' "$SANDBOX/diff"; }
[ "$(stat -c '%a %u' /var/log/langext-install.log)" = "640 0" ] || fail "the history is not root's, 0640"
end

# On a terminal the undo's checks of what the installation left show a line
# of progress on standard error, gone before its messages.
if command -v tmux > /dev/null; then
  begin "undo: progress on a terminal, cleared before the messages"
  undo_beside
  run_input '\n'
  run_on_terminal ./langext-undo
  grep -qx 'status=0' "$SANDBOX/screen" || fail "the undo did not complete: $(cat "$SANDBOX/screen")"
  grep -q "Checking $TEMPLATES: [0-9]* entries" "$SANDBOX/pane" || fail "no progress line was drawn"
  grep -q 'Checking' "$SANDBOX/screen" && fail "the progress line is still on the screen"
  grep -qx 'Undo completed!' "$SANDBOX/screen" || fail "no completion message"
  end
else
  skip "undo: progress on a terminal" "tmux is not installed"
fi
