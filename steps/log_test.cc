#include "steps/log.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct IdentityCase {
  const char* title;
  Identity identity;
};

class LoggedIdentities : public testing::TestWithParam<IdentityCase> {};

// Every identity the run logs reads back as itself: else a record, or a
// receipt, that names it could never be read again.
TEST_P(LoggedIdentities, ReadBackAsThemselves) {
  const Identity& logged = GetParam().identity;
  LogLine line;
  add_word(&line, "made");
  add_identity(&line, logged);
  std::uint64_t seal = LOG_SEAL_START;
  ASSERT_TRUE(seal_line(&line, &seal));
  static LogFields fields;
  ASSERT_TRUE(parse_line(line.text, line.length, nullptr, &fields));
  const Identity read = fields.identity(1);
  EXPECT_TRUE(fields.good) << line.text;
  EXPECT_EQ(read.inode, logged.inode);
  EXPECT_EQ(read.born, logged.born);
  EXPECT_EQ(logged.born ? read.seconds : static_cast<std::int64_t>(read.device),
            logged.born ? logged.seconds : static_cast<std::int64_t>(logged.device));
  EXPECT_EQ(read.nanoseconds, logged.nanoseconds);
}

INSTANTIATE_TEST_SUITE_P(
    Identities, LoggedIdentities,
    testing::Values(IdentityCase{"born", {0, 1234, true, 1765000000, 999999999}},
                    IdentityCase{"born_before_1970", {0, 12, true, -86400, 5}},
                    IdentityCase{"without_a_birth_time", {2049, 77, false, 0, 0}},
                    // An overlay's (xino) keeps its layer in the inode's high bits.
                    IdentityCase{"overlay_inode_of_64_bits",
                                 {0, 0x8000000000000123ULL, true, 1, 2}},
                    IdentityCase{"largest_inode", {0, UINT64_MAX, false, 0, 0}}),
    [](const testing::TestParamInfo<IdentityCase>& info) { return info.param.title; });

}  // namespace
