#include "addr_rule.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int FIELD_COUNT = 4;
constexpr int FIELD_MAX = 255;
constexpr int FIELD_DIGITS_MAX = 3;
// The first number of multicast; it and everything above it names no single host.
constexpr int FIRST_GROUP_FIELD = 224;

struct RuleEntry {
    const char* Name;
    const char* Text;
};

const RuleEntry RULES[ADDR_RULE_COUNT] = {
    {"ok", ""},
    {"empty", "is empty"},
    {"too-long", "is longer than 15 characters"},
    {"not-digit", "holds a character other than digits and dots"},
    {"fields", "is not four numbers separated by single dots"},
    {"leading-zero", "has a number with a leading zero"},
    {"above-255", "has a number above 255"},
    {"unspecified", "is 0.0.0.0, which names no host"},
    {"not-host", "is 224.0.0.0 or above (multicast or broadcast), not one host"},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

AddrRule JudgeAddr(const char* text, uint8_t out[4])
{
    if (text == nullptr || text[0] == '\0')
        return ADDR_EMPTY;
    size_t len = 0;
    while (len <= ADDR_TEXT_MAX && text[len] != '\0')
        ++len;
    if (len > ADDR_TEXT_MAX)
        return ADDR_TOO_LONG;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] != '.' && !IsDigit(text[i]))
            return ADDR_NOT_DIGIT;
    }
    size_t start[FIELD_COUNT];
    size_t digits[FIELD_COUNT];
    int fields = 0;
    size_t from = 0;
    for (size_t i = 0; i <= len; ++i) {
        if (i < len && text[i] != '.')
            continue;
        if (i == from || fields == FIELD_COUNT)
            return ADDR_FIELDS;
        start[fields] = from;
        digits[fields] = i - from;
        ++fields;
        from = i + 1;
    }
    if (fields != FIELD_COUNT)
        return ADDR_FIELDS;
    // "010" is octal to the platform's converter, so such a text would name another host there.
    for (int f = 0; f < FIELD_COUNT; ++f) {
        if (digits[f] > 1 && text[start[f]] == '0')
            return ADDR_LEADING_ZERO;
    }
    int values[FIELD_COUNT];
    for (int f = 0; f < FIELD_COUNT; ++f) {
        if (digits[f] > FIELD_DIGITS_MAX)
            return ADDR_ABOVE_255;
        int v = 0;
        for (size_t i = 0; i < digits[f]; ++i)
            v = v * 10 + (text[start[f] + i] - '0');
        if (v > FIELD_MAX)
            return ADDR_ABOVE_255;
        values[f] = v;
    }
    if (values[0] == 0 && values[1] == 0 && values[2] == 0 && values[3] == 0)
        return ADDR_UNSPECIFIED;
    if (values[0] >= FIRST_GROUP_FIELD)
        return ADDR_NOT_HOST;
    if (out != nullptr) {
        for (int f = 0; f < FIELD_COUNT; ++f)
            out[f] = static_cast<uint8_t>(values[f]);
    }
    return ADDR_USABLE;
}

const char* AddrRuleName(AddrRule rule)
{
    return rule >= ADDR_USABLE && rule < ADDR_RULE_COUNT ? RULES[rule].Name : nullptr;
}

AddrRule AddrRuleFromName(const char* name)
{
    for (int r = 0; name != nullptr && r < ADDR_RULE_COUNT; ++r) {
        if (strcmp(name, RULES[r].Name) == 0)
            return static_cast<AddrRule>(r);
    }
    return ADDR_RULE_COUNT;
}

const char* AddrRuleText(AddrRule rule)
{
    return rule >= ADDR_USABLE && rule < ADDR_RULE_COUNT ? RULES[rule].Text : "breaks an unknown rule";
}

size_t AddrShowText(char* out, size_t size, const char* text)
{
    if (out == nullptr || size == 0)
        return 0;
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; text != nullptr && i <= ADDR_TEXT_MAX && text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char piece[5];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            snprintf(piece, sizeof piece, "%c", c);
        else
            snprintf(piece, sizeof piece, "\\x%02X", c);
        size_t n = strlen(piece);
        if (used + n + 1 > size)
            break;
        memcpy(out + used, piece, n + 1);
        used += n;
    }
    return used;
}

size_t AddrRuleMessage(char* out, size_t size, const char* text, AddrRule rule)
{
    if (out == nullptr || size == 0)
        return 0;
    char shown[(ADDR_TEXT_MAX + 1) * 4 + 1];
    AddrShowText(shown, sizeof shown, text);
    int n = snprintf(out, size, "The terminal address \"%s\" %s.", shown, AddrRuleText(rule));
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}
