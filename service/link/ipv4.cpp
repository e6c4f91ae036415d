#include "ipv4.h"

bool ParseIPv4(const char* text, uint8_t out[4])
{
    if (text == nullptr)
        return false;
    uint8_t parts[4];
    const char* p = text;
    for (int field = 0; field < 4; ++field) {
        if (field > 0 && *p++ != '.')
            return false;
        int value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 3) {
            value = value * 10 + (*p - '0');
            ++p;
            ++digits;
        }
        // "010" is octal to the platform's converter: a leading zero is refused, not guessed at.
        if (digits == 0 || value > 255 || (digits > 1 && p[-digits] == '0'))
            return false;
        parts[field] = static_cast<uint8_t>(value);
    }
    if (*p != '\0')
        return false;
    for (int i = 0; i < 4; ++i)
        out[i] = parts[i];
    return true;
}

bool IsHostIPv4(const uint8_t addr[4])
{
    bool any = addr[0] == 0 && addr[1] == 0 && addr[2] == 0 && addr[3] == 0;
    return !any && addr[0] < 224;
}
