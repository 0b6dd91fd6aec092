#include "steps/digest.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "fs/fd.h"
#include "fs/walk.h"
#include "steps/run.h"

namespace {

// A directory deeper than this counts only as being there.
constexpr std::size_t DIGEST_DEPTH_LIMIT = std::size_t{1} << 16;

struct Digest {
  DigestKey key;
  std::uint64_t sum;
  dev_t device;
  uid_t user;
  const Identity* left_out;
  const char* shown;  // the path the watch is told of, or null
  long long seen;
  DigestSeen seen_by;  // told of each entry, with its path, where set
  void* context;
  // The path of the directory being read, as far as it fits: each level's
  // length, PATH_UNKNOWN below where it did not.
  std::array<char, 4 * PATH_BUFFER_SIZE> path;
  struct Level {
    std::uint64_t place;
    std::uint32_t path_length;
  } entering;
  std::array<Level, DIGEST_DEPTH_LIMIT> levels;
  std::size_t depth;
};
constexpr std::uint32_t PATH_UNKNOWN = UINT32_MAX;
Digest digest;

// What one hash takes: the hash it goes on from, then bytes.
struct Hashed {
  std::array<unsigned char, 8 + NAME_MAX + 1> bytes;
  std::size_t length = 0;
  explicit Hashed(std::uint64_t start) { add({static_cast<std::int64_t>(start)}); }
  void add(std::initializer_list<std::int64_t> values) {
    for (std::int64_t value : values) {
      for (int byte = 0; byte < 8; ++byte) {
        bytes[length++] =
            static_cast<unsigned char>(static_cast<std::uint64_t>(value) >> (8 * byte));
      }
    }
  }
};

// Under a key, the keyed hash of all it took; unkeyed, as earlier releases
// took it, FNV-1a of its bytes from the hash it goes on from.
std::uint64_t hash_of(const Hashed& hashed) {
  const DigestKey& key = digest.key;
  if (key.half[0] != 0 || key.half[1] != 0) {
    return keyed_hash(key, hashed.bytes.data(), hashed.length);
  }
  std::uint64_t hash = 0;
  for (int byte = 8; byte-- > 0;) hash = hash << 8 | hashed.bytes[static_cast<std::size_t>(byte)];
  for (std::size_t i = 8; i < hashed.length; ++i) {
    hash = (hash ^ hashed.bytes[i]) * 1099511628211ULL;
  }
  return hash;
}

void sip_round(std::array<std::uint64_t, 4>& v) {
  v[0] += v[1];
  v[1] = std::rotl(v[1], 13) ^ v[0];
  v[0] = std::rotl(v[0], 32);
  v[2] += v[3];
  v[3] = std::rotl(v[3], 16) ^ v[2];
  v[0] += v[3];
  v[3] = std::rotl(v[3], 21) ^ v[0];
  v[2] += v[1];
  v[1] = std::rotl(v[1], 17) ^ v[2];
  v[2] = std::rotl(v[2], 32);
}

void (*digest_watch)(const char* path, long long entries) = nullptr;

int digest_entry(void*, int directory, const char* name, unsigned char) {
  if (digest.shown != nullptr) digest_watch(digest.shown, ++digest.seen);
  // An entry's place in the tree, however deep: its directory's and its
  // name; the entries are summed, so the order of a listing does not count.
  Hashed at(digest.levels[digest.depth].place);
  for (const char* byte = name; *byte != '\0'; ++byte) at.bytes[at.length++] = *byte;
  at.bytes[at.length++] = '/';
  const std::uint64_t place = hash_of(at);
  struct stat status {};
  Identity identity;
  bool mount = false;
  // Gone since it was listed (an upload removed), it is not in the tree;
  // a mount that lets no one look is left out.
  if (!examine(directory, name, &status, &identity, &mount)) {
    return errno == ENOENT || errno == EACCES ? WALK_NEXT : WALK_STOP;
  }
  if (digest.depth == 0 && digest.left_out != nullptr &&
      same_identity(identity, *digest.left_out)) {
    return WALK_NEXT;
  }
  Hashed counted(place);
  counted.add({status.st_mode});
  const bool here = status.st_dev == digest.device && !mount;
  if (here) {
    counted.add({status.st_uid, status.st_gid, status.st_size,
                 static_cast<std::int64_t>(status.st_ino), static_cast<std::int64_t>(identity.born),
                 identity.seconds, identity.nanoseconds, status.st_mtim.tv_sec,
                 status.st_mtim.tv_nsec, status.st_ctim.tv_sec, status.st_ctim.tv_nsec});
  }
  const std::uint64_t hash = hash_of(counted);
  digest.sum += hash;
  digest.entering.place = place;
  if (digest.seen_by != nullptr) {
    // Escaped: a list holds one entry a line, a terminal shows no control
    // byte. Below where the path no longer fits, as ".../NAME".
    const std::uint32_t prefix = digest.levels[digest.depth].path_length;
    char* path = digest.path.data();
    const std::size_t length = prefix == PATH_UNKNOWN ? SIZE_MAX
                                                      : append_escaped(path, digest.path.size() - 1,
                                                                       prefix, name, Escape::LIST);
    static std::array<char, 4 + 4 * NAME_MAX + 1> deep{'.', '.', '.', '/'};
    const bool fits = length != SIZE_MAX;
    // A name always fits below "...".
    if (!fits) append_escaped(deep.data(), deep.size(), 4, name, Escape::LIST);
    digest.entering.path_length = fits ? static_cast<std::uint32_t>(length + 1) : PATH_UNKNOWN;
    digest.seen_by(digest.context,
                   DigestedEntry{place, hash, fits ? path : deep.data(), &status, &identity});
    if (fits) path[length] = '/';
  }
  return here && S_ISDIR(status.st_mode) && status.st_uid == digest.user &&
                 digest.depth + 1 < DIGEST_DEPTH_LIMIT
             ? WALK_ENTER
             : WALK_NEXT;
}

int digest_entered(void*, int, int directory, const char*) {
  if (directory < 0) return errno == ENOENT ? WALK_NEXT : WALK_STOP;
  digest.levels[++digest.depth] = digest.entering;
  return WALK_ENTER;
}

bool digest_left(void*, int) {
  if (digest.depth > 0) --digest.depth;
  return true;
}

// A line that does not fit breaks the chain: the tree has no list, rather
// than a list that lacks an entry.
void write_line(Listing* listing, LogLine* line) {
  if (listing == nullptr) return;
  if (seal_line(line, &listing->seal)) {
    std::fwrite(line->text, 1, line->length, listing->stream);
  } else {
    listing->seal = ~listing->seal;
  }
}

void list_entry(void* context, const DigestedEntry& entry) {
  const struct stat& status = *entry.status;
  LogLine line;
  // The log's form, its numbers in one formatting call: one line an entry.
  const int written =
      std::snprintf(line.text, sizeof line.text,
                    "e %016" PRIx64 " %016" PRIx64 " %u %u %u %lld %lld.%09ld %lld.%09ld",
                    entry.place, entry.hash, status.st_mode, status.st_uid, status.st_gid,
                    static_cast<long long>(status.st_size),
                    static_cast<long long>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec,
                    static_cast<long long>(status.st_ctim.tv_sec), status.st_ctim.tv_nsec);
  line.length = static_cast<std::size_t>(std::max(written, 0));
  add_identity(&line, *entry.identity);
  add_string(&line, entry.path);
  write_line(static_cast<Listing*>(context), &line);
}

void write_tree_line(Listing* listing, const char* word, std::size_t index, int which,
                     const std::uint64_t* digest) {
  LogLine line = target_line(word, index);
  add_number(&line, which);
  if (digest != nullptr) add_hex(&line, *digest);
  write_line(listing, &line);
}

}  // namespace

