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

namespace {

using Bytes = std::string;  // may hold NUL and bytes over 127

struct SearchCase {
  std::string text, wanted;
  long offset;  // -1 for no match
};

class FindTextNocase : public testing::TestWithParam<SearchCase> {};

TEST_P(FindTextNocase, FindsLeftmostMatchInsideText) {
  const std::string& text = GetParam().text;
  const char* found = find_text_nocase(text.c_str(), GetParam().wanted.c_str());
  if (GetParam().offset < 0) {
    EXPECT_EQ(found, nullptr);
  } else {
    EXPECT_EQ(found, text.c_str() + GetParam().offset);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FindTextNocase,
                         testing::Values(SearchCase{"xxAbCxx", "abc", 2},
                                         SearchCase{"abab", "ab", 0}, SearchCase{"ab", "abc", -1},
                                         SearchCase{"xxab", "abc", -1}, SearchCase{"abc", "", -1},
                                         SearchCase{"", "a", -1}, SearchCase{"ABC", "abc", 0},
                                         SearchCase{"za\xc4", "A\xe4", -1},
                                         SearchCase{"x@[", "`{", -1}));

struct TruthCase {
  Bytes text;
  int expected;
};

class IsAllDigits : public testing::TestWithParam<TruthCase> {};
TEST_P(IsAllDigits, OnlyAsciiDigits) {
  EXPECT_EQ(is_all_digits(GetParam().text.c_str()), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, IsAllDigits,
                         testing::Values(TruthCase{"0123", 1}, TruthCase{"", 1},
                                         TruthCase{"12a", 0}, TruthCase{"-1", 0},
                                         TruthCase{"1.5", 0}, TruthCase{" 12", 0},
                                         TruthCase{"1\xc8", 0}, TruthCase{"9/:0", 0}));

class HasAtSign : public testing::TestWithParam<TruthCase> {};
TEST_P(HasAtSign, FindsByte64) {
  EXPECT_EQ(has_at_sign(GetParam().text.c_str()), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, HasAtSign,
                         testing::Values(TruthCase{"@x", 1}, TruthCase{"x@", 1}, TruthCase{"", 0},
                                         TruthCase{"user.example", 0}, TruthCase{"\xc0", 0}));

struct NumberCase {
  std::string text;
  double expected;
};

class ParseNumber : public testing::TestWithParam<NumberCase> {};
TEST_P(ParseNumber, ReadsRightToLeft) {
  EXPECT_DOUBLE_EQ(parse_number(GetParam().text.c_str()), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ParseNumber,
    testing::Values(NumberCase{"123.45", 123.45}, NumberCase{"-1.5", -1.5},
                    NumberCase{"2.5e2", 250}, NumberCase{"-2.5E-2", -0.025},
                    NumberCase{"1e-3", 0.001}, NumberCase{".5", 0.5}, NumberCase{"5.", 5},
                    NumberCase{"7e", 7}, NumberCase{"7e0", 7}, NumberCase{"e5", 0},
                    NumberCase{"abc", 0}, NumberCase{"", 0}, NumberCase{" 1 2 ", 12},
                    NumberCase{"+5", 5}, NumberCase{"1,25", 125}, NumberCase{"5-3", 47},
                    NumberCase{"1.2.3", 1.23}, NumberCase{"2e1e3", 20}, NumberCase{"9\xb9", 9}));

struct CleaningCase {
  Bytes source;
  int count;
  Bytes expected;  // up to and including the terminating NUL
};

using CountedCleaner = void (*)(char*, const char*, int);

// Checks one counted cleaning copy into a separate buffer and in place.
void check_counted(CountedCleaner clean, const CleaningCase& c) {
  std::string destination(c.source.size() + 2, '#');
  clean(destination.data(), c.source.data(), c.count);
  EXPECT_EQ(destination.substr(0, c.expected.size()), c.expected);
  std::string in_place = c.source + '#';
  clean(in_place.data(), in_place.data(), c.count);
  EXPECT_EQ(in_place.substr(0, c.expected.size()), c.expected) << "in place";
}

class RemoveSpaces : public testing::TestWithParam<CleaningCase> {};
TEST_P(RemoveSpaces, DropsOnlySpaces) { check_counted(remove_spaces, GetParam()); }
INSTANTIATE_TEST_SUITE_P(Cases, RemoveSpaces,
                         testing::Values(CleaningCase{"a b\td ", 6, Bytes("ab\td\0", 5)},
                                         CleaningCase{"ab", 0, Bytes("\0", 1)},
                                         CleaningCase{"ab", -3, Bytes("\0", 1)},
                                         CleaningCase{"a b d", 3, Bytes("ab\0", 3)},
                                         CleaningCase{Bytes("a\0b", 3), 3, Bytes("a\0b\0", 4)},
                                         CleaningCase{" \r\n\xa0 ", 5, Bytes("\r\n\xa0\0", 4)}));

class SqueezeBlanks : public testing::TestWithParam<CleaningCase> {};
TEST_P(SqueezeBlanks, FoldsBlankRunsAndDropsQuotes) { check_counted(squeeze_blanks, GetParam()); }
INSTANTIATE_TEST_SUITE_P(Cases, SqueezeBlanks,
                         testing::Values(CleaningCase{"  a   b ", 8, Bytes("a b \0", 5)},
                                         CleaningCase{"\ta", 2, Bytes(" a\0", 3)},
                                         CleaningCase{"  \t a", 5, Bytes(" a\0", 3)},
                                         CleaningCase{"a\t \tb", 5, Bytes("a b\0", 4)},
                                         CleaningCase{"a \" b", 5, Bytes("a  b\0", 5)},
                                         CleaningCase{"\"  a", 4, Bytes(" a\0", 3)},
                                         CleaningCase{"say \"x\"", 7, Bytes("say x\0", 6)},
                                         CleaningCase{"say 'x'", 7, Bytes("say x\0", 6)},
                                         CleaningCase{Bytes("a\0 b", 4), 4, Bytes("a\0 b\0", 5)},
                                         CleaningCase{"ab", 0, Bytes("\0", 1)}));

struct StripCase {
  Bytes source, expected;
};

class StripSlashes : public testing::TestWithParam<StripCase> {};
TEST_P(StripSlashes, DropsSlashesAndEdges) {
  std::string destination(GetParam().source.size() + 1, '#');
  strip_slashes(destination.data(), GetParam().source.c_str());
  EXPECT_STREQ(destination.c_str(), GetParam().expected.c_str());
  std::string in_place = GetParam().source;
  strip_slashes(in_place.data(), in_place.c_str());
  EXPECT_STREQ(in_place.c_str(), GetParam().expected.c_str()) << "in place";
}
INSTANTIATE_TEST_SUITE_P(Cases, StripSlashes,
                         testing::Values(StripCase{"  /usr/local/ \r\n", "usrlocal"},
                                         StripCase{"a / b", "a  b"}, StripCase{"/ x", "x"},
                                         StripCase{"/ \r\n//\n ", ""}, StripCase{"\tx\t", "\tx\t"},
                                         StripCase{"\r x", "\r x"}, StripCase{"", ""}));

struct LowerCase {
  Bytes text, expected;
};
class MakeLowerCase : public testing::TestWithParam<LowerCase> {};
TEST_P(MakeLowerCase, ChangesOnlyAsciiCapitals) {
  std::string text = GetParam().text;
  make_lower_case(text.data());
  EXPECT_EQ(text, GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, MakeLowerCase,
                         testing::Values(LowerCase{"MiXeD 123", "mixed 123"}, LowerCase{"", ""},
                                         LowerCase{"\xc4\xd6\xde@[", "\xc4\xd6\xde@["},
                                         LowerCase{"AZ`az", "az`az"}));

}  // namespace
