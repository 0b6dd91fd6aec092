// A private directory for one test, removed with everything in it at the end.
#ifndef LANGEXT_TESTS_SCRATCH_DIR_H
#define LANGEXT_TESTS_SCRATCH_DIR_H

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

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

#endif
