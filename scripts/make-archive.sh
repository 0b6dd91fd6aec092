#!/usr/bin/env bash
# Packs the add-on as the administrator receives it: a language-extensions/
# folder holding the program and the packages/ tree beside it, modes kept
# exactly. A modes file beside the packages/ tree (as the sample has) sets
# the modes that a git checkout cannot keep.
# Usage: make-archive.sh PROGRAM PACKAGES_DIR OUTPUT.tar.gz [UNDO_PROGRAM]
set -euo pipefail
program=$1 packages=$(realpath "$2") output=$3 undo=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/language-extensions
mkdir -p "$top"
cp -a "$packages" "$top/packages"
for name in langext-install ${undo:+langext-undo}; do
  if [ "$name" = langext-install ]; then cp "$program" "$top/$name"; else cp "$undo" "$top/$name"; fi
  strip "$top/$name"
  chmod 0755 "$top/$name"
done
if [ -f "$packages/../modes" ]; then
  source "$here/apply-modes.sh"
  apply_modes "$packages/../modes" "$top"
fi
tar --sort=name --owner=0 --group=0 --numeric-owner -C "$stage" -czf "$output.part" language-extensions
mv "$output.part" "$output"
