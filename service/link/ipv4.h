// Strict dotted IPv4 text, shared by everything that reads or writes the terminal's address.
#pragma once

#include <cstdint>

// Four decimal fields 0 to 255 separated by dots, each of one to three digits without a leading
// zero, nothing before or after. Fills out (network order) and returns true only for such a
// text; out is untouched otherwise. Unlike the platform's conversion, a bad text is never taken
// as 255.255.255.255.
// Reads at most 16 bytes, so a 16-byte address buffer without its NUL is refused, not overrun.
bool ParseIPv4(const char* text, uint8_t out[4]);

// True for an address that can name one host: not 0.0.0.0, not multicast, reserved or the
// broadcast 255.255.255.255 (224.0.0.0 and above).
bool IsHostIPv4(const uint8_t addr[4]);
