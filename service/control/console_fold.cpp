#include "console_keys.h"

namespace {
constexpr unsigned short VIRTUAL_KEY_ESCAPE = 0x1B;
}

int FoldConsoleKey(unsigned short virtualKey, char ch)
{
    if (virtualKey == VIRTUAL_KEY_ESCAPE)
        return KEY_ESCAPE;
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 'A';
    return c;
}
