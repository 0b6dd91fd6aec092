#include "text/text.h"

#include <cstring>

int has_text(const char* text) {
  return text != nullptr && text[std::strspn(text, "\t\n\r ")] != '\0' ? 1 : 0;
}
