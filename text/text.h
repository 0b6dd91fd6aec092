// Small routines over NUL-terminated byte strings. No allocation, no state.
#ifndef LANGEXT_TEXT_TEXT_H
#define LANGEXT_TEXT_TEXT_H

// 1 when the string holds a byte other than NUL, tab, line feed, carriage
// return or space; 0 for an empty or blank string and for a null pointer.
int has_text(const char* text);

#endif
