#include "text/text.h"

namespace {

bool is_blank_byte(unsigned char byte) {
  return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}

}  // namespace

int has_text(const char* text) {
  if (text == nullptr) return 0;
  for (const char* at = text; *at != '\0'; ++at) {
    if (!is_blank_byte(static_cast<unsigned char>(*at))) return 1;
  }
  return 0;
}
