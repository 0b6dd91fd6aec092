#include "stage/staging.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tests/scratch_dir.h"

namespace {

TEST(Staging, StagedTreeIsHiddenOwnerOnlyAndRemovedWithoutFollowingLinks) {
  ScratchDir dir;
  const std::string victim = dir / "victim";
  write_file(victim, "untouched");
  const std::string target_path = dir / "templates";
  StagedTarget target;
  target.path = target_path.c_str();
  target.is_directory = true;
  ASSERT_TRUE(prepare_target(&target) && create_staged(&target));
  const std::string staging = dir / target.staging;
  EXPECT_EQ(std::string(target.staging).rfind(".templates.langext-", 0), 0u) << target.staging;
  EXPECT_EQ(mode_of(staging), S_IFDIR | 0700);
  ASSERT_EQ(mkdir((staging + "/sub").c_str(), 0755), 0);
  write_file(staging + "/sub/page", "new");
  ASSERT_EQ(symlink(victim.c_str(), (staging + "/sub/link").c_str()), 0);
  EXPECT_TRUE(still_staged(target));
  EXPECT_TRUE(remove_staged(&target));
  EXPECT_EQ(access(staging.c_str(), F_OK), -1);
  EXPECT_EQ(read_file(victim), "untouched");
}

// A tree being removed, a copy of old contents as deep as others made them,
// goes however deep, each level holding one descriptor: within the 1024
// open files a shell allows by default, a chain far past what a path can
// reach goes whole; one deeper than descriptors allow fails, and says why.
TEST(Staging, RemovalGoesAsDeepAsDescriptorsAllow) {
  const OpenFilesCapped capped;
  ScratchDir dir;
  for (const int depth : {900, 1100}) {
    const std::string top = dir / ("chain" + std::to_string(depth));
    ASSERT_TRUE(make_chain(top, depth));
    write_file(top + "/beside", "goes too");
    Descriptor parent(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string name = "chain" + std::to_string(depth);
    if (depth == 900) {
      EXPECT_TRUE(remove_tree_at(parent.get(), name.c_str()));
      EXPECT_EQ(access(top.c_str(), F_OK), -1);
    } else {
      EXPECT_FALSE(remove_tree_at(parent.get(), name.c_str()));
      EXPECT_EQ(errno, EMFILE);
    }
  }
}

// Only what root made closed to others, as a killed run stages it, counts as
// its leftover in a volume: another user's entry of the same name is an old
// entry like any other, and cannot block every installation.
struct LeftoverCase {
  const char* title;
  bool is_directory;
  mode_t mode;
  uid_t owner;
  bool leftover;
};

class StagingLeftover : public testing::TestWithParam<LeftoverCase> {};

TEST_P(StagingLeftover, IsRootsOwnClosedToOthers) {
  const LeftoverCase& row = GetParam();
  ScratchDir dir;
  const std::string entry = dir / ".x.langext-AAAAAAAA";
  if (row.is_directory) {
    ASSERT_EQ(mkdir(entry.c_str(), 0700), 0);
    ASSERT_EQ(chmod(entry.c_str(), row.mode), 0);
  } else {
    write_file(entry, "", row.mode);
  }
  // Another user than the one the test runs as, which the program is.
  const uid_t other = geteuid() == 1000 ? 1001 : 1000;
  if (row.owner != 0 && chown(entry.c_str(), other, other) != 0) {
    GTEST_SKIP() << "chown to another user is refused here";
  }
  write_file(dir / "ordinary", "old");
  const Descriptor volume(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  errno = 0;
  EXPECT_EQ(holds_staging_leftover(volume.get()), row.leftover);
  EXPECT_EQ(errno, row.leftover ? STAGING_LEFTOVER : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StagingLeftover,
    testing::Values(LeftoverCase{"RootsDirectory", true, 0700, 0, true},
                    LeftoverCase{"RootsFile", false, 0600, 0, true},
                    LeftoverCase{"RootsOpenDirectory", true, 0755, 0, false},
                    LeftoverCase{"RootsReadableFile", false, 0644, 0, false},
                    LeftoverCase{"OtherUsersFile", false, 0600, 1000, false},
                    LeftoverCase{"OtherUsersDirectory", true, 0700, 1000, false}),
    [](const testing::TestParamInfo<LeftoverCase>& info) { return std::string(info.param.title); });

TEST(Staging, NameAtTheLimitGetsTheShortStagingName) {
  ScratchDir dir;
  const std::string target_path = dir / std::string(250, 'n');
  StagedTarget target;
  target.path = target_path.c_str();
  ASSERT_TRUE(prepare_target(&target) && create_staged(&target));
  EXPECT_EQ(std::strlen(target.staging), std::strlen(".langext-XXXXXXXX"));
  EXPECT_EQ(mode_of(dir / target.staging), S_IFREG | 0600);
  EXPECT_TRUE(remove_staged(&target));
}

struct WithinCase {
  const char* name;
  std::string path, directory;
  bool within;
};

class LiesWithin : public testing::TestWithParam<WithinCase> {};

TEST_P(LiesWithin, FollowsWhatARenameWouldCarry) {
  ScratchDir dir;
  mkdir((dir / "t").c_str(), 0755);
  mkdir((dir / "t/sub").c_str(), 0755);
  mkdir((dir / "other").c_str(), 0755);
  symlink((dir / "t").c_str(), (dir / "link-to-t").c_str());
  EXPECT_EQ(lies_within((dir / GetParam().path).c_str(), (dir / GetParam().directory).c_str()),
            GetParam().within);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LiesWithin,
    testing::Values(WithinCase{"FileInside", "t/lang", "t", true},
                    WithinCase{"Deeper", "t/sub/lang", "t", true},
                    WithinCase{"Same", "t", "t", true},
                    WithinCase{"ThroughALinkedParent", "link-to-t/sub", "t", true},
                    WithinCase{"Beside", "other/lang", "t", false},
                    WithinCase{"PrefixOnly", "tt/lang", "t", false},
                    WithinCase{"UnderALinkThatMovesAlone", "t/lang", "link-to-t", false}),
    [](const testing::TestParamInfo<WithinCase>& info) { return info.param.name; });

}  // namespace
