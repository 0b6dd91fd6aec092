#include "stage/record.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

struct Parsed {
  int phase = 0;
  std::array<StagedTarget, RECORD_TARGETS> targets;
  char paths[RECORD_TARGETS][PATH_BUFFER_SIZE] = {};
  int count = 0;
};

// The record of two targets whose names hold every kind of byte that a
// path may hold, a line end and a blank among them.
std::string two_target_record() {
  static std::array<StagedTarget, 2> targets;
  targets[0].path = "/var/lib/tw/lang \\x.cfg";
  std::snprintf(targets[0].staging, NAME_BUFFER_SIZE, ".lang.cfg.langext-Ab3");
  targets[0].replaces = true;
  targets[0].parent_identity = {2049, 17};
  targets[0].old_identity = {2049, 99};
  targets[0].staged_identity = {2049, 100};
  targets[1].path = "/srv/www\nx\xff/images";
  targets[1].is_directory = true;
  std::array<char, RECORD_SIZE> text{};
  const std::size_t length =
      format_record(text.data(), text.size(), PHASE_SWAPPING, targets.data(), targets.size());
  return std::string(text.data(), length);
}

int parse(const std::string& text, Parsed* parsed) {
  parsed->count =
      parse_record(text.data(), text.size(), &parsed->phase, parsed->targets.data(), parsed->paths);
  return parsed->count;
}

TEST(Record, ReadsBackWhatWasWritten) {
  Parsed parsed;
  ASSERT_EQ(parse(two_target_record(), &parsed), 2);
  EXPECT_EQ(parsed.phase, PHASE_SWAPPING);
  const StagedTarget& language = parsed.targets[0];
  EXPECT_STREQ(language.path, "/var/lib/tw/lang \\x.cfg");
  EXPECT_STREQ(language.staging, ".lang.cfg.langext-Ab3");
  EXPECT_TRUE(language.replaces);
  EXPECT_FALSE(language.is_directory);
  EXPECT_EQ(language.parent_identity.inode, 17u);
  EXPECT_EQ(language.old_identity.inode, 99u);
  EXPECT_EQ(language.staged_identity.device, 2049u);
  EXPECT_EQ(language.staged_identity.inode, 100u);
  const StagedTarget& images = parsed.targets[1];
  EXPECT_STREQ(images.path, "/srv/www\nx\xff/images");
  EXPECT_STREQ(images.staging, "");
  EXPECT_TRUE(images.is_directory);
  EXPECT_FALSE(images.replaces);
}

struct DamageCase {
  const char* name;
  std::string (*damage)(std::string);
};

class DamagedRecord : public testing::TestWithParam<DamageCase> {};

TEST_P(DamagedRecord, IsNotTakenForOne) {
  Parsed parsed;
  EXPECT_EQ(parse(GetParam().damage(two_target_record()), &parsed), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedRecord,
    testing::Values(
        DamageCase{"Empty", [](std::string) { return std::string(); }},
        DamageCase{"CutShort", [](std::string text) { return text.substr(0, text.size() / 2); }},
        DamageCase{"LastByteGone",
                   [](std::string text) { return text.substr(0, text.size() - 1); }},
        DamageCase{"OneByteChanged",
                   [](std::string text) {
                     text[text.find("99")] = '8';
                     return text;
                   }},
        DamageCase{"OtherHeader",
                   [](std::string text) {
                     text[text.find('1')] = '2';
                     return text;
                   }},
        DamageCase{"Appended", [](std::string text) { return text + "target file 0\n"; }}),
    [](const testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

}  // namespace