bool tree_digest(int directory, const char* name, const Identity* left_out, bool whole_top,
                 const DigestKey& key, std::uint64_t* digest_of, const char* shown, DigestSeen seen,
                 void* context) {
  struct stat status {};
  Identity identity;
  if (!examine(directory, name, &status, &identity)) return false;
  digest.key = key;
  digest.device = status.st_dev;
  digest.user = geteuid();
  digest.left_out = left_out;
  digest.depth = 0;
  digest.levels[0] = {1469598103934665603ULL, 0};
  digest.seen_by = seen;
  digest.context = context;
  Hashed of_top(0);
  of_top.add({status.st_mode & S_IFMT, static_cast<std::int64_t>(identity.inode), identity.seconds,
              identity.nanoseconds});
  if (!S_ISDIR(status.st_mode)) {
    // A file is its contents: their size and time count, and where the top
    // is whole, the time of its last change.
    of_top.add({status.st_size, status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
                whole_top ? status.st_ctim.tv_sec : 0, whole_top ? status.st_ctim.tv_nsec : 0});
  }
  digest.sum = hash_of(of_top);
  if (S_ISDIR(status.st_mode)) {
    Descriptor top(openat(directory, name, DIRECTORY_FLAGS));
    const WalkVisitor visitor{digest_entry, digest_entered, digest_left, nullptr};
    digest.shown = digest_watch != nullptr ? shown : nullptr;
    digest.seen = 0;
    if (digest.shown != nullptr) digest_watch(digest.shown, 0);
    const bool walked = top.is_open() && walk_tree(top.get(), visitor);
    if (digest.shown != nullptr) digest_watch(nullptr, -1);
    if (!walked) return false;
  }
  *digest_of = digest.sum;
  return true;
}

