// The terminal address as dotted IPv4 text, the form in which the address field, the registry
// value and the status block all carry it.
#pragma once

#include <cstdint>

constexpr int ADDR_FIELD_COUNT = 4;
constexpr int ADDR_FIELD_MAX = 255;
// The address field's text is looked at up to this many characters (a 20-byte buffer).
constexpr int ADDR_CHECK_CHARS = 19;

// Counts the leading fields of text that make a dotted IPv4 address: each non-empty, made of
// decimal digits, of value 0 to 255, the second to fourth each after one ".". Counting stops at
// the first field that breaks a rule and after the fourth; text after the fourth field is not
// looked at, nor anything past ADDR_CHECK_CHARS characters. Returns 0 to 4; a null text counts 0.
int CheckAddressText(const char* text);

// Splits text that is exactly a dotted IPv4 address (four fields as above and nothing after)
// into its four values. Returns 1 and fills fields, or 0 and leaves fields alone.
int ParseAddressText(const char* text, uint8_t fields[ADDR_FIELD_COUNT]);
