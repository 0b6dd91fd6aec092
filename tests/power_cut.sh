#!/usr/bin/env bash
# A power cut amid an installation in place, at each point where the disk
# could be left. The product, its template directory a bind mount of
# another directory of the same ext4, and /var/lib with the record of the
# run, all live on one ext4 on a loop device over a file that
# write_log_fs serves: it logs every write that reaches the disk and every
# flush. One run installs to the end; then for each crash state the disk is
# rebuilt from its image before the run and the writes logged up to that
# point, mounted afresh, and the next run must finish the installation:
# every target new, NAME.old the old contents, nothing staged, no record.
# Then the same for the undo of that installation: after each crash state
# of it, the next undo must leave every target as it was before the
# installation, no NAME.old, nothing staged, no record nor receipt.
#
# The states tried: the disk as the writes reached it, in order, cut after
# each of them (and before the first): so every state right after a flush
# (each write before it, none after) and every prefix of the writes between
# two flushes. (A disk may also keep the writes between two flushes in
# another order; that is not tried.) Where the run writes more than a
# thousand times, which would take more than two minutes here, the cuts
# between two flushes are only after the first write, half of them and all
# but the last, unless LANGEXT_POWER_CUT_ALL=1.
# Usage: power_cut.sh PROGRAM SAMPLE_DIR WRITE_LOG_FS
set -uo pipefail
program=$(realpath "$1")
sample=$(realpath "$2")
[ -n "${3:-}" ] || { echo "SKIPPED: write_log_fs was not built: libfuse3-dev is not installed."; exit 77; }
write_log_fs=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/sandbox.sh"

skip_all() {
  echo "SKIPPED: $1"
  exit 77
}

