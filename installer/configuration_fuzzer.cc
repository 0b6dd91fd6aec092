// Scans arbitrary file contents as the product configuration.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "installer/installer.h"

namespace {

// A value is NUL-terminated inside its buffer, holds no line end, and has
// lost its leading blanks; a value flagged too long is left empty.
void check_value(const std::array<char, PATH_BUFFER_SIZE>& value, int found, int too_long) {
  const char* end = static_cast<const char*>(std::memchr(value.data(), '\0', value.size()));
  if (end == nullptr) std::abort();
  if (std::memchr(value.data(), '\n', static_cast<std::size_t>(end - value.data())) != nullptr) {
    std::abort();
  }
  if (value[0] == ' ' || value[0] == '\t') std::abort();
  if ((found & too_long) != 0 && value[0] != '\0') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static int fd = memfd_create("tarnwick.conf", 0);
  static std::array<char, 64> name;
  if (fd < 0) std::abort();
  std::snprintf(name.data(), name.size(), "/proc/self/fd/%d", fd);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  std::array<char, PATH_BUFFER_SIZE> templates, language;
  templates.fill('\xa5');
  language.fill('\xa5');
  templates[0] = language[0] = '\0';
  const int found = scan_product_configuration(name.data(), templates.data(), language.data());
  if ((found & ~(TEMPLATE_DIRECTORY_TOO_LONG | LANGUAGE_FILE_TOO_LONG)) != 0) std::abort();
  check_value(templates, found, TEMPLATE_DIRECTORY_TOO_LONG);
  check_value(language, found, LANGUAGE_FILE_TOO_LONG);
  return 0;
}
