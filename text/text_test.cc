#include "text/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PresenceCase {
  std::string text;
  int expected;
};

class HasText : public testing::TestWithParam<PresenceCase> {};

TEST_P(HasText, TellsBlankFromText) {
  EXPECT_EQ(has_text(GetParam().text.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Entries, HasText,
                         testing::Values(PresenceCase{"", 0}, PresenceCase{"   ", 0},
                                         PresenceCase{" \t\r\n \t", 0}, PresenceCase{".", 1},
                                         PresenceCase{"    x", 1}, PresenceCase{"\xa0", 1},
                                         PresenceCase{"\x0b", 1}, PresenceCase{"\r\n/", 1}));

TEST(HasText, NullPointerIsBlank) { EXPECT_EQ(has_text(nullptr), 0); }

}  // namespace
