#include "fs/copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "fs/fd.h"
#include "fs/keep.h"
#include "fs/walk.h"
#include "tests/scratch_dir.h"

namespace {

// Runs with a hostile umask so that any mode left to it shows.
class CopyTest : public testing::Test {
 protected:
  void SetUp() override { saved_umask_ = umask(077); }
  void TearDown() override { umask(saved_umask_); }
  ScratchDir dir_;
  mode_t saved_umask_ = 0;
  int failures_ = 0;
};

// Copies the tree at source into destination, made with mode 0755 where
// missing, as the installer fills a staged directory: the mask 0.
int copy_tree(const char* source, const char* destination, int* failures) {
  if (access(source, F_OK) != 0) return -1;
  umask(0);
  mkdir(destination, CREATED_DIRECTORY_MODE);
  const Descriptor target(open(destination, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!target.is_open()) {
    report_copy_failure(source, destination);
    ++*failures;
    return 0;
  }
  return copy_tree_into(source, target.get(), destination, failures, CopyHooks{nullptr, nullptr});
}

TEST_F(CopyTest, TreeArrivesEntryForEntryWithExactModes) {
  const std::string source = dir_ / "src";
  mkdir(source.c_str(), 0700);
  mkdir((source + "/a").c_str(), 0700);
  mkdir((source + "/a/b").c_str(), 0711);
  write_file(source + "/plain", "plain\n", 0600);
  write_file(source + "/a/tool", "#!/bin/sh\n", 0755);
  write_file(source + "/a/b/setuid", std::string("\0\1\2\xff", 4), 04755);
  write_file(source + "/.hidden", "hidden", 0640);
  symlink("a/tool", (source + "/link").c_str());

  ASSERT_EQ(copy_tree(source.c_str(), (dir_ / "dst").c_str(), &failures_), 0);
  EXPECT_EQ(failures_, 0);

  const std::string target = dir_ / "dst";
  EXPECT_EQ(mode_of(target), S_IFDIR | 0755);
  EXPECT_EQ(mode_of(target + "/a"), S_IFDIR | 0755);
  EXPECT_EQ(mode_of(target + "/a/b"), S_IFDIR | 0755);
  EXPECT_EQ(mode_of(target + "/plain"), S_IFREG | 0600);
  EXPECT_EQ(mode_of(target + "/a/tool"), S_IFREG | 0755);
  EXPECT_EQ(mode_of(target + "/a/b/setuid"), S_IFREG | 04755);
  EXPECT_EQ(mode_of(target + "/.hidden"), S_IFREG | 0640);
  EXPECT_EQ(mode_of(target + "/link"), S_IFREG | 0755);
  EXPECT_EQ(read_file(target + "/a/b/setuid"), std::string("\0\1\2\xff", 4));
  EXPECT_EQ(read_file(target + "/link"), "#!/bin/sh\n");
  EXPECT_EQ(read_file(target + "/.hidden"), "hidden");
}

TEST_F(CopyTest, ExistingDestinationIsUsedInPlaceAndFilesRefilled) {
  const std::string source = dir_ / "src", target = dir_ / "dst";
  mkdir(source.c_str(), 0755);
  mkdir(target.c_str(), 0700);
  write_file(source + "/page", "new", 0644);
  write_file(target + "/page", "much longer old contents", 0666);
  write_file(target + "/keep", "kept", 0600);

  ASSERT_EQ(copy_tree(source.c_str(), target.c_str(), &failures_), 0);
  EXPECT_EQ(failures_, 0);
  EXPECT_EQ(mode_of(target), S_IFDIR | 0700);
  EXPECT_EQ(read_file(target + "/page"), "new");
  EXPECT_EQ(mode_of(target + "/page"), S_IFREG | 0644);
  EXPECT_EQ(read_file(target + "/keep"), "kept");
}

// Entries that are not regular files are counted and reported, never block,
// and do not stop the copy of their siblings.
TEST_F(CopyTest, OddEntriesFailWithoutStoppingTheWalk) {
  const std::string source = dir_ / "src", target = dir_ / "dst";
  mkdir(source.c_str(), 0755);
  mkdir((source + "/dir").c_str(), 0755);
  mkfifo((source + "/fifo").c_str(), 0644);
  symlink("nowhere", (source + "/dangling").c_str());
  symlink("dir", (source + "/dirlink").c_str());
  write_file(source + "/good", "good");

  testing::internal::CaptureStdout();
  EXPECT_EQ(copy_tree(source.c_str(), target.c_str(), &failures_), 0);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures_, 3);
  EXPECT_NE(output.find("Unable to copy " + source + "/fifo to " + target +
                        "/fifo. It is not a regular file or a link to one.\n\n"),
            std::string::npos);
  EXPECT_EQ(read_file(target + "/good"), "good");
  EXPECT_EQ(mode_of(target + "/dir"), S_IFDIR | 0755);
  for (const char* absent : {"/fifo", "/dangling", "/dirlink"}) {
    EXPECT_EQ(access((target + absent).c_str(), F_OK), -1) << absent;
  }
}

TEST_F(CopyTest, MissingSourceCreatesNothing) {
  EXPECT_EQ(copy_tree((dir_ / "none").c_str(), (dir_ / "dst").c_str(), &failures_), -1);
  EXPECT_EQ(access((dir_ / "dst").c_str(), F_OK), -1);
}

TEST_F(CopyTest, FileAsTreeSourceMakesEmptyDestinationAndCountsFailure) {
  write_file(dir_ / "file", "x");
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy_tree((dir_ / "file").c_str(), (dir_ / "dst").c_str(), &failures_), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures_, 1);
  EXPECT_EQ(mode_of(dir_ / "dst"), S_IFDIR | 0755);
}

