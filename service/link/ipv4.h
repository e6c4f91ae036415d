// Strict dotted IPv4 text, shared by everything that reads or writes the terminal's address.
#pragma once

#include <cstdint>

// Four decimal fields 0 to 255 separated by dots, each of one to three digits, nothing before or
// after. Fills out (network order) and returns true only for such a text; out is untouched
// otherwise. Unlike the platform's conversion, a bad text is never taken as 255.255.255.255.
bool ParseIPv4(const char* text, uint8_t out[4]);
