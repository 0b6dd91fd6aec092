// Reads arbitrary text as a record of the run, or a receipt (a record in
// the phase installed). A checksum would turn nearly
// every input away at once, so the input is the record's body and the
// fuzzer seals it with the right one.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stage/record.h"

namespace {

struct Parsed {
  int phase = 0;
  StagedTarget targets[RECORD_TARGETS];
  char paths[RECORD_TARGETS][PATH_BUFFER_SIZE] = {};
};

char text[RECORD_SIZE + 64];
char again[RECORD_SIZE];

int parse(const char* record, std::size_t length, Parsed* parsed) {
  return parse_record(record, length, &parsed->phase, parsed->targets, parsed->paths);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > RECORD_SIZE) return 0;
  std::memcpy(text, data, size);
  const int sealed = std::snprintf(text + size, sizeof text - size, "check %016" PRIx64 "\n",
                                   checksum(text, size));
  static Parsed first;
  const int count = parse(text, size + static_cast<std::size_t>(sealed), &first);
  if (count < 0) return 0;
  if (count > static_cast<int>(RECORD_TARGETS)) std::abort();
  for (int i = 0; i < count; ++i) {
    if (std::memchr(first.paths[i], '\0', PATH_BUFFER_SIZE) == nullptr ||
        first.paths[i][0] == '\0' ||
        std::memchr(first.targets[i].staging, '\0', NAME_BUFFER_SIZE) == nullptr) {
      std::abort();
    }
  }
  // What was read writes back to a record that reads the same.
  const std::size_t length = format_record(again, sizeof again, first.phase, first.targets,
                                           static_cast<std::size_t>(count));
  static Parsed second;
  if (length == 0 || parse(again, length, &second) != count || second.phase != first.phase) {
    std::abort();
  }
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(first.paths[i], second.paths[i]) != 0 ||
        std::strcmp(first.targets[i].staging, second.targets[i].staging) != 0 ||
        first.targets[i].staged_identity.inode != second.targets[i].staged_identity.inode ||
        first.targets[i].installed_digest != second.targets[i].installed_digest ||
        first.targets[i].kept_digest != second.targets[i].kept_digest) {
      std::abort();
    }
  }
  return 0;
}
