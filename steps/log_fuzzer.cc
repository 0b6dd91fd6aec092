// Reads arbitrary bytes as the lines of a log. Each line is sealed with the
// right hash, so that it reaches the fields; every field is read as each
// kind of value, and a string that reads writes back as itself.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "steps/log.h"

namespace {

char sealed[sizeof LogLine::text + 32];
char value[sizeof LogLine::text];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = LOG_SEAL_START;
  const char* text = reinterpret_cast<const char*>(data);
  for (std::size_t at = 0; at < size;) {
    const char* end = static_cast<const char*>(std::memchr(text + at, '\n', size - at));
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - text) - at : size - at;
    if (length > 2000) return 0;
    std::memcpy(sealed, text + at, length);
    const int sealing = std::snprintf(sealed + length, sizeof sealed - length, " #%016" PRIx64 "\n",
                                      seal_of(hash, sealed, length));
    static LogFields fields;
    if (!parse_line(sealed, length + static_cast<std::size_t>(sealing), &hash, &fields))
      std::abort();
    for (int i = 0; i < fields.count; ++i) {
      fields.number(i);
      fields.hex(i);
      fields.identity(i);
      fields.time(i);
      fields.attributes(i);
      if (!fields.string(i, value, sizeof value) || value[0] == '\0') continue;
      LogLine again;
      add_word(&again, "x");
      add_string(&again, value);
      static char copy[sizeof value];
      std::memcpy(copy, value, sizeof value);
      std::snprintf(again.text + again.length, sizeof again.text - again.length, " #0\n");
      static LogFields back;
      if (!parse_line(again.text, again.length + 4, nullptr, &back) || back.count != 2 ||
          !back.string(1, value, sizeof value) || std::strcmp(value, copy) != 0) {
        std::abort();
      }
    }
    at += length + 1;
  }
  return 0;
}
