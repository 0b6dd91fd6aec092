// Feeds take_document_root whatever one read of standard input can deliver.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "installer/installer.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > PATH_BUFFER_SIZE) return -1;  // one read delivers at most this much
  std::array<char, PATH_BUFFER_SIZE> entry;
  entry.fill('\xa5');
  std::memcpy(entry.data(), data, size);
  const int taken = take_document_root(entry.data(), static_cast<long>(size));
  const char* end = static_cast<const char*>(std::memchr(entry.data(), '\0', entry.size()));
  if (end == nullptr) std::abort();
  const std::size_t length = static_cast<std::size_t>(end - entry.data());
  if (taken == 1) {
    // It fits with room for "/images", and a blank entry became the default.
    if (length + std::strlen(IMAGES_SUFFIX) >= PATH_BUFFER_SIZE) std::abort();
    if (has_text(entry.data()) == 0) std::abort();
  } else if (taken != 0 || length <= DOCUMENT_ROOT_LIMIT) {
    std::abort();
  }
  return 0;
}
