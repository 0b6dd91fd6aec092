// The check of what changed since the installation, as dpkg -V checks a
// package: each tree the receipt names is digested as the undo digests it,
// each entry compared with the list beside the receipt. It changes nothing.
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "steps/digest.h"
#include "steps/log.h"
#include "steps/run.h"

namespace {

std::array<Target, TARGETS_LIMIT> checked;
char checked_paths[TARGETS_LIMIT][PATH_BUFFER_SIZE];

Stream listing;

// The entries of the tree being checked, as listed, by place; open
// addressing. A tree of more entries than fit is compared as a whole only.
struct Listed {
  std::uint64_t place;
  std::uint64_t hash;
  off_t line;           // where its line begins in the list
  unsigned generation;  // of the tree it was loaded for: another's is a free slot
  bool seen;
};
constexpr std::size_t LISTED_SLOTS = std::size_t{1} << 19;
constexpr std::size_t LISTED_LIMIT = LISTED_SLOTS / 4 * 3;
std::array<Listed, LISTED_SLOTS> listed;
unsigned generation = 0;  // each tree's table starts empty, untouched

std::array<char, sizeof LogLine::text + 1> line;
LogFields fields;
ListedEntry entry;

Listed* slot_of(std::uint64_t place) {
  for (std::size_t i = place % LISTED_SLOTS;; i = (i + 1) % LISTED_SLOTS) {
    if (listed[i].generation != generation || listed[i].place == place) return &listed[i];
  }
}

// The next line of the list, at *at, into fields; chained to *seal where given.
bool read_line(off_t* at, std::uint64_t* seal) {
  *at = ftello(listing.get());
  return std::fgets(line.data(), static_cast<int>(line.size()), listing.get()) != nullptr &&
         parse_line(line.data(), std::strlen(line.data()), seal, &fields);
}

bool is_tree_line(std::string_view kind, std::size_t index, int which) {
  return fields.word(0) == kind && fields.number(1) == static_cast<std::int64_t>(index) &&
         fields.number(2) == which && fields.good;
}

// Loads the list of the tree which (0 NAME, 1 NAME.old) of the target
// index, as it was when its digest was taken; false where there is no such
// list, or one too long. *start receives where its entries begin.
bool load_listed(std::size_t index, int which, std::uint64_t digest, off_t* start) {
  if (!listing) return false;
  std::rewind(listing.get());
  off_t at = 0;
  // A line that does not read (one a kill cut short) is passed over: a
  // whole tree may follow it.
  while (std::feof(listing.get()) == 0 && std::ferror(listing.get()) == 0) {
    std::uint64_t seal = LOG_SEAL_START;
    if (!read_line(&at, &seal) || !is_tree_line("tree", index, which)) continue;
    *start = ftello(listing.get());
    ++generation;
    std::size_t count = 0;
    while (read_line(&at, &seal) && count < LISTED_LIMIT && read_listed_entry(&fields, &entry)) {
      *slot_of(entry.place) = Listed{entry.place, entry.hash, at, generation, false};
      ++count;
    }
    if (is_tree_line("end", index, which) && fields.hex(3) == digest && fields.good) return true;
    // The line that ended a tree cut short may begin it again: a run that
    // finished a killed one's list writes each tree it had not ended anew.
    if (fseeko(listing.get(), at, SEEK_SET) != 0) return false;
  }
  return false;
}

// The tree being compared, and how many of its entries were reported.
const char* compared = nullptr;
long long reported = 0;

void report(const char* what, const char* path) {
  std::printf("  %-8s %s/%s\n", what, compared, path);
  ++reported;
}

// What differs between the entry as listed and as it is now.
const char* difference(const DigestedEntry& now, const Listed& then) {
  off_t at = 0;
  if (fseeko(listing.get(), then.line, SEEK_SET) != 0 || !read_line(&at, nullptr) ||
      !read_listed_entry(&fields, &entry)) {
    return "changed";
  }
  const struct stat& is = *now.status;
  const struct stat& stood = entry.status;
  static std::array<char, 64> what;
  std::snprintf(what.data(), what.size(), "%s%s%s%s%s",
                (is.st_mode & S_IFMT) != (stood.st_mode & S_IFMT) ? ",type" : "",
                same_identity(*now.identity, entry.identity) ? "" : ",replaced",
                is.st_uid != stood.st_uid || is.st_gid != stood.st_gid ? ",owner" : "",
                (is.st_mode & 07777) != (stood.st_mode & 07777) ? ",mode" : "",
                is.st_size != stood.st_size || is.st_mtim.tv_sec != stood.st_mtim.tv_sec ||
                        is.st_mtim.tv_nsec != stood.st_mtim.tv_nsec
                    ? ",content"
                    : "");
  // Each difference after a comma: the first's is dropped.
  return what[0] == '\0' ? "changed" : what.data() + 1;
}

void compare_entry(void*, const DigestedEntry& now) {
  Listed* then = slot_of(now.place);
  if (then->generation != generation) {
    report("added", now.path);
    return;
  }
  then->seen = true;
  if (then->hash != now.hash) report(difference(now, *then), now.path);
}

bool check_tree(const Target& target, std::size_t index, int which) {
  const char* name = which == 0 ? target.name : target.backup;
  const char* path = path_beside(target, name);
  const std::uint64_t digest = which == 0 ? target.installed_digest : target.kept_digest;
  Identity found;
  if (!target.parent.is_open() || !examine(target.parent.get(), name, nullptr, &found)) {
    std::printf("%s: %s.\n", path, errno == ENOENT ? "not there" : failure_reason(errno));
    return false;
  }
  off_t start = 0;
  const bool has_list = load_listed(index, which, digest, &start);
  compared = path;
  reported = 0;
  std::uint64_t now = 0;
  const bool same =
      same_identity(found, which == 0 ? target.installed_identity : target.kept_identity);
  std::printf("%s:\n", path);
  // Its lines come as the walk finds them: no progress line between them.
  if (!tree_digest(target.parent.get(), name, nullptr, which == 0, target.digest_key, &now, nullptr,
                   has_list ? compare_entry : nullptr, nullptr)) {
    std::printf("  unable to read it. %s.\n", failure_reason(errno));
    return false;
  }
  // The listed entries the walk did not see, in the list's order.
  if (has_list && fseeko(listing.get(), start, SEEK_SET) == 0) {
    off_t at = 0;
    while (read_line(&at, nullptr) && read_listed_entry(&fields, &entry)) {
      if (!slot_of(entry.place)->seen) report("removed", entry.path);
    }
  }
  if (!same) {
    std::printf("  another entry than the one the installation left\n");
  } else if (now == digest) {
    std::printf("  as the installation left it\n");
  } else if (reported == 0) {
    std::printf(has_list ? "  changed since the installation\n"
                         : "  changed since the installation; no list of its entries tells more\n");
  }
  return same && now == digest;
}

}  // namespace

bool check_installation() {
  if (record_exists()) {
    std::printf(
        "An interrupted run left %s: run langext-undo, or the installer, to finish it, then check "
        "again.\n\n",
        RECORD_PATH);
    return false;
  }
  std::size_t count = 0;
  if (read_receipt(checked.data(), checked_paths, &count) != RECEIPT_READ) return false;
  listing = open_listing(false);
  bool unchanged = true;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = checked[i];
    if (!open_parent(&target)) {
      std::printf("%s: %s.\n", target.path, failure_reason(errno));
      unchanged = false;
      continue;
    }
    unchanged = check_tree(target, i, 0) && unchanged;
    unchanged = (!target.replaces || check_tree(target, i, 1)) && unchanged;
  }
  listing.reset();
  std::printf(unchanged ? "\nAn undo would proceed.\n\n"
                        : "\nAn undo would refuse: what the installation left was changed.\n\n");
  return unchanged;
}
