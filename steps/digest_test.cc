#include "steps/digest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/scratch_dir.h"

namespace {

// What the list holds of the one entry name in a directory: its shown
// path, read back from its sealed line; the list checked whole.
std::string listed_path(const ScratchDir& dir, const std::string& name) {
  mkdir((dir / "tree").c_str(), 0755);
  write_file(dir / ("tree/" + name), "x");
  const Descriptor top(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  Stream stream(std::tmpfile());
  Listing listing{stream.get(), 0};
  std::uint64_t digest = 0;
  EXPECT_TRUE(listed_digest(&listing, top.get(), "tree", nullptr, 2, 1, DigestKey{}, &digest));
  std::rewind(stream.get());
  std::array<char, sizeof LogLine::text + 1> line{};
  std::uint64_t seal = LOG_SEAL_START;
  static LogFields fields;
  static ListedEntry entry;
  std::string shown;
  std::string last;
  while (std::fgets(line.data(), static_cast<int>(line.size()), stream.get()) != nullptr) {
    EXPECT_TRUE(parse_line(line.data(), std::strlen(line.data()), &seal, &fields)) << line.data();
    if (read_listed_entry(&fields, &entry)) shown = entry.path;
    last = std::string(fields.word(0)) + " " + std::string(fields.word(1));
  }
  EXPECT_EQ(last, "end 2") << "the list does not end whole";
  return shown;
}

struct NameCase {
  const char* title;
  const char* name;
  const char* shown;
};

class ListedNames : public testing::TestWithParam<NameCase> {};

TEST_P(ListedNames, ShowEveryByteOfTheNameSafely) {
  ScratchDir dir;
  EXPECT_EQ(listed_path(dir, GetParam().name), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ListedNames,
    testing::Values(NameCase{"plain", "a.gif", "a.gif"}, NameCase{"blank", "a b", "a\\040b"},
                    NameCase{"tab_and_newline", "a\tb\nc", "a\\011b\\012c"},
                    NameCase{"backslash", "a\\b", "a\\134b"},
                    NameCase{"high_bytes", "\xc3\xa9", "\\303\\251"},
                    NameCase{"line_end_and_seal_lookalike", "x #0123\n", "x\\040#0123\\012"}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.title); });

// A tree deeper than a path can be shown: an entry there is shown as its
// name below "...", and the entries beside the deep branch keep their
// whole paths.
TEST(ListedPaths, TooDeepToShowGiveTheirNameBelowDots) {
  ScratchDir dir;
  std::string deep = "tree";
  ASSERT_EQ(mkdir((dir / deep).c_str(), 0755), 0);
  const std::string level(200, 'd');
  for (int i = 0; i < 12; ++i) {
    deep += "/" + level;
    ASSERT_EQ(mkdir((dir / deep).c_str(), 0755), 0);
  }
  write_file(dir / (deep + "/last"), "x");
  write_file(dir / "tree/beside", "x");
  const Descriptor top(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  std::string shown;
  auto seen = [](void* context, const DigestedEntry& entry) {
    *static_cast<std::string*>(context) += std::string(entry.path) + "\n";
  };
  std::uint64_t digest = 0;
  ASSERT_TRUE(
      tree_digest(top.get(), "tree", nullptr, true, DigestKey{}, &digest, nullptr, seen, &shown));
  EXPECT_NE(("\n" + shown).find("\n.../last\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("beside\n"), std::string::npos) << shown;
}

std::uint64_t digest_under(const DigestKey& key, const ScratchDir& dir) {
  const Descriptor top(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  std::uint64_t digest = 0;
  EXPECT_TRUE(tree_digest(top.get(), "tree", nullptr, true, key, &digest));
  return digest;
}

// A receipt an earlier release wrote holds unkeyed digests: FNV-1a of the
// top, plus that of each entry from its place.
TEST(Digests, WithoutAKeyAreThoseEarlierReleasesTook) {
  ScratchDir dir;
  ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
  write_file(dir / "tree/a.gif", "x");
  auto fnv = [](std::uint64_t hash, std::initializer_list<std::int64_t> values) {
    for (std::int64_t value : values) {
      for (int byte = 0; byte < 8; ++byte) {
        hash =
            (hash ^ ((static_cast<std::uint64_t>(value) >> (8 * byte)) & 0xff)) * 1099511628211ULL;
      }
    }
    return hash;
  };
  const Descriptor top(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  const Descriptor tree(open((dir / "tree").c_str(), O_RDONLY | O_DIRECTORY));
  struct stat t {
  }, f{};
  Identity ti, fi;
  ASSERT_TRUE(examine(top.get(), "tree", &t, &ti) && examine(tree.get(), "a.gif", &f, &fi));
  std::uint64_t place = 1469598103934665603ULL;
  for (char byte : std::string("a.gif/"))
    place = (place ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
  const std::uint64_t expected =
      fnv(0,
          {t.st_mode & S_IFMT, static_cast<std::int64_t>(ti.inode), ti.seconds, ti.nanoseconds}) +
      fnv(place, {f.st_mode, f.st_uid, f.st_gid, f.st_size, static_cast<std::int64_t>(f.st_ino),
                  fi.born, fi.seconds, fi.nanoseconds, f.st_mtim.tv_sec, f.st_mtim.tv_nsec,
                  f.st_ctim.tv_sec, f.st_ctim.tv_nsec});
  EXPECT_EQ(digest_under(DigestKey{}, dir), expected);
}

TEST(Digests, UnderAKeyAreThatKeysAlone) {
  ScratchDir dir;
  ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
  write_file(dir / "tree/a.gif", "x");
  const std::uint64_t first = digest_under(DigestKey{{1, 2}}, dir);
  EXPECT_EQ(digest_under(DigestKey{{1, 2}}, dir), first);
  EXPECT_NE(digest_under(DigestKey{{1, 3}}, dir), first);
  EXPECT_NE(digest_under(DigestKey{}, dir), first);
}

// SipHash-2-4's own vectors: key 00..0f, messages 00, 01, ... of each length.
TEST(Digests, KeyedHashIsSipHash) {
  const DigestKey key{{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL}};
  std::array<unsigned char, 15> message{};
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i);
  for (auto [length, expected] : {std::pair<std::size_t, std::uint64_t>{0, 0x726fdb47dd0e0e31ULL},
                                  {8, 0x93f5f5799a932462ULL},
                                  {15, 0xa129ca6149be45e5ULL}}) {
    EXPECT_EQ(keyed_hash(key, message.data(), length), expected) << length << " bytes";
  }
}

}  // namespace
