#include "steps/digest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
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
  EXPECT_TRUE(listed_digest(&listing, top.get(), "tree", nullptr, 2, 1, &digest));
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
  ASSERT_TRUE(tree_digest(top.get(), "tree", nullptr, true, &digest, nullptr, seen, &shown));
  EXPECT_NE(("\n" + shown).find("\n.../last\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("beside\n"), std::string::npos) << shown;
}

}  // namespace