if [ "${LANGEXT_SANDBOX:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || skip_all "loop devices and FUSE mounts need root, and this runs as $(id -un)."
  for tool in losetup mkfs.ext4 e2fsck; do
    command -v "$tool" > /dev/null || skip_all "$tool is not installed (util-linux, e2fsprogs)."
  done
  [ -c /dev/fuse ] || skip_all "there is no /dev/fuse here."
  sandbox_enter "$0" "$program" "$sample" "$write_log_fs" ||
    skip_all "this system allows no private mount namespace."
fi
sandbox_prepare "$(dirname "$program")/power-cut-sandbox"

BANNER='Tarnwick 3.0 Language Extensions - Installation program\n\n'
PROMPT='Web server document root directory [/var/lib/httpd/htdocs]: '
COMPLETED='\nInstallation completed!\n\n'
LANG_FILE=/var/lib/tarnwick/conf/language.cfg
TEMPLATES=/var/lib/tarnwick/templates
IMAGES=/var/lib/httpd/htdocs/images
RECORD_DIR=/var/lib/langext-install
DISK=$SANDBOX/disk.img BEFORE=$SANDBOX/before.img LOG=$SANDBOX/writes.log SERVED=$SANDBOX/served
LOOP='' DAEMON=''

cleanup() {
  umount -q "$TEMPLATES" /var/lib 2> /dev/null
  [ -n "$LOOP" ] && losetup -d "$LOOP"
  if [ -n "$DAEMON" ]; then umount -q "$SERVED" 2> /dev/null || kill "$DAEMON"; fi
  wait
}
trap cleanup EXIT

# The disk at /var/lib, with the template directory bound from /var/lib/volume.
attach() { LOOP=$(losetup -f --show "$1") && mount "$LOOP" /var/lib && mount --bind /var/lib/volume "$TEMPLATES"; }
detach() { umount "$TEMPLATES" && umount /var/lib && losetup -d "$LOOP" && LOOP=''; }

run() {
  (cd "$ADDON" && printf '\n' | timeout 60 ./langext-install) > "$SANDBOX/out" 2>&1
  STATUS=$?
}

# Every entry's type, mode and name, the top's included, and the contents.
listing() { (cd "$1" 2> /dev/null && find . -printf '%y %m %u:%g %P\n' | LC_ALL=C sort); }
same_tree() { [ "$(listing "$1")" = "$(listing "$2")" ] && diff -r "$1" "$2" > /dev/null; }
same_file() { cmp -s "$1" "$2" && [ "$(stat -c %a "$1")" = "$(stat -c %a "$2")" ]; }

# The disk before the run: the sample product with the template directory's
# contents moved to the directory bound at it; three old directories of
# another owner and mode, which the replacement changes (admin, and tools
# and layouts, which hold only files in the package), and one the package
# lacks, with a directory inside, which it empties and removes (and an
# undo builds again from NAME.old). The package gains six new
# directories, which the replacement makes one by one. The hash seed fixes
# the order in which directories are read: tools and layouts come after
# every directory made, so that nothing the replacement does after them
# flushes what it journaled of them.
truncate -s 64M "$DISK" &&
  mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0,hash_seed=00000011-0000-4000-8000-000000000000 "$DISK" ||
  { echo "FAIL: cannot make an ext4"; exit 1; }
LOOP=$(losetup -f --show "$DISK") || skip_all "no loop device can be attached here."
mount "$LOOP" /var/lib || skip_all "an ext4 on a loop device cannot be mounted here."
volume=/var/lib/volume
sandbox_install_product "$sample" && mkdir "$volume" && mv "$TEMPLATES"/* "$volume/" &&
  mkdir "$volume/tools" "$volume/layouts" "$volume/retired" "$volume/retired/parts" && printf 'old langctl\n' > "$volume/tools/langctl" &&
  printf '<tw:layout/>\n' > "$volume/layouts/page.htx" && printf '<tw:page/>\n' | tee "$volume/retired/page.htx" > "$volume/retired/parts/part.htx" &&
  chown 1234:5678 "$volume/admin" "$volume/tools" "$volume/layouts" &&
  chmod 0750 "$volume/admin" "$volume/tools" "$volume/layouts" && mount --bind "$volume" "$TEMPLATES" &&
  mkdir -p "$SANDBOX/old" && cp -a /var/lib/tarnwick /var/lib/httpd "$SANDBOX/old/" &&
  detach || { echo "FAIL: cannot lay out the product"; exit 1; }
ADDON=$(sandbox_unpack_addon "$program" "$sample")
for dir in d1 d2 d3 d4 d5 d6 layouts; do
  mkdir "$ADDON/packages/htx/$dir" && printf '<tw:page title="%s"/>\n' "$dir" > "$ADDON/packages/htx/$dir/page.htx"
done

# Runs RUN_FUNCTION on the disk served by write_log_fs, which logs each of
# its writes and flushes into $LOG, and checks that it completed as
# EXPECTED; $DISK is then the disk after the run. Each write completes 2 ms
# late, as on a slow disk: a commit that a syncfs starts then goes ahead of
# data still being written, as it can on a real one, every time.
logged_run() {
  local run_function=$1 expected=$2 expected_status=$3 barriers writes written flushed
  mkdir -p "$SERVED" && cp "$DISK" "$BEFORE" || { echo "FAIL: cannot keep the disk before the run"; return 1; }
  "$write_log_fs" serve "$DISK" "$LOG" "$SERVED" 2000 2> "$SANDBOX/daemon.err" &
  DAEMON=$!
  for _ in $(seq 50); do [ -e "$SERVED/disk" ] || ! kill -0 "$DAEMON" 2> /dev/null && break; sleep 0.1; done
  [ -e "$SERVED/disk" ] || { DAEMON=''; skip_all "FUSE cannot be mounted here: $(cat "$SANDBOX/daemon.err")"; }
  LOOP=$(losetup -f --show "$SERVED/disk") || { echo "FAIL: cannot attach the logged disk"; return 1; }
  # A flush must reach the daemon, and a write must reach it before the
  # flush that follows: written back as it was read, the first block shows
  # up in the log at once, with no barrier after it yet, and an fsync of the
  # device then adds one.
  local queue=/sys/block/${LOOP#/dev/}/queue
  [ "$(cat "$queue/write_cache")" = "write back" ] ||
    { echo "FAIL: the loop device sends no flushes ($queue/write_cache: $(cat "$queue/write_cache"))"; return 1; }
  logged() { "$write_log_fs" list "$LOG" | awk '$1 == "barrier" { ++b } $1 == "writes" { print b + 0, $2 }'; }
  dd if="$LOOP" of="$SANDBOX/block" bs=4096 count=1 status=none && read -r barriers writes < <(logged) &&
    dd if="$SANDBOX/block" of="$LOOP" bs=4096 count=1 oflag=direct status=none && written=$(logged) &&
    sync "$LOOP" && flushed=$(logged) || { echo "FAIL: cannot probe the logged disk"; return 1; }
  [ "$written" = "$barriers $((writes + 1))" ] && [ "$flushed" = "$((barriers + 1)) $((writes + 1))" ] ||
    { echo "FAIL: the log does not follow the disk: $barriers $writes, then $written, then $flushed"; return 1; }
  losetup -d "$LOOP" && LOOP='' && : > "$LOG" || { echo "FAIL: cannot start the log"; return 1; }
  attach "$SERVED/disk" || { echo "FAIL: cannot mount the logged disk"; return 1; }
  "$run_function"
  [ "$STATUS" = "$expected_status" ] && printf "$expected" | cmp -s - "$SANDBOX/out" ||
    { echo "FAIL: the logged run did not complete: status $STATUS, $(cat "$SANDBOX/out")"; return 1; }
  detach && umount "$SERVED" && wait "$DAEMON" && DAEMON='' ||
    { echo "FAIL: cannot stop the logged disk: $(cat "$SANDBOX/daemon.err")"; return 1; }
  cp "$BEFORE" "$SANDBOX/replayed.img" && total=$("$write_log_fs" list "$LOG" | sed -n 's/^writes //p') &&
    "$write_log_fs" replay "$LOG" "$SANDBOX/replayed.img" 0 "$total" && cmp -s "$DISK" "$SANDBOX/replayed.img" ||
    { echo "FAIL: the log replayed over the disk before the run does not give the disk after it"; return 1; }
}

# For each crash state of the logged run, as the number of its writes that
# reached the disk: the disk before it with those writes, mounted afresh,
# RUN_FUNCTION, then PROBLEMS_FUNCTION, which says what is wrong, one line
# each, and leaves in $OUTCOME which of the OUTCOMES the run printed.
sweep() {
  local name=$1 run_function=$2 problems_function=$3 every=0 passed=0 failed=0 applied=0 seen=() state index
  [ "${LANGEXT_POWER_CUT_ALL:-0}" = 1 ] || [ "$total" -le 1000 ] && every=1
  "$write_log_fs" list "$LOG" | awk -v every="$every" '
    BEGIN { print 0; previous = 0 }
    {
      count = $2
      if (every) { for (cut = previous + 1; cut < count; ++cut) print cut }
      else if (count - previous > 1) { print previous + 1; print previous + int((count - previous) / 2); print count - 1 }
      print count
      previous = count
    }' | sort -n -u > "$SANDBOX/states"
  echo "$name: the run wrote $total times with $("$write_log_fs" list "$LOG" | grep -c '^barrier') flushes;" \
    "$(wc -l < "$SANDBOX/states") crash states"
  cp "$BEFORE" "$SANDBOX/cursor.img"
  while read -r state; do
    "$write_log_fs" replay "$LOG" "$SANDBOX/cursor.img" "$applied" "$state" && applied=$state &&
      cp "$SANDBOX/cursor.img" "$SANDBOX/crash.img" && attach "$SANDBOX/crash.img" ||
      { echo "FAIL: cannot mount the disk as a power cut after $state writes left it"; failed=$((failed + 1)); break; }
    "$run_function"
    "$problems_function" > "$SANDBOX/problems"
    detach || { echo "FAIL: cannot unmount the disk"; failed=$((failed + 1)); break; }
    e2fsck -fn "$SANDBOX/crash.img" > "$SANDBOX/fsck" 2>&1 || echo "e2fsck: $(cat "$SANDBOX/fsck")" >> "$SANDBOX/problems"
    if [ -s "$SANDBOX/problems" ]; then
      failed=$((failed + 1))
      echo "FAIL: $name: after a power cut at write $state of $total:"
      sed 's/^/    /' "$SANDBOX/problems"
    else
      passed=$((passed + 1))
    fi
    [ -n "$OUTCOME" ] && seen[OUTCOME]=$((${seen[OUTCOME]:-0} + 1))
  done < "$SANDBOX/states"
  # The cuts must fall before the run, amid its staging, amid its swap and
  # after its end, or the states tried miss what they are for.
  echo "$name: after the power cut, the next run printed each outcome so many times: ${seen[*]}"
  for index in "${!OUTCOMES[@]}"; do
    [ "${seen[index]:-0}" -gt 0 ] ||
      { echo "FAIL: $name: no power cut left the disk for this outcome: ${OUTCOMES[index]}"; failed=$((failed + 1)); }
  done
  echo "$name: $passed passed, $failed failed"
  FAILED=$((FAILED + failed))
}

# Which of the OUTCOMES the run printed, in $OUTCOME; and a line if none,
# or if its exit status is not the one that outcome has.
outcome_problems() {
  local index
  OUTCOME=''
  for index in "${!OUTCOMES[@]}"; do
    printf "${OUTCOMES[$index]}" | cmp -s - "$SANDBOX/out" && OUTCOME=$index
  done
  [ -n "$OUTCOME" ] || echo "it printed: $(cat "$SANDBOX/out")"
  [ "$STATUS" = "${STATUSES[${OUTCOME:-0}]}" ] || echo "exit status $STATUS"
  find /var/lib/tarnwick /var/lib/httpd -name '*.langext-*' | sed 's/^/staged: /'
}

# After a power cut amid the installation, the next run finishes it.
installed_problems() {
  outcome_problems
  cmp -s "$ADDON/packages/conf/language.cfg" "$LANG_FILE" || echo "$LANG_FILE is not new"
  same_tree "$ADDON/packages/htx" "$TEMPLATES" || echo "$TEMPLATES is not new"
  same_tree "$ADDON/packages/images" "$IMAGES" || echo "$IMAGES is not new"
  same_file "$SANDBOX/old/tarnwick/conf/language.cfg" "$LANG_FILE.old" || echo "$LANG_FILE.old is not the old one"
  same_tree "$SANDBOX/old/tarnwick/templates" "$TEMPLATES.old" || echo "$TEMPLATES.old is not the old one"
  same_tree "$SANDBOX/old/httpd/htdocs/images" "$IMAGES.old" || echo "$IMAGES.old is not the old one"
  # A completed installation leaves its receipt, for the undo.
  [ -z "$(ls -A "$RECORD_DIR" 2> /dev/null | grep -vxE "receipt|files")" ] ||
    echo "the record is left: $(ls -A "$RECORD_DIR")"
}

# After a power cut amid the undo, the next undo finishes it: the product
# as before the installation, no NAME.old, no record nor receipt.
undone_problems() {
  outcome_problems
  same_file "$SANDBOX/old/tarnwick/conf/language.cfg" "$LANG_FILE" || echo "$LANG_FILE is not the old one"
  same_tree "$SANDBOX/old/tarnwick/templates" "$TEMPLATES" || echo "$TEMPLATES is not the old one"
  same_tree "$SANDBOX/old/httpd/htdocs/images" "$IMAGES" || echo "$IMAGES is not the old one"
  for target in "$LANG_FILE" "$TEMPLATES" "$IMAGES"; do [ -e "$target.old" ] && echo "$target.old is left"; done
  [ -e "$RECORD_DIR" ] && echo "the record's directory is left: $(ls -A "$RECORD_DIR")"
}

FAILED=0
# What the run after a power cut may print: a run of its own (nothing of
# the killed one was durable), one after clearing what was staged, the end
# of the killed run, or, where the killed run had finished, the refusal
# that the backups cause.
OUTCOMES=("$BANNER$PROMPT$COMPLETED"
  "${BANNER}Removed what an interrupted installation had staged.\n\n$PROMPT$COMPLETED"
  "${BANNER}Finished the installation that was interrupted.\n\n$COMPLETED"
  "${BANNER}${PROMPT}Unable to rename $LANG_FILE to $LANG_FILE.old. File already exists.\n\n")
STATUSES=(1 1 1 255)
logged_run run "${OUTCOMES[0]}" 1 || exit 1
sweep installation run installed_problems

# The undo of that installation, cut in the same way; the disk before it
# is the one the installation left.
cp "$(dirname "$program")/langext-undo" "$ADDON/" || { echo "FAIL: no langext-undo beside $program"; exit 1; }
run_undo() {
  (cd "$ADDON" && timeout 60 ./langext-undo) < /dev/null > "$SANDBOX/out" 2>&1
  STATUS=$?
}
put_back="Put back $LANG_FILE as it was before the installation.\n\nPut back $TEMPLATES as it was before the installation.\n\nPut back $IMAGES as it was before the installation.\n\n"
UNDO_BANNER='Tarnwick 3.0 Language Extensions - Undo program\n\n'
OUTCOMES=("$UNDO_BANNER${put_back}Undo completed!\n\n"
  "${UNDO_BANNER}Removed what an interrupted installation had staged.\n\n${put_back}Undo completed!\n\n"
  "${UNDO_BANNER}Finished the undo that was interrupted.\n\nUndo completed!\n\n"
  "${UNDO_BANNER}There is no installation to undo: $RECORD_DIR/receipt does not exist.\n\n")
STATUSES=(0 0 0 255)
logged_run run_undo "${OUTCOMES[0]}" 0 || exit 1
sweep undo run_undo undone_problems

echo
echo "power cut: $FAILED failed"
[ "$FAILED" = 0 ]