void watch_digests(void (*watch)(const char* path, long long entries)) { digest_watch = watch; }

bool draw_digest_key(DigestKey* key) {
  do {
    if (getrandom(key->half, sizeof key->half, 0) != static_cast<ssize_t>(sizeof key->half)) {
      return false;
    }
  } while (key->half[0] == 0 && key->half[1] == 0);
  return true;
}

std::uint64_t keyed_hash(const DigestKey& key, const unsigned char* bytes, std::size_t length) {
  std::array<std::uint64_t, 4> v{
      key.half[0] ^ 0x736f6d6570736575ULL, key.half[1] ^ 0x646f72616e646f6dULL,
      key.half[0] ^ 0x6c7967656e657261ULL, key.half[1] ^ 0x7465646279746573ULL};
  std::uint64_t word = 0;
  auto take = [&v](std::uint64_t taken) {
    v[3] ^= taken;
    sip_round(v);
    sip_round(v);
    v[0] ^= taken;
  };
  for (std::size_t i = 0; i < length; ++i) {
    word |= static_cast<std::uint64_t>(bytes[i]) << (8 * (i % 8));
    if (i % 8 == 7) take(std::exchange(word, 0));
  }
  take(word | static_cast<std::uint64_t>(length) << 56);
  v[2] ^= 0xff;
  for (int round = 0; round < 4; ++round) sip_round(v);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

bool listed_digest(Listing* listing, int parent, const char* name, const Identity* left_out,
                   std::size_t index, int which, const DigestKey& key, std::uint64_t* digest) {
  if (listing != nullptr) listing->seal = LOG_SEAL_START;
  write_tree_line(listing, "tree", index, which, nullptr);
  if (!tree_digest(parent, name, left_out, which == 0, key, digest, nullptr,
                   listing != nullptr ? list_entry : nullptr, listing)) {
    return false;
  }
  write_tree_line(listing, "end", index, which, digest);
  return true;
}

bool read_listed_entry(LogFields* fields, ListedEntry* entry) {
  if (fields->word(0) != "e") return false;
  entry->place = fields->hex(1);
  entry->hash = fields->hex(2);
  entry->status = {};
  entry->status.st_mode = static_cast<mode_t>(fields->number(3));
  entry->status.st_uid = static_cast<uid_t>(fields->number(4));
  entry->status.st_gid = static_cast<gid_t>(fields->number(5));
  entry->status.st_size = fields->number(6);
  entry->status.st_mtim = fields->time(7);
  entry->status.st_ctim = fields->time(8);
  entry->identity = fields->identity(9);
  return fields->string(10, entry->path, sizeof entry->path) && fields->good;
}
