#include "stage/receipt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "copy/descriptor.h"
#include "tests/scratch_dir.h"

namespace {

struct Tree {
  ScratchDir dir;
  Descriptor parent{open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  Tree() {
    mkdir((dir / "installed").c_str(), 0755);
    mkdir((dir / "installed/sub").c_str(), 0755);
    write_file(dir / "installed/sub/page.htx", "<tw:page/>\n");
    write_file(dir / "installed/top.htx", "top\n");
  }
  std::uint64_t digest() const {
    std::uint64_t value = 0;
    EXPECT_TRUE(tree_digest(parent.get(), "installed", &value));
    return value;
  }
};

// That the digest stays while nothing changes, and shows an edit that keeps
// size and times or an entry added, the undo's round trips and refusals
// show end to end.

// The top of a tree may be staged in and given its times back: its times
// do not count, what it holds does.
TEST(Receipt, DigestLeavesOutTheTimesOfTheTopDirectoryOnly) {
  Tree tree;
  const std::uint64_t first = tree.digest();
  ASSERT_EQ(mkdir((tree.dir / "installed/.staged").c_str(), 0700), 0);
  ASSERT_NE(tree.digest(), first);
  ASSERT_EQ(rmdir((tree.dir / "installed/.staged").c_str()), 0);
  EXPECT_EQ(tree.digest(), first);
  ASSERT_EQ(chmod((tree.dir / "installed").c_str(), 0700), 0);
  EXPECT_NE(tree.digest(), first);
}

TEST(Receipt, DigestNeverFollowsALink) {
  Tree tree;
  ASSERT_EQ(symlink((tree.dir / "installed").c_str(), (tree.dir / "link").c_str()), 0);
  std::uint64_t through = 0;
  ASSERT_TRUE(tree_digest(tree.parent.get(), "link", &through));
  EXPECT_NE(through, tree.digest());
  std::uint64_t missing = 0;
  EXPECT_FALSE(tree_digest(tree.parent.get(), "missing", &missing));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