// A link at a destination name, planted by someone else, is never followed.
TEST_F(CopyTest, LinkAtDestinationIsNotFollowed) {
  const std::string victim = dir_ / "victim";
  mkdir(victim.c_str(), 0755);
  write_file(victim + "/secret", "untouched");
  const std::string source = dir_ / "src", target = dir_ / "dst";
  mkdir(source.c_str(), 0755);
  mkdir((source + "/sub").c_str(), 0755);
  write_file(source + "/sub/secret", "payload");
  mkdir(target.c_str(), 0755);
  symlink(victim.c_str(), (target + "/sub").c_str());
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy_tree(source.c_str(), target.c_str(), &failures_), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures_, 1);
  EXPECT_EQ(read_file(victim + "/secret"), "untouched");
}

// Builds a directory path of exactly `length` bytes below base.
std::string make_directory_of_length(const std::string& base, std::size_t length) {
  std::string path = base;
  while (path.size() < length) {
    std::size_t part = std::min<std::size_t>(200, length - path.size() - 1);
    if (length - path.size() - 1 - part == 1) --part;  // never leave a lone "/"
    path += "/" + std::string(part, 'd');
    mkdir(path.c_str(), 0755);
  }
  return path;
}

struct LengthCase {
  std::size_t total;  // source directory plus entry name
  int result;
};

class PathLimit : public CopyTest, public testing::WithParamInterface<LengthCase> {};

TEST_P(PathLimit, SourceDirectoryAndNameMustFit) {
  const std::string source = make_directory_of_length(dir_.path(), 900);
  const std::string name(GetParam().total - source.size(), 'n');
  write_file(source + "/" + name, "deep");
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy_tree(source.c_str(), (dir_ / "dst").c_str(), &failures_), GetParam().result);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(access((dir_ / "dst/" + name).c_str(), F_OK), GetParam().result == 0 ? 0 : -1);
}

INSTANTIATE_TEST_SUITE_P(Boundary, PathLimit,
                         testing::Values(LengthCase{1022, 0}, LengthCase{1023, -1}));

