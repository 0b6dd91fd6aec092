// A private directory for one test, removed with everything in it at the end.
#ifndef LANGEXT_TESTS_SCRATCH_DIR_H
#define LANGEXT_TESTS_SCRATCH_DIR_H

#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "fs/fd.h"

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/langext-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 64,
        FTW_DEPTH | FTW_PHYS);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& contents, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << contents;
  chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

inline mode_t mode_of(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return 0;
  return status.st_mode;
}

// Makes a chain of depth directories named d below top, their modes 0755
// and 0750 in turn, with a file "bottom" (0640) in the last; through
// descriptors, however deep. Where beside, each is beside an empty
// directory "e": whichever of the two is listed first, a walk that comes
// back from it has the other still to read. False where it cannot.
inline bool make_chain(const std::string& top, int depth, bool beside = false) {
  mkdir(top.c_str(), 0755);
  Descriptor level(open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0; i < depth && level.is_open(); ++i) {
    if (beside) mkdirat(level.get(), "e", 0700);
    mkdirat(level.get(), "d", 0700);
    fchmodat(level.get(), "d", i % 2 == 0 ? 0755 : 0750, 0);
    level.reset(openat(level.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  const Descriptor bottom(openat(level.get(), "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  return bottom.is_open() && fchmod(bottom.get(), 0640) == 0;
}

// While one lives, the process may open no more than the 1024 files a
// shell gives by default (fewer, where its limit is lower already).
class OpenFilesCapped {
 public:
  OpenFilesCapped() {
    if (getrlimit(RLIMIT_NOFILE, &before_) != 0) std::abort();
    rlimit lowered = before_;
    lowered.rlim_cur = std::min<rlim_t>(before_.rlim_cur, 1024);
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) std::abort();
  }
  ~OpenFilesCapped() { setrlimit(RLIMIT_NOFILE, &before_); }
  OpenFilesCapped(const OpenFilesCapped&) = delete;
  OpenFilesCapped& operator=(const OpenFilesCapped&) = delete;

 private:
  rlimit before_{};
};

#endif
