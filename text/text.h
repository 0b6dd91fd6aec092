// Small routines over NUL-terminated byte strings. No allocation, no state:
// every output buffer belongs to the caller, and a cleaning copy takes its
// destination first and its source second.
#ifndef LANGEXT_TEXT_TEXT_H
#define LANGEXT_TEXT_TEXT_H

// 1 when the string holds a byte other than NUL, tab, line feed, carriage
// return or space; 0 for an empty or blank string and for a null pointer.
int has_text(const char* text);

// The leftmost place where wanted occurs in text, ASCII letter case ignored;
// null when either string is empty or there is no match.
const char* find_text_nocase(const char* text, const char* wanted);

// 1 when every byte is a digit 0 to 9 (also for the empty string), else 0.
int is_all_digits(const char* text);

// Reads a decimal number with optional minus, point and exponent, from the
// last byte to the first; bytes it does not know are skipped.
double parse_number(const char* text);

// Copies count bytes (NUL included) without their spaces. destination holds
// count + 1 bytes and may be source itself.
void remove_spaces(char* destination, const char* source, int count);

// Copies count bytes without quotes and leading spaces, each run of spaces
// and tabs becoming one space. destination holds count + 1 bytes and may be
// source itself.
void squeeze_blanks(char* destination, const char* source, int count);

// Copies source without slashes and leading spaces, then cuts spaces,
// carriage returns and line feeds from the end. destination holds
// strlen(source) + 1 bytes and may be source itself.
void strip_slashes(char* destination, const char* source);

// Turns A to Z into a to z in place; every other byte stays.
void make_lower_case(char* text);

// 1 when the string holds an at sign, else 0.
int has_at_sign(const char* text);

#endif