TEST_F(CopyTest, DestinationPathTooLongIsAFailureNotAnOverrun) {
  const std::string source = dir_ / "s";
  mkdir(source.c_str(), 0755);
  const std::string name(150, 'n');
  write_file(source + "/" + name, "x");
  write_file(source + "/short", "y");
  const std::string target = make_directory_of_length(dir_.path(), 1000);
  testing::internal::CaptureStdout();
  EXPECT_EQ(copy_tree(source.c_str(), target.c_str(), &failures_), 0);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures_, 1);
  EXPECT_NE(output.find(target + "/" + name + ". File name too long.\n\n"), std::string::npos);
  EXPECT_EQ(read_file(target + "/short"), "y");
}

}  // namespace

// Past KEPT_LINKS_LIMIT files whose other links are still to come, a file
// that could not be noted is kept whole as a file of its own and named:
// another user who plants that many links must not fail the run. Whichever
// of the two directories comes first, all the pairs are open at once when
// it ends, and one of them overflows.
TEST_F(CopyTest, KeptLinksPastTheLimitAreCopiedAndNamed) {
  const std::string source = dir_ / "src", target = dir_ / "dst";
  for (const std::string& path : {source, target, source + "/one", source + "/two"}) {
    mkdir(path.c_str(), 0755);
  }
  const std::size_t pairs = KEPT_LINKS_LIMIT + 1;
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::string name = "/f" + std::to_string(i);
    write_file(source + "/one" + name, "linked");
    link((source + "/one" + name).c_str(), (source + "/two" + name).c_str());
  }
  const Descriptor from(open(source.c_str(), O_RDONLY | O_DIRECTORY));
  const Descriptor to(open(target.c_str(), O_RDONLY | O_DIRECTORY));
  testing::internal::CaptureStdout();
  failures_ = keep_tree(from.get(), source.c_str(), to.get(), target.c_str(), -1, nullptr);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures_, 0);
  std::size_t named = 0;
  for (std::size_t at = output.find(" as a file of its own: too many hard links");
       at != std::string::npos; at = output.find(" as a file of its own", at + 1)) {
    ++named;
  }
  EXPECT_EQ(named, 1U) << output;
  EXPECT_EQ(output.rfind("Copied " + source + "/", 0), 0U) << output;
  std::size_t linked = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::string name = "/f" + std::to_string(i);
    struct stat one {};
    struct stat two {};
    ASSERT_EQ(read_file(target + "/one" + name) + read_file(target + "/two" + name),
              "linkedlinked");
    if (lstat((target + "/one" + name).c_str(), &one) == 0 &&
        lstat((target + "/two" + name).c_str(), &two) == 0 && one.st_ino == two.st_ino) {
      ++linked;
    }
  }
  EXPECT_EQ(linked, KEPT_LINKS_LIMIT);
}

