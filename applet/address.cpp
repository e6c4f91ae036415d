#include "address.h"

namespace {

// Reads one field starting at text[pos], never past limit characters. Returns the index after
// the field, or -1 when the field is empty, holds a non-digit or passes 255. The value is
// bounded before it grows, so no length of digits can overflow it.
int ReadField(const char* text, int pos, int limit, int* value)
{
    int v = 0;
    int start = pos;
    while (pos < limit && text[pos] != '\0' && text[pos] != '.') {
        char c = text[pos];
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
        if (v > ADDR_FIELD_MAX)
            return -1;
        ++pos;
    }
    if (pos == start)
        return -1;
    *value = v;
    return pos;
}

// Walks up to four fields; returns how many were sound and, through end, where the last sound
// one stopped.
int WalkFields(const char* text, int limit, int values[ADDR_FIELD_COUNT], int* end)
{
    int pos = 0;
    int count = 0;
    while (count < ADDR_FIELD_COUNT) {
        if (count > 0) {
            if (pos >= limit || text[pos] != '.')
                break;
            ++pos;
        }
        int next = ReadField(text, pos, limit, &values[count]);
        if (next < 0)
            break;
        pos = next;
        ++count;
    }
    *end = pos;
    return count;
}

}  // namespace

int CheckAddressText(const char* text)
{
    if (text == nullptr)
        return 0;
    int values[ADDR_FIELD_COUNT];
    int end = 0;
    return WalkFields(text, ADDR_CHECK_CHARS, values, &end);
}

int ParseAddressText(const char* text, uint8_t fields[ADDR_FIELD_COUNT])
{
    if (text == nullptr || fields == nullptr)
        return 0;
    // The longest dotted form has 15 characters; one more lets trailing text be seen.
    const int limit = 16;
    int values[ADDR_FIELD_COUNT];
    int end = 0;
    if (WalkFields(text, limit, values, &end) != ADDR_FIELD_COUNT || end >= limit ||
        text[end] != '\0')
        return 0;
    for (int i = 0; i < ADDR_FIELD_COUNT; ++i)
        fields[i] = static_cast<uint8_t>(values[i]);
    return 1;
}
