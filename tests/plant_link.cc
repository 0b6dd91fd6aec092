// Loaded with LD_PRELOAD by the end-to-end tests to play another local user
// who plants a symbolic link at the exact moment that hurts most: right
// after the installer's call named in LANGEXT_PLANT_CALL returns.
//   renameat2: after the rename of the path LANGEXT_PLANT_NAME, a link
//              stands at that path.
//   mkdirat:   after the directory LANGEXT_PLANT_NAME is made, it is moved
//              aside and a link takes its place.
// The link points at LANGEXT_PLANT_TARGET. It acts once.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool planted = false;

bool should_plant(const char* call, const char* name) {
  const char* wanted_call = std::getenv("LANGEXT_PLANT_CALL");
  const char* wanted_name = std::getenv("LANGEXT_PLANT_NAME");
  return !planted && wanted_call != nullptr && wanted_name != nullptr &&
         std::strcmp(wanted_call, call) == 0 && std::strcmp(wanted_name, name) == 0;
}

void plant(int directory, const char* name) {
  planted = true;
  const char* target = std::getenv("LANGEXT_PLANT_TARGET");
  if (target == nullptr || symlinkat(target, directory, name) != 0) {
    std::fprintf(stderr, "plant_link: could not plant a link at %s\n", name);
  }
}

}  // namespace

extern "C" int renameat2(int old_directory, const char* old_path, int new_directory,
                         const char* new_path, unsigned int flags) {
  using Real = int (*)(int, const char*, int, const char*, unsigned int);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "renameat2"));
  int result = real(old_directory, old_path, new_directory, new_path, flags);
  if (result == 0 && should_plant("renameat2", old_path)) plant(old_directory, old_path);
  return result;
}

extern "C" int mkdirat(int directory, const char* path, mode_t mode) {
  using Real = int (*)(int, const char*, mode_t);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "mkdirat"));
  int result = real(directory, path, mode);
  if (result == 0 && should_plant("mkdirat", path)) {
    std::string aside = std::string(path) + ".moved-aside";
    if (renameat(directory, path, directory, aside.c_str()) != 0) {
      std::fprintf(stderr, "plant_link: could not move %s aside\n", path);
    }
    plant(directory, path);
  }
  return result;
}
