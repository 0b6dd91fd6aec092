#!/usr/bin/env bash
# Install speed and memory, side by side with cp -r, with cp -r followed by
# sync (the fair peer of a durable install) and with the floor of the byte
# loop (bench/floor_copy.cc), on the disk file system that holds the build
# folder and on a tmpfs; the archive's static program beside the dynamic
# one; the ways of making 20,000 copies durable on disk; then how the cost
# grows with the package.
# Prints every figure in a table at the end and draws build-bench/growth.png.
# Figures are printed, never asserted: shared machines are noisy.
#   scripts/bench.sh            (LANGEXT_BENCH_ROUNDS=7 by default;
#                                LANGEXT_BENCH_PARTS=in-place: that table alone;
#                                LANGEXT_BENCH_IN_PLACE_SHAPES="tiny:20000":
#                                its shapes, "tiny:20000 web:5000" by default;
#                                LANGEXT_BENCH_BEFORE=PROGRAM: an earlier build
#                                of the installer timed in place beside it)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tests/sandbox.sh"
bench=$top/build-bench
rounds=${LANGEXT_BENCH_ROUNDS:-7}

if [ "${LANGEXT_SANDBOX:-}" != 1 ]; then
  source "$top/scripts/packages.sh"
  need_packages cmake g++ make strace gnuplot-nox time util-linux findutils e2fsprogs
  cmake -S "$top" -B "$bench" -DCMAKE_BUILD_TYPE=Release -DLANGEXT_TESTS=OFF -DLANGEXT_BENCH=ON >/dev/null
  cmake --build "$bench" -j "$(nproc)" --target langext-install langext-install-static make_package floor_copy >/dev/null
  sandbox_enter "$0" "$@" || { echo "No private mount namespace can be made here." >&2; exit 1; }
fi

sandbox_prepare "$bench/sandbox"
installer=$bench/langext-install
static_installer=$bench/langext-install-static
results=$bench/results.txt
durable=$bench/durability.txt
: > "$results"
: > "$durable"
rm -f "$bench/growth.dat"

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
maximum() { tr ' ' '\n' | grep -v '^$' | sort -g | tail -1; }

# Fresh destinations; for the installer, existing targets to set aside.
# In place (inplace, byhand), the targets hold an earlier copy of the same
# package and the two directories are mount points, as volumes are.
prepare() {
  local program=$1 dest=$2 package=${3:-}
  umount "$dest/product/templates" "$dest/docroot/images" 2> /dev/null || true
  rm -rf "$dest" /var/lib/langext-install
  if [ "$program" = inplace ] || [ "$program" = byhand ] || [ "$program" = before ]; then
    mkdir -p "$dest/docroot" "$dest/product"
    cp "$package/packages/conf/language.cfg" "$dest/product/lang.cfg"
    cp -r "$package/packages/htx" "$dest/product/templates"
    cp -r "$package/packages/images" "$dest/docroot/images"
    mount --bind "$dest/product/templates" "$dest/product/templates"
    mount --bind "$dest/docroot/images" "$dest/docroot/images"
    printf 'langfile=%s\ntemplatedir=%s/\n' "$dest/product/lang.cfg" "$dest/product/templates" > /etc/tarnwick.conf
    printf '%s\n' "$dest/docroot" > "$dest/answer"
    sync
    return
  fi
  mkdir -p "$dest/docroot" "$dest/product" "$dest/flat"
  if [ "$program" = installer ] || [ "$program" = static ]; then
    printf 'old' > "$dest/product/lang.cfg"
    mkdir "$dest/product/templates" "$dest/docroot/images"
    printf 'old' > "$dest/product/templates/old.htx"
    printf 'old' > "$dest/docroot/images/old.png"
    printf 'langfile=%s\ntemplatedir=%s/\n' "$dest/product/lang.cfg" "$dest/product/templates" > /etc/tarnwick.conf
    printf '%s\n' "$dest/docroot" > "$dest/answer"
  fi
  sync
}