// A FIFO, a socket and (made by root alone) a device are made again as
// cp -a makes them: the same type, device number, mode and times.
TEST_F(CopyTest, SpecialEntriesAreMadeAgain) {
  const std::string source = dir_ / "src", target = dir_ / "dst";
  mkdir(source.c_str(), 0755);
  mkdir(target.c_str(), 0700);
  ASSERT_EQ(mkfifo((source + "/queue").c_str(), 0640), 0);
  const Descriptor listening(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = source + "/socket";
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  ASSERT_EQ(bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(chmod(socket_path.c_str(), 0751), 0);
  ASSERT_EQ(chmod((source + "/queue").c_str(), 0640), 0);
  const bool devices = mknod((source + "/null").c_str(), S_IFCHR | 0604, makedev(1, 3)) == 0 &&
                       chmod((source + "/null").c_str(), 0604) == 0;
  const timespec old_time{1000000000, 123};
  const std::array<timespec, 2> times{old_time, old_time};
  for (const char* name : {"queue", "socket", "null"}) {
    utimensat(AT_FDCWD, (source + "/" + name).c_str(), times.data(), AT_SYMLINK_NOFOLLOW);
  }
  const Descriptor from(open(source.c_str(), O_RDONLY | O_DIRECTORY));
  const Descriptor to(open(target.c_str(), O_RDONLY | O_DIRECTORY));
  testing::internal::CaptureStdout();
  failures_ = keep_tree(from.get(), source.c_str(), to.get(), target.c_str(), -1, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(failures_, 0);
  EXPECT_EQ(mode_of(target + "/queue"), S_IFIFO | 0640);
  EXPECT_EQ(mode_of(target + "/socket"), S_IFSOCK | 0751);
  struct stat kept {};
  ASSERT_EQ(lstat((target + "/queue").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mtim.tv_sec, old_time.tv_sec);
  EXPECT_EQ(kept.st_mtim.tv_nsec, old_time.tv_nsec);
  if (!devices) GTEST_SKIP() << "no device can be made here: only root may";
  ASSERT_EQ(lstat((target + "/null").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mode, S_IFCHR | 0604);
  EXPECT_EQ(kept.st_rdev, makedev(1, 3));
}

// Each file keeps its owner and group, whatever those a directory of the
// copy hands new files: the copy's own (its group set by a set-group-ID
// top, as a product directory may be) are passed over only where they are
// the file's already.
TEST_F(CopyTest, OwnersAreKeptWhateverTheCopyHandsNewFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give files away";
  for (const gid_t handed : {getegid(), gid_t{7}}) {
    const std::string source = dir_ / ("src" + std::to_string(handed));
    const std::string target = dir_ / ("dst" + std::to_string(handed));
    mkdir(source.c_str(), 0755);
    mkdir((source + "/sub").c_str(), 0755);
    mkdir(target.c_str(), 0700);
    ASSERT_EQ(chown(target.c_str(), 0, handed), 0);
    ASSERT_EQ(chmod(target.c_str(), handed == getegid() ? 0700 : 02700), 0);
    const std::array<std::pair<uid_t, gid_t>, 3> owners{{{0, getegid()}, {0, 7}, {1, 1}}};
    for (std::size_t i = 0; i < owners.size(); ++i) {
      for (const std::string& in : {source, source + "/sub"}) {
        const std::string file = in + "/f" + std::to_string(i);
        close(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        ASSERT_EQ(chown(file.c_str(), owners[i].first, owners[i].second), 0);
      }
    }
    const Descriptor from(open(source.c_str(), O_RDONLY | O_DIRECTORY));
    const Descriptor to(open(target.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(keep_tree(from.get(), source.c_str(), to.get(), target.c_str(), -1, nullptr), 0);
    for (std::size_t i = 0; i < owners.size(); ++i) {
      for (const char* in : {"/", "/sub/"}) {
        struct stat kept {};
        ASSERT_EQ(lstat((target + in + "f" + std::to_string(i)).c_str(), &kept), 0);
        EXPECT_EQ(kept.st_uid, owners[i].first) << in << i << " handed group " << handed;
        EXPECT_EQ(kept.st_gid, owners[i].second) << in << i << " handed group " << handed;
      }
    }
  }
}

// Makes a chain of depth directories "d" below top, a file at its bottom.
// The depth of the chain below top, and the mode of its bottom file.
std::pair<int, mode_t> chain_depth(const std::string& top) {
  Descriptor level(open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int depth = 0;
  for (; level.is_open(); ++depth) {
    const int below = openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (below < 0) break;
    // A level is whole with what lies beside its directory.
    if (faccessat(level.get(), "e", F_OK, AT_SYMLINK_NOFOLLOW) != 0) {
      close(below);
      break;
    }
    level.reset(below);
  }
  struct stat bottom {};
  return {depth,
          fstatat(level.get(), "bottom", &bottom, AT_SYMLINK_NOFOLLOW) == 0 ? bottom.st_mode : 0};
}

// A chain of directories deeper than a path can reach is kept whole, with
// what lies beside each, each level holding one descriptor, within the 1024 open files a shell
// gives; deeper than descriptors allow, it is reported, naming the entry as far as a message can
// hold it, and never overrun.
TEST_F(CopyTest, DeepTreeIsKeptAsFarAsDescriptorsAllow) {
  const OpenFilesCapped capped;
  for (const int depth : {600, 1500}) {
    const std::string source = dir_ / ("chain" + std::to_string(depth));
    const std::string target = dir_ / ("kept" + std::to_string(depth));
    ASSERT_TRUE(make_chain(source, depth, depth == 600));
    mkdir(target.c_str(), 0700);
    const Descriptor from(open(source.c_str(), O_RDONLY | O_DIRECTORY));
    const Descriptor to(open(target.c_str(), O_RDONLY | O_DIRECTORY));
    failures_ = 0;
    testing::internal::CaptureStdout();
    failures_ = keep_tree(from.get(), source.c_str(), to.get(), target.c_str(), -1, nullptr);
    const std::string output = testing::internal::GetCapturedStdout();
    if (depth == 600) {
      EXPECT_EQ(output, "");
      EXPECT_EQ(failures_, 0);
      EXPECT_EQ(chain_depth(target), std::make_pair(600, S_IFREG | mode_t{0640}));
      EXPECT_EQ(mode_of(target + "/d/d"), S_IFDIR | 0750);
    } else {
      EXPECT_EQ(failures_, 1);
      EXPECT_EQ(output.rfind("Unable to copy " + source + "/d/d/d/", 0), 0U) << output;
      EXPECT_NE(output.find("/d/... to " + target + "/d/d/"), std::string::npos) << output;
      EXPECT_NE(output.find("/d/.... Too many open files.\n\n"), std::string::npos) << output;
      EXPECT_LT(output.size(), 2 * TREE_PATH_LIMIT + 64);
    }
  }
}

// A path for a message is the whole path where it fits, else as many whole
// components as fit and "/...", never longer than its buffer; a walk that
// comes back up shows the whole path again.
TEST(ShownPaths, CutWhereTheyDoNotFitAndWholeAgainAbove) {
  Path joined{};
  const std::string directory = "/top/" + std::string(TREE_PATH_LIMIT - 8, 'x');
  EXPECT_TRUE(join_path(&joined, directory.c_str(), "a"));
  EXPECT_EQ(std::string(joined.data()), directory + "/a");
  EXPECT_FALSE(join_path(&joined, directory.c_str(), "ab"));
  EXPECT_EQ(std::string(joined.data()), "/top/...");
  EXPECT_FALSE(join_path(&joined, "/top/...", "a"));
  EXPECT_EQ(std::string(joined.data()), "/top/...");

  ShownPath shown;
  shown_start(&shown, "/top");
  std::string whole;
  int levels = 0;
  for (; shown.hidden == 0; ++levels) {
    whole = shown.text.data();
    shown_enter(&shown, "dd");
  }
  shown_leave(&shown);
  EXPECT_EQ(std::string(shown.text.data()), whole);
  for (int i = levels - 1; i < 600; ++i) shown_enter(&shown, "dd");
  EXPECT_LT(std::strlen(shown.text.data()), TREE_PATH_LIMIT);
  EXPECT_NE(std::string(shown.text.data()).rfind("/..."), std::string::npos);
  for (int i = 0; i < 599; ++i) shown_leave(&shown);
  EXPECT_EQ(std::string(shown.text.data()), "/top/dd");
}

// A tree being removed goes however deep, each level holding one
// descriptor: within the 1024 open files a shell allows by default, a chain
// far past what a path can reach goes whole; one deeper than descriptors
// allow fails, and says why.
TEST(Removal, GoesAsDeepAsDescriptorsAllow) {
  const OpenFilesCapped capped;
  ScratchDir dir;
  for (const int depth : {900, 1100}) {
    const std::string top = dir / ("chain" + std::to_string(depth));
    ASSERT_TRUE(make_chain(top, depth));
    write_file(top + "/beside", "goes too");
    Descriptor parent(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string name = "chain" + std::to_string(depth);
    if (depth == 900) {
      EXPECT_TRUE(remove_tree(parent.get(), name.c_str()));
      EXPECT_EQ(access(top.c_str(), F_OK), -1);
    } else {
      EXPECT_FALSE(remove_tree(parent.get(), name.c_str()));
      EXPECT_EQ(errno, EMFILE);
    }
  }
}
