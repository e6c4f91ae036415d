#include "config_value.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "addr_rule.h"

namespace {

constexpr size_t SHOWN_BYTES = 16;

// The found bytes, printable ones as they are and others as \xNN, for a note that cannot
// carry control characters into the trace.
void ShowBytes(const unsigned char* data, size_t n, char* out, size_t outSize)
{
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < n && i < SHOWN_BYTES; ++i) {
        char piece[5];
        if (data[i] >= 0x20 && data[i] < 0x7F && data[i] != '"' && data[i] != '\\')
            snprintf(piece, sizeof piece, "%c", data[i]);
        else
            snprintf(piece, sizeof piece, "\\x%02X", data[i]);
        size_t len = strlen(piece);
        if (used + len + 1 > outSize)
            break;
        memcpy(out + used, piece, len + 1);
        used += len;
    }
}

__attribute__((format(printf, 3, 4))) void Note(char* note, size_t noteSize, const char* format, ...)
{
    if (note == nullptr || noteSize == 0)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(note, noteSize, format, args);
    va_end(args);
}

}  // namespace

void ConfigSetDefault(char* addr)
{
    memset(addr, 0, CONFIG_ADDR_SIZE);
    memcpy(addr, CONFIG_DEFAULT_ADDR, sizeof CONFIG_DEFAULT_ADDR);
}

int ConfigTakeValue(long queryResult, unsigned long type, const unsigned char* data, unsigned long size,
                    char* addr, char* note, size_t noteSize)
{
    char shown[SHOWN_BYTES * 4 + 1];
    if (note != nullptr && noteSize > 0)
        note[0] = '\0';
    if (queryResult == CONFIG_QUERY_NOT_FOUND)
        return CONFIG_VALUE_MISSING;
    if (queryResult == CONFIG_QUERY_MORE_DATA) {
        Note(note, noteSize, "value \"Addr\" holds %lu bytes, more than fit an address", size);
        return CONFIG_VALUE_BAD;
    }
    if (queryResult != CONFIG_QUERY_OK) {
        Note(note, noteSize, "value \"Addr\" could not be read (error %ld)", queryResult);
        return CONFIG_VALUE_BAD;
    }
    if (type != CONFIG_TYPE_STRING) {
        Note(note, noteSize, "value \"Addr\" is of type %lu, not a string (REG_SZ)", type);
        return CONFIG_VALUE_BAD;
    }
    if (size > CONFIG_ADDR_SIZE) {
        Note(note, noteSize, "value \"Addr\" holds %lu bytes, more than fit an address", size);
        return CONFIG_VALUE_BAD;
    }
    // A string need not have been stored with its NUL: the text ends at the first NUL or at the
    // reported size, whichever comes first, and a full buffer without a NUL is too long.
    size_t len = 0;
    while (len < size && data[len] != '\0')
        ++len;
    ShowBytes(data, len, shown, sizeof shown);
    if (len == CONFIG_ADDR_SIZE) {
        Note(note, noteSize, "value \"Addr\" has no end within %lu bytes: \"%s\"",
             static_cast<unsigned long>(CONFIG_ADDR_SIZE), shown);
        return CONFIG_VALUE_BAD;
    }
    char text[CONFIG_ADDR_SIZE] = {};
    memcpy(text, data, len);
    AddrRule rule = JudgeAddr(text, nullptr);
    if (rule != ADDR_USABLE) {
        Note(note, noteSize, "value \"Addr\" \"%s\" %s", shown, AddrRuleText(rule));
        return CONFIG_VALUE_BAD;
    }
    memcpy(addr, text, CONFIG_ADDR_SIZE);
    return CONFIG_VALUE_TAKEN;
}

namespace {

// True when the query gave one REG_DWORD; otherwise the note says why, followed by tail.
bool DwordTaken(const char* name, long queryResult, unsigned long type, unsigned long size, const char* tail,
                char* note, size_t noteSize)
{
    if (queryResult != CONFIG_QUERY_OK && queryResult != CONFIG_QUERY_MORE_DATA) {
        Note(note, noteSize, "value \"%s\" could not be read (error %ld)%s", name, queryResult, tail);
        return false;
    }
    if (queryResult == CONFIG_QUERY_MORE_DATA || type != CONFIG_TYPE_DWORD || size != 4) {
        Note(note, noteSize, "value \"%s\" is of type %lu and %lu bytes, not a number (REG_DWORD)%s", name, type,
             size, tail);
        return false;
    }
    return true;
}

}  // namespace