# Runs one program over package $2 into $3 with the file list $4, under
# the command prefix in the remaining arguments (such as strace); prints
# "elapsed_seconds peak_kib cpu_seconds".
measure() {
  local program=$1 package=$2 dest=$3 list=$4
  shift 4
  local rss=$dest.rss start end
  start=$EPOCHREALTIME
  case $program in
    installer | static | inplace | before)
      local binary=$installer
      [ "$program" = static ] && binary=$static_installer
      [ "$program" = before ] && binary=$LANGEXT_BENCH_BEFORE
      (cd "$package" && "$@" /usr/bin/time -f "%M %U %S" -o "$rss" "$binary" < "$dest/answer" > /dev/null) ||
        [ $? = 1 ] || { echo "the installer failed" >&2; exit 1; } ;;
    cp | cpsync)
      "$@" /usr/bin/time -f "%M %U %S" -o "$rss" sh -c 'cp -r "$1/htx" "$2/product/templates" &&
        cp -r "$1/images" "$2/docroot/images" && cp "$1/conf/language.cfg" "$2/product/lang.cfg" &&
        if [ "$3" = cpsync ]; then sync; fi' sh "$package/packages" "$dest" "$program" ;;
    byhand)
      # The package goes over NAME through the byte loop, as the installer
      # copies it; $list.over pairs each package file with its name there.
      "$@" /usr/bin/time -f "%M %U %S" -o "$rss" sh -c 'for t in product/templates docroot/images \
        product/lang.cfg; do cp -a "$2/$t" "$2/$t.old" || exit; done &&
        "$3" "$1" "$2" && sync' sh "$list.over" "$dest" "$bench/floor_copy" ||
        { echo "the hand method failed" >&2; exit 1; } ;;
    floor*)
      "$@" /usr/bin/time -f "%M %U %S" -o "$rss" "$bench/floor_copy" "$list" "$dest/flat" ${program#floor} ;;
  esac
  end=$EPOCHREALTIME
  tail -1 "$rss" | awk -v s="$start" -v e="$end" '{printf "%.4f %s %.2f\n", e - s, $1, $2 + $3}'
}

# Times the programs named in the remaining arguments interleaved over the
# given number of rounds, into times[program], rss[program] and cpu[program]
# (space-separated).
declare -A times rss cpu
time_programs() {
  local package=$1 dest=$2 list=$3 count=$4 program t m c
  shift 4
  times=() rss=() cpu=()
  for _ in $(seq "$count"); do
    for program in "$@"; do
      prepare "$program" "$dest" "$package"
      read -r t m c < <(measure "$program" "$package" "$dest" "$list")
      times[$program]+="$t " rss[$program]+="$m " cpu[$program]+="$c "
    done
  done
}

syscalls_per_file() {
  local program=$1 package=$2 dest=$3 list=$4 files=$5
  prepare "$program" "$dest" "$package"
  measure "$program" "$package" "$dest" "$list" strace -c -f -o "$dest.strace" > /dev/null
  awk -v n="$files" '$NF == "total" {printf "%.1f", $4 / n}' "$dest.strace"
}

# Writes a package of the shape under $work and lists its files; sets
# package, dest and list for the caller.
make_shape() {
  local work=$1 shape=$2 count=$3
  package=$work/package-$shape dest=$work/dest list=$work/list-$shape
  rm -rf "$package"
  "$bench/make_package" "$shape" "$count" "$package"
  find "$package/packages" -type f > "$list"
}

run_shape() {
  local fs=$1 package dest list
  make_shape "$2" "$3" "$4"
  local shape=$3 files bytes
  files=$(wc -l < "$list")
  bytes=$(du -sb "$package/packages" | cut -f1)
  time_programs "$package" "$dest" "$list" "$rounds" installer static cp cpsync floor
  local ti ts tc tcs tf
  ti=$(median <<< "${times[installer]}") ts=$(median <<< "${times[static]}")
  tc=$(median <<< "${times[cp]}") tcs=$(median <<< "${times[cpsync]}") tf=$(median <<< "${times[floor]}")
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
  printf '%-5s %-5s %6s %5sMB %7.3f %7.3f %7.3f %7.3f %7.3f  %5s %5s %5s %5s  %5s %5s  %5s %5s %5s  %4s %4s\n' \
    "$fs" "$shape" "$files" "$((bytes / 1000000))" "$ti" "$ts" "$tc" "$tcs" "$tf" \
    "$(ratio "$ti" "$tc")" "$(ratio "$ti" "$tcs")" "$(ratio "$ti" "$tf")" "$(ratio "$ts" "$ti")" \
    "$(median <<< "${cpu[installer]}")" "$(median <<< "${cpu[cp]}")" \
    "$(maximum <<< "${rss[installer]}")" "$(maximum <<< "${rss[static]}")" "$(maximum <<< "${rss[cp]}")" \
    "$(syscalls_per_file installer "$package" "$dest" "$list" "$files")" \
    "$(syscalls_per_file cp "$package" "$dest" "$list" "$files")" | tee -a "$results"
  rm -rf "$package" "$dest"
}

