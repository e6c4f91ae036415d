// The one definition of a usable terminal address, for everything that reads, writes, checks or
// uses it: the registry reader and writer, the applet's field and Save, the links. The installer
// carries the same rule in its own language and is tested against the same table of cases.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest usable text, "255.255.255.255"; nothing past one more character is ever read.
constexpr size_t ADDR_TEXT_MAX = 15;

// The rules in the order they are judged: the first one a text breaks is its verdict.
enum AddrRule {
    ADDR_USABLE = 0,
    ADDR_EMPTY,         // no text at all
    ADDR_TOO_LONG,      // more than ADDR_TEXT_MAX characters
    ADDR_NOT_DIGIT,     // a character other than a decimal digit or a dot
    ADDR_FIELDS,        // not four non-empty numbers separated by single dots
    ADDR_LEADING_ZERO,  // a number of two or more digits that starts with 0
    ADDR_ABOVE_255,     // a number above 255
    ADDR_UNSPECIFIED,   // 0.0.0.0
    ADDR_NOT_HOST,      // 224.0.0.0 and above: multicast, reserved, broadcast
    ADDR_RULE_COUNT
};

// Judges text (NUL-terminated, or at least ADDR_TEXT_MAX + 1 readable bytes). For a usable
// address fills out (may be none) with its four numbers; out is untouched otherwise.
AddrRule JudgeAddr(const char* text, uint8_t out[4]);

// A short fixed name of each verdict ("ok", "empty", "too-long", ...), the one the table of
// cases uses; nullptr for a value outside the enumeration.
const char* AddrRuleName(AddrRule rule);
// The verdict of a name, or ADDR_RULE_COUNT for an unknown one.
AddrRule AddrRuleFromName(const char* name);

// What the broken rule says, to follow the address in a sentence ("has a number above 255");
// "" for a usable address.
const char* AddrRuleText(AddrRule rule);

// Room for the longest message of AddrRuleMessage.
constexpr size_t ADDR_MESSAGE_SIZE = 160;

// 'The terminal address "TEXT" RULE.' into out (size bytes, always NUL-terminated when size is
// not 0), with at most ADDR_TEXT_MAX + 1 characters of text shown, each byte outside printable
// ASCII (and the quote and backslash) as \xNN. Returns the length written.
size_t AddrRuleMessage(char* out, size_t size, const char* text, AddrRule rule);

// Shows up to ADDR_TEXT_MAX + 1 bytes of text (less when a NUL comes first) as above.
size_t AddrShowText(char* out, size_t size, const char* text);