unsigned long ConfigTakeCapKB(const char* name, long queryResult, unsigned long type, unsigned long value,
                              unsigned long size, char* note, size_t noteSize)
{
    if (note != nullptr && noteSize > 0)
        note[0] = '\0';
    if (queryResult == CONFIG_QUERY_NOT_FOUND || !DwordTaken(name, queryResult, type, size, "", note, noteSize))
        return 0;
    if (value == 0) {
        Note(note, noteSize, "value \"%s\" is 0, not a size", name);
        return 0;
    }
    if (value > CONFIG_CAP_MAX_KB) {
        Note(note, noteSize, "value \"%s\" is %lu KB, more than %lu KB; %lu KB used", name, value,
             CONFIG_CAP_MAX_KB, CONFIG_CAP_MAX_KB);
        return CONFIG_CAP_MAX_KB;
    }
    return value;
}

int ConfigTakePath(const char* name, long queryResult, unsigned long type, const unsigned char* data,
                   unsigned long size, char* path, size_t pathSize, char* note, size_t noteSize)
{
    if (note != nullptr && noteSize > 0)
        note[0] = '\0';
    if (queryResult == CONFIG_QUERY_NOT_FOUND)
        return CONFIG_VALUE_MISSING;
    if (queryResult == CONFIG_QUERY_MORE_DATA || (queryResult == CONFIG_QUERY_OK && size > pathSize)) {
        Note(note, noteSize, "value \"%s\" holds %lu bytes, more than a file name", name, size);
        return CONFIG_VALUE_BAD;
    }
    if (queryResult != CONFIG_QUERY_OK) {
        Note(note, noteSize, "value \"%s\" could not be read (error %ld)", name, queryResult);
        return CONFIG_VALUE_BAD;
    }
    if (type != CONFIG_TYPE_STRING) {
        Note(note, noteSize, "value \"%s\" is of type %lu, not a string (REG_SZ)", name, type);
        return CONFIG_VALUE_BAD;
    }
    size_t len = 0;
    while (len < size && data[len] != '\0')
        ++len;
    if (len >= pathSize) {
        Note(note, noteSize, "value \"%s\" has no end within %lu bytes", name, static_cast<unsigned long>(pathSize));
        return CONFIG_VALUE_BAD;
    }
    if (len == 0)
        return CONFIG_VALUE_MISSING;
    memcpy(path, data, len);
    path[len] = '\0';
    return CONFIG_VALUE_TAKEN;
}

unsigned long ConfigTakeCount(const char* name, long queryResult, unsigned long type, unsigned long value,
                              unsigned long size, unsigned long fallback, unsigned long largest, char* note,
                              size_t noteSize)
{
    if (note != nullptr && noteSize > 0)
        note[0] = '\0';
    char used[32];
    snprintf(used, sizeof used, "; %lu used", fallback);
    if (queryResult == CONFIG_QUERY_NOT_FOUND || !DwordTaken(name, queryResult, type, size, used, note, noteSize))
        return fallback;
    if (value > largest) {
        Note(note, noteSize, "value \"%s\" is %lu, more than %lu; %lu used", name, value, largest, largest);
        return largest;
    }
    return value;
}

int ConfigTakeAccounts(long queryResult, unsigned long type, const unsigned char* data, unsigned long size,
                       char* list, size_t listSize, char* note, size_t noteSize)
{
    if (note != nullptr && noteSize > 0)
        note[0] = '\0';
    if (list == nullptr || listSize < 2)
        return CONFIG_VALUE_BAD;
    list[0] = '\0';
    const char* name = CONFIG_CLIENT_ACCOUNTS_VALUE;
    if (queryResult == CONFIG_QUERY_NOT_FOUND)
        return CONFIG_VALUE_MISSING;
    // Room for every byte and two NULs, should the value end without them.
    if (queryResult == CONFIG_QUERY_MORE_DATA || (queryResult == CONFIG_QUERY_OK && size + 2 > listSize)) {
        Note(note, noteSize, "value \"%s\" holds %lu bytes, more than %lu", name, size,
             static_cast<unsigned long>(listSize - 2));
        return CONFIG_VALUE_BAD;
    }
    if (queryResult != CONFIG_QUERY_OK) {
        Note(note, noteSize, "value \"%s\" could not be read (error %ld)", name, queryResult);
        return CONFIG_VALUE_BAD;
    }
    if (type != CONFIG_TYPE_MULTI_STRING && type != CONFIG_TYPE_STRING) {
        Note(note, noteSize, "value \"%s\" is of type %lu, not a list of strings (REG_MULTI_SZ)", name, type);
        return CONFIG_VALUE_BAD;
    }
    // A REG_SZ ends at its first NUL; blank strings of a list are left out.
    size_t out = 0;
    for (size_t at = 0; at < size;) {
        size_t len = 0;
        while (at + len < size && data[at + len] != '\0')
            ++len;
        if (len > 0) {
            memcpy(list + out, data + at, len);
            out += len;
            list[out++] = '\0';
        }
        at += len + 1;
        if (type == CONFIG_TYPE_STRING)
            break;
    }
    list[out] = '\0';
    return CONFIG_VALUE_TAKEN;
}