# Installing in place (the targets are mount points) against doing it by
# hand there: cp -a NAME NAME.old, then the package copied over NAME through
# the byte loop (floor_copy), then sync, since the installer's run is
# durable when it ends.
run_in_place() {
  local fs=$1 shape=$3 package dest list
  make_shape "$2" "$3" "$4"
  awk -v p="$package/packages/" '{
      n = substr($0, length(p) + 1)
      if (n == "conf/language.cfg") n = "product/lang.cfg"
      else if (sub(/^htx\//, "", n)) n = "product/templates/" n
      else if (sub(/^images\//, "", n)) n = "docroot/images/" n
      print $0 "\t" n
    }' "$list" > "$list.over"
  local before=${LANGEXT_BENCH_BEFORE:+before} ti th tb=- cb=-
  time_programs "$package" "$dest" "$list" "$rounds" inplace byhand $before
  ti=$(median <<< "${times[inplace]}") th=$(median <<< "${times[byhand]}")
  if [ -n "$before" ]; then
    tb=$(median <<< "${times[before]}")
    cb=$(syscalls_per_file before "$package" "$dest" "$list" "$(wc -l < "$list")")
  fi
  printf '%-5s %-5s %6s %8.3f %8.3f %5s  %5s %5s  %8s %5s\n' "$fs" "$shape" "$(wc -l < "$list")" "$ti" "$th" \
    "$(awk -v a="$ti" -v b="$th" 'BEGIN {printf "%.2f", a / b}')" \
    "$(syscalls_per_file inplace "$package" "$dest" "$list" "$(wc -l < "$list")")" \
    "$(syscalls_per_file byhand "$package" "$dest" "$list" "$(wc -l < "$list")")" "$tb" "$cb" |
    tee -a "$bench/in-place.txt"
  prepare none "$dest"
  rm -rf "$package" "$dest" "$list.over"
}

# The ways of making many small copies durable, on disk: the floor with
# none, an fsync per file, sync_file_range then an fsync per file, one
# syncfs; and the installer, which makes its staged copies durable with one
# syncfs per file system.
durability() {
  local work=$1 package=$1/package-durable dest=$1/dest list=$1/list-durable
  rm -rf "$package"
  "$bench/make_package" tiny 20000 "$package"
  find "$package/packages" -type f > "$list"
  time_programs "$package" "$dest" "$list" 3 floor floorfsync floorsync_file_range floorsyncfs installer
  printf '%-22s %8s\n' "(disk, 20,000 files)" "seconds" | tee -a "$durable"
  local program
  for program in floor floorfsync floorsync_file_range floorsyncfs installer; do
    printf '%-22s %8.3f\n' "$program" "$(median <<< "${times[$program]}")" | tee -a "$durable"
  done
  rm -rf "$package" "$dest"
}

growth() {
  local work=$1 data=$bench/growth.dat
  echo "# files installer_s cp_s floor_s installer_kib cp_kib floor_kib" > "$data"
  for count in 1000 2000 4000 8000 16000 32000 64000; do
    local package=$work/package-growth dest=$work/dest list=$work/list-growth
    rm -rf "$package"
    "$bench/make_package" tiny "$count" "$package"
    find "$package/packages" -type f > "$list"
    time_programs "$package" "$dest" "$list" 3 installer cp floor
    echo "$(wc -l < "$list") $(median <<< "${times[installer]}") $(median <<< "${times[cp]}")" \
      "$(median <<< "${times[floor]}") $(maximum <<< "${rss[installer]}")" \
      "$(maximum <<< "${rss[cp]}") $(maximum <<< "${rss[floor]}")" >> "$data"
  done
  rm -rf "$package" "$dest"
  gnuplot <<GNUPLOT
set terminal pngcairo size 900,560
set output "$bench/growth.png"
set title "Installing packages of tiny files (tmpfs)"
set xlabel "files in the package"
set ylabel "seconds (median of 3)"
set key top left
set grid
plot "$data" using 1:2 with linespoints title "langext-install", \
     "$data" using 1:3 with linespoints title "cp -r", \
     "$data" using 1:4 with linespoints title "floor (byte loop only)"
GNUPLOT
}

header='fs    shape  files   size  install  static      cp cp+sync   floor  i/cp i/cps  i/fl s/i   cpu:ins    cp  rss:ins static  cp   calls:i  cp'
[ "${LANGEXT_BENCH_PARTS:-all}" != all ] || echo "$header" | tee -a "$results"
disk=$bench/disk-work
memory=$bench/tmpfs-work
mkdir -p "$disk" "$memory"
mount -t tmpfs -o size=8g langext-bench "$memory"
# LANGEXT_BENCH_PARTS=in-place runs the in-place table alone.
if [ "${LANGEXT_BENCH_PARTS:-all}" = all ]; then
  for shape_files in tiny:20000 web:5000 large:10; do run_shape disk "$disk" "${shape_files%%:*}" "${shape_files##*:}"; done
  durability "$disk"
  for shape_files in tiny:20000 web:5000 large:10; do run_shape tmpfs "$memory" "${shape_files%%:*}" "${shape_files##*:}"; done
  growth "$memory"
fi
: > "$bench/in-place.txt"
# The disk that holds the build folder may be of any kind (here it is an
# ext4 without a journal, whose inode allocator passes over every inode
# freed in the last half minute, so that each file made costs more the
# more the rounds before removed); beside it, a fresh journaled ext4, as a
# host's disk usually is, in a file on that disk.
journaled=$bench/ext4-work
mkdir -p "$journaled"
rm -f "$bench/ext4.img" && truncate -s 6G "$bench/ext4.img" && mkfs.ext4 -q -F "$bench/ext4.img" &&
  mount -o loop "$bench/ext4.img" "$journaled" || journaled=
for shape_files in ${LANGEXT_BENCH_IN_PLACE_SHAPES:-tiny:20000 web:5000}; do
  run_in_place disk "$disk" "${shape_files%%:*}" "${shape_files##*:}"
  [ -z "$journaled" ] || run_in_place ext4j "$journaled" "${shape_files%%:*}" "${shape_files##*:}"
  run_in_place tmpfs "$memory" "${shape_files%%:*}" "${shape_files##*:}"
done
[ -z "$journaled" ] || { umount "$journaled" && rm -f "$bench/ext4.img"; }

echo
echo "== Machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)," \
  "kernel $(uname -r), disk file system $(df -T "$bench" | awk 'NR == 2 {print $2}')"
if [ "${LANGEXT_BENCH_PARTS:-all}" = all ]; then
  echo "== Medians of $rounds interleaved rounds: elapsed seconds of the installer, its static build, cp -r,"
  echo "   cp -r then sync, and the floor; ratios installer/cp, installer/(cp+sync), installer/floor,"
  echo "   static/installer; CPU seconds (user + system) of the installer and cp; peak resident memory,"
  echo "   KiB; system calls per copied file (strace -c -f)"
  cat "$results"
  echo "== Making 20,000 copies durable on disk (medians of 3):"
  cat "$durable"
  echo "== Growth with the number of files (tmpfs, tiny files, medians of 3):"
  cat "$bench/growth.dat"
fi
echo "== In place, the targets mount points (medians of $rounds): the installer against cp -a NAME NAME.old"
echo "   then the package over NAME through the byte loop (floor_copy), then sync; seconds, ratio,"
echo "   system calls per package file"
echo "   (disk: the build folder's file system; ext4j: a fresh journaled ext4 in a file on it)"
echo "fs    shape  files  inplace   byhand  i/h   calls:i byhand    before calls (before: LANGEXT_BENCH_BEFORE)"
cat "$bench/in-place.txt"
[ "${LANGEXT_BENCH_PARTS:-all}" != all ] || echo "== Plot: $bench/growth.png"
