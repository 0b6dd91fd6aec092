// Runs every text routine over arbitrary bytes and checks its promises.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text/text.h"

namespace {

constexpr std::size_t LIMIT = 4096;

std::size_t bounded_length(const char* text, std::size_t size) {
  const char* end = static_cast<const char*>(std::memchr(text, '\0', size));
  if (end == nullptr) std::abort();
  return static_cast<std::size_t>(end - text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > LIMIT) return -1;
  // The first byte splits the rest into the searched text and the string to find.
  const std::size_t split = data[0] % size;
  std::array<char, LIMIT + 1> text{}, wanted{}, out{};
  const std::size_t text_size = size - 1;
  std::memcpy(text.data(), data + 1, text_size);
  std::memcpy(wanted.data(), data + 1, split);
  const std::size_t text_length = std::strlen(text.data());

  const char* found = find_text_nocase(text.data(), wanted.data());
  if (found != nullptr) {
    if (found < text.data() || found >= text.data() + text_length) std::abort();
    if (std::strlen(found) < std::strlen(wanted.data())) std::abort();
  }
  if (has_text(text.data()) != (std::strspn(text.data(), " \t\r\n") != text_length)) std::abort();
  const int digits = is_all_digits(text.data());
  if (digits != (std::strspn(text.data(), "0123456789") == text_length)) std::abort();
  if (has_at_sign(text.data()) != (std::strchr(text.data(), '@') != nullptr)) std::abort();
  static_cast<void>(parse_number(text.data()));

  // Counted copies read exactly text_size bytes, NUL bytes included; the
  // result is never longer than the source, into a copy or in place.
  using Counted = void (*)(char*, const char*, int);
  for (Counted clean : {remove_spaces, squeeze_blanks}) {
    out.fill('\xa5');
    clean(out.data(), text.data(), static_cast<int>(text_size));
    if (bounded_length(out.data(), text_size + 1) > text_size) std::abort();
    std::array<char, LIMIT + 1> in_place = text;
    clean(in_place.data(), in_place.data(), static_cast<int>(text_size));
    if (std::memcmp(in_place.data(), out.data(), bounded_length(out.data(), text_size + 1) + 1) !=
        0) {
      std::abort();
    }
  }
  out.fill('\xa5');
  strip_slashes(out.data(), text.data());
  const std::size_t stripped = bounded_length(out.data(), text_length + 1);
  if (stripped > text_length || std::memchr(out.data(), '/', stripped) != nullptr) std::abort();
  std::array<char, LIMIT + 1> in_place = text;
  strip_slashes(in_place.data(), in_place.data());
  if (std::strcmp(in_place.data(), out.data()) != 0) std::abort();

  std::array<char, LIMIT + 1> lower = text;
  make_lower_case(lower.data());
  for (std::size_t at = 0; at < text_length; ++at) {
    const char before = text[at];
    const char expected = before >= 'A' && before <= 'Z' ? static_cast<char>(before + 32) : before;
    if (lower[at] != expected) std::abort();
  }
  return 0;
}
