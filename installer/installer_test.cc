#include "installer/installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <string>

#include "tests/scratch_dir.h"

namespace {

struct EntryCase {
  std::string received;  // bytes as one read delivers them
  int accepted;
  std::string root;
};

class TakeDocumentRoot : public testing::TestWithParam<EntryCase> {};

TEST_P(TakeDocumentRoot, DropsLineEndAndOneSlash) {
  std::array<char, PATH_BUFFER_SIZE> entry;
  entry.fill('?');
  const std::string& bytes = GetParam().received;
  std::memcpy(entry.data(), bytes.data(), bytes.size());
  ASSERT_EQ(take_document_root(entry.data(), static_cast<long>(bytes.size())), GetParam().accepted);
  if (GetParam().accepted == 1) {
    EXPECT_EQ(entry.data(), GetParam().root);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, TakeDocumentRoot,
    testing::Values(
        EntryCase{"\n", 1, "/var/lib/httpd/htdocs"}, EntryCase{"", 1, "/var/lib/httpd/htdocs"},
        EntryCase{"/srv/www/\n", 1, "/srv/www"}, EntryCase{"/srv/www//\n", 1, "/srv/www/"},
        EntryCase{"   \n", 1, "/var/lib/httpd/htdocs"}, EntryCase{" /srv/www\n", 1, " /srv/www"},
        EntryCase{"/\n", 1, "/var/lib/httpd/htdocs"}, EntryCase{"//\n", 1, "/"},
        EntryCase{"www", 1, "ww"}, EntryCase{"/srv/www\nx\n", 1, "/srv/www\nx"},
        EntryCase{"/srv/w\r\n", 1, "/srv/w\r"},
        EntryCase{std::string(504, 'a') + "\n", 1, std::string(504, 'a')},
        EntryCase{std::string(504, 'a') + "/\n", 1, std::string(504, 'a')},
        EntryCase{std::string(505, 'a') + "\n", 0, ""}, EntryCase{std::string(512, 'a'), 0, ""},
        EntryCase{std::string("/a\0", 3) + std::string(508, 'b') + "\n", 1, "/a"}));

TEST(TakeDocumentRoot, FailedReadCountsAsEmpty) {
  std::array<char, PATH_BUFFER_SIZE> entry;
  entry.fill('x');
  ASSERT_EQ(take_document_root(entry.data(), -1), 1);
  EXPECT_STREQ(entry.data(), "/var/lib/httpd/htdocs");
}

struct ScanCase {
  std::string contents, template_directory, language_file;
  int found;
};

class ScanProductConfiguration : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanProductConfiguration, ReadsBothKeys) {
  ScratchDir dir;
  write_file(dir / "tarnwick.conf", GetParam().contents);
  std::array<char, PATH_BUFFER_SIZE> templates{}, language{};
  EXPECT_EQ(scan_product_configuration((dir / "tarnwick.conf").c_str(), templates.data(),
                                       language.data()),
            GetParam().found);
  EXPECT_EQ(templates.data(), GetParam().template_directory);
  EXPECT_EQ(language.data(), GetParam().language_file);
}

const std::string LONG_VALUE(511, 'v');

INSTANTIATE_TEST_SUITE_P(
    Files, ScanProductConfiguration,
    testing::Values(ScanCase{"templatedir=/opt/site/templates/\nlangfile=/opt/l\n",
                             "/opt/site/templates/", "/opt/l", 0},
                    ScanCase{"TemplateDir = /opt/t\nLANGFILE\t=\t/x\n", "/opt/t", "/x", 0},
                    ScanCase{"templatedirs=/x\nlangfile_extra=/y\n", "/x", "/y", 0},
                    ScanCase{"  templatedir=/a\n#langfile=/b\nother=1\nlangfile\n", "", "", 0},
                    ScanCase{"langfile=/one\nlangfile=\n", "", "", 0},
                    ScanCase{"langfile=/one\nlangfile=/two\n", "", "/two", 0},
                    ScanCase{"langfile=/a b  \r\ntemplatedir=/t=u\r\n", "/t=u\r", "/a b  \r", 0},
                    ScanCase{"langfile=/no-line-end", "", "/no-line-end", 0},
                    ScanCase{"langfile= " + LONG_VALUE + "\n", "", LONG_VALUE, 0},
                    ScanCase{"langfile=" + LONG_VALUE + "v\n", "", "", LANGUAGE_FILE_TOO_LONG},
                    ScanCase{"templatedir=" + LONG_VALUE + "v\ntemplatedir=/t\n", "/t", "", 0},
                    ScanCase{"templatedir=/t\ntemplatedir=" + LONG_VALUE + "v\n", "", "",
                             TEMPLATE_DIRECTORY_TOO_LONG},
                    // A line over 1023 bytes is read in pieces; the second piece is a
                    // line of its own.
                    ScanCase{"xx" + std::string(1021, '-') + "langfile=/piece\n", "", "/piece",
                             0}));

TEST(ScanProductConfiguration, UnreadableFileIsReported) {
  ScratchDir dir;
  std::array<char, PATH_BUFFER_SIZE> templates{}, language{};
  EXPECT_EQ(scan_product_configuration((dir / "none").c_str(), templates.data(), language.data()),
            CONFIGURATION_UNREADABLE);
  EXPECT_EQ(scan_product_configuration(dir.path().c_str(), templates.data(), language.data()),
            CONFIGURATION_UNREADABLE);
  EXPECT_STREQ(templates.data(), "");
  EXPECT_STREQ(language.data(), "");
}

}  // namespace
