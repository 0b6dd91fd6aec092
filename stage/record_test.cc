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
  targets[0].old_identity = {2049, 99, true, -5, 999'999'999};
  targets[0].staged_identity = {2049, 100, true, 1796731536, 407182784};
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
  EXPECT_TRUE(language.staged_identity.born);
  EXPECT_EQ(language.staged_identity.birth_seconds, 1796731536);
  EXPECT_EQ(language.staged_identity.birth_nanoseconds, 407182784u);
  EXPECT_EQ(language.old_identity.birth_seconds, -5);
  EXPECT_FALSE(language.parent_identity.born);
  const StagedTarget& images = parsed.targets[1];
  EXPECT_STREQ(images.path, "/srv/www\nx\xff/images");
  EXPECT_STREQ(images.staging, "");
  EXPECT_TRUE(images.is_directory);
  EXPECT_FALSE(images.replaces);
}

// The text with its check line made anew, as a forger who knows the
// format would make it.
std::string resealed(const std::string& text) {
  const std::string body = text.substr(0, text.rfind("check "));
  char line[32];
  std::snprintf(line, sizeof line, "check %016llx\n",
                static_cast<unsigned long long>(checksum(body.data(), body.size())));
  return body + line;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// A record that a killed run of the release before left, which named
// entries by device and inode alone, is still repaired.
TEST(Record, ReadsTheRecordOfTheReleaseBefore) {
  std::string text = replaced(two_target_record(), "record 2", "record 1");
  text = replaced(replaced(text, ":1796731536.407182784", ""), ":-5.999999999", "");
  for (std::size_t at; (at = text.find(":-")) != std::string::npos;) text.erase(at, 2);
  text = resealed(text);
  Parsed parsed;
  ASSERT_EQ(parse(text, &parsed), 2) << text;
  EXPECT_EQ(parsed.targets[0].staged_identity.inode, 100u);
  EXPECT_FALSE(parsed.targets[0].staged_identity.born);
}

TEST(Record, IdentitiesWithBirthTimesAreOneOnlyWhenTheBirthTimesAre) {
  const EntryIdentity known{2049, 100, true, 7, 8};
  EXPECT_TRUE(same_identity({77, 100, true, 7, 8}, known)) << "another device number";
  EXPECT_FALSE(same_identity({2049, 100, true, 7, 9}, known)) << "the inode number reused";
  EXPECT_FALSE(same_identity({2049, 100, false, 0, 0}, {77, 100, false, 0, 0}))
      << "no birth time: the device decides";
  EXPECT_FALSE(same_identity({2049, 100, true, 7, 8}, {})) << "nothing known";
  EXPECT_FALSE(same_identity({2049, 100, false, 0, 0}, known)) << "the birth time no longer told";
}

// A receipt is a record in the phase installed whose targets carry two
// digests more, of the whole 64 bits.
TEST(Record, ReadsBackAReceiptWithItsDigests) {
  std::array<StagedTarget, 1> targets;
  targets[0].path = "/var/lib/tw/templates";
  targets[0].is_directory = true;
  targets[0].replaces = true;
  targets[0].staged_identity = {2049, 100, true, 1796731536, 407182784};
  targets[0].installed_digest = 18446744073709551615ULL;
  targets[0].kept_digest = 1;
  std::array<char, RECORD_SIZE> text{};
  const std::size_t length =
      format_record(text.data(), text.size(), PHASE_INSTALLED, targets.data(), targets.size());
  Parsed parsed;
  ASSERT_EQ(parse(std::string(text.data(), length), &parsed), 1);
  EXPECT_EQ(parsed.phase, PHASE_INSTALLED);
  EXPECT_EQ(parsed.targets[0].installed_digest, 18446744073709551615ULL);
  EXPECT_EQ(parsed.targets[0].kept_digest, 1u);
  EXPECT_EQ(parsed.targets[0].staged_identity.inode, 100u);
  // Without its digests, or with one past 64 bits, it is no receipt.
  const std::string whole(text.data(), length);
  EXPECT_EQ(parse(resealed(replaced(whole, " 18446744073709551615 1\n", "\n")), &parsed), -1);
  EXPECT_EQ(
      parse(resealed(replaced(whole, "18446744073709551615", "18446744073709551616")), &parsed),
      -1);
  // An undo in progress is a phase of its own.
  const std::size_t reverting =
      format_record(text.data(), text.size(), PHASE_REVERTING, targets.data(), targets.size());
  // Read into the targets that held the receipt, it keeps none of its
  // digests.
  ASSERT_EQ(parse(whole, &parsed), 1);
  ASSERT_EQ(parse(std::string(text.data(), reverting), &parsed), 1);
  EXPECT_EQ(parsed.phase, PHASE_REVERTING);
  EXPECT_EQ(parsed.targets[0].installed_digest, 0u);
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
        DamageCase{
            "OtherHeader",
            [](std::string text) { return resealed(replaced(text, "record 2", "record 3")); }},
        DamageCase{"StepPastTheInt",
                   [](std::string text) {
                     return resealed(replaced(text, " 0 0 0 2049:17", " 0 0 2147483648 2049:17"));
                   }},
        DamageCase{"SlashInAStagingName",
                   [](std::string text) {
                     return resealed(replaced(text, ".lang.cfg.langext-Ab3", "../../etc/passwd"));
                   }},
        DamageCase{"DotDotAsAStagingName",
                   [](std::string text) {
                     return resealed(replaced(text, ".lang.cfg.langext-Ab3", ".."));
                   }},
        DamageCase{"BirthWithoutNanoseconds",
                   [](std::string text) { return resealed(replaced(text, ".407182784", "")); }},
        DamageCase{"Appended", [](std::string text) { return text + "target file 0\n"; }}),
    [](const testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

}  // namespace
