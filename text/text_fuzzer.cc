// Runs the text routine over arbitrary bytes and checks its promise.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text/text.h"

namespace {

constexpr std::size_t LIMIT = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > LIMIT) return -1;
  std::array<char, LIMIT + 1> text{};
  std::memcpy(text.data(), data, size);
  int expected = 0;
  for (const char* at = text.data(); *at != '\0'; ++at) {
    if (*at != '\t' && *at != '\n' && *at != '\r' && *at != ' ') expected = 1;
  }
  if (has_text(text.data()) != expected) std::abort();
  return 0;
}
