#include "text/text.h"

#include <strings.h>

#include <cmath>
#include <cstddef>
#include <cstring>

namespace {

bool is_digit(unsigned char byte) { return byte >= '0' && byte <= '9'; }

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

const char* find_text_nocase(const char* text, const char* wanted) {
  const std::size_t text_length = std::strlen(text);
  const std::size_t wanted_length = std::strlen(wanted);
  if (text_length == 0 || wanted_length == 0) return nullptr;
  for (std::size_t at = 0; text_length - at >= wanted_length; ++at) {
    if (strncasecmp(text + at, wanted, wanted_length) == 0) return text + at;
  }
  return nullptr;
}

int is_all_digits(const char* text) {
  int all_digits = 1;
  for (const char* at = text; *at != '\0'; ++at) {
    if (!is_digit(static_cast<unsigned char>(*at))) all_digits = 0;
  }
  return all_digits;
}

double parse_number(const char* text) {
  double value = 0;
  double place = 1;
  double exponent = 0;
  for (std::size_t at = std::strlen(text); at-- > 0;) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (is_digit(byte)) {
      value += (byte - '0') * place;
      place *= 10;
    } else if (byte == '.') {
      value /= place;
      place = 1;
    } else if (byte == '-') {
      value = -value;
    } else if (byte == 'e' || byte == 'E') {
      exponent = value;
      value = 0;
      place = 1;
    }
  }
  if (exponent == 0) return value;
  return value * std::pow(10.0, exponent);
}

void remove_spaces(char* destination, const char* source, int count) {
  int length = 0;
  for (int at = 0; at < count; ++at) {
    if (source[at] != ' ') destination[length++] = source[at];
  }
  destination[length] = '\0';
}

void squeeze_blanks(char* destination, const char* source, int count) {
  int length = 0;
  int blank_run = 0;
  bool leading = true;
  for (int at = 0; at < count; ++at) {
    const char byte = source[at];
    if (byte == '"' || byte == '\'') {
      blank_run = 0;
      leading = false;
    } else if (byte == '\t' || (byte == ' ' && !leading)) {
      if (++blank_run == 1) destination[length++] = ' ';
    } else if (byte != ' ') {
      destination[length++] = byte;
      blank_run = 0;
      leading = false;
    }
  }
  destination[length] = '\0';
}

void strip_slashes(char* destination, const char* source) {
  std::size_t length = 0;
  bool started = false;
  for (const char* at = source; *at != '\0'; ++at) {
    if (*at == '/' || (*at == ' ' && !started)) continue;
    if (*at != ' ') started = true;
    destination[length++] = *at;
  }
  destination[length] = '\0';
  while (length > 0 && (destination[length - 1] == ' ' || destination[length - 1] == '\r' ||
                        destination[length - 1] == '\n')) {
    destination[--length] = '\0';
  }
}

void make_lower_case(char* text) {
  for (char* at = text; *at != '\0'; ++at) {
    if (*at >= 'A' && *at <= 'Z') *at = static_cast<char>(*at - 'A' + 'a');
  }
}

int has_at_sign(const char* text) { return std::strchr(text, '@') != nullptr ? 1 : 0; }
