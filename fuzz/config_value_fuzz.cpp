// Feeds the judgement of a read address value everything a registry query can hand back: any
// result code, any type, any reported size and any bytes, with notes of any room.
//
// Input: byte 0 picks the query result (bits 0-1: success, value missing, more data, another
// error whose code is byte 1); byte 1 the type (bit 7 clear: a string); byte 2 the reported
// size (0 to 31, or with bit 7 a large one); byte 3 the note's room (0 to 200, 255: no note).
// The rest, at most 16 bytes, is what the query delivered.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config_value.h"
#include "dotted_model.h"

namespace {

constexpr size_t SETUP_SIZE = 4;
constexpr char CANARY = 0x7B;

void Check(bool ok)
{
    if (!ok)
        abort();
}

// The verdict the rules give: only a string that ends within the buffer and is a usable address
// is taken; a missing value is no fault; anything else is a bad value.
int Expected(long result, unsigned long type, const uint8_t* data, unsigned long size, std::string* text)
{
    if (result == CONFIG_QUERY_NOT_FOUND)
        return CONFIG_VALUE_MISSING;
    if (result != CONFIG_QUERY_OK || type != CONFIG_TYPE_STRING || size > CONFIG_ADDR_SIZE)
        return CONFIG_VALUE_BAD;
    size_t len = 0;
    while (len < size && data[len] != 0)
        ++len;
    if (len == CONFIG_ADDR_SIZE)
        return CONFIG_VALUE_BAD;
    text->assign(reinterpret_cast<const char*>(data), len);
    return ModelVerdict(*text) == "ok" ? CONFIG_VALUE_TAKEN : CONFIG_VALUE_BAD;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t setup[SETUP_SIZE] = {};
    memcpy(setup, data, size < SETUP_SIZE ? size : SETUP_SIZE);
    const uint8_t* value = size > SETUP_SIZE ? data + SETUP_SIZE : data;
    size_t valueLen = size > SETUP_SIZE ? size - SETUP_SIZE : 0;
    if (valueLen > CONFIG_ADDR_SIZE)
        valueLen = CONFIG_ADDR_SIZE;

    static const long results[] = {CONFIG_QUERY_OK, CONFIG_QUERY_NOT_FOUND, CONFIG_QUERY_MORE_DATA};
    long result = (setup[0] & 3) < 3 ? results[setup[0] & 3] : static_cast<long>(setup[1]) - 128;
    unsigned long type = (setup[1] & 0x80) == 0 ? CONFIG_TYPE_STRING : setup[1];
    unsigned long reported = (setup[2] & 0x80) == 0 ? (setup[2] & 0x1F) : 0xFFFFFF00ul | setup[2];
    // The query delivered at most the buffer; the block holds exactly what it says it
    // delivered, so a read beyond the reported size is caught. A size beyond the buffer
    // delivers nothing usable.
    size_t delivered = reported <= CONFIG_ADDR_SIZE ? reported : CONFIG_ADDR_SIZE;
    uint8_t* block = static_cast<uint8_t*>(malloc(delivered == 0 ? 1 : delivered));
    memset(block, 0, delivered == 0 ? 1 : delivered);
    memcpy(block, value, valueLen < delivered ? valueLen : delivered);

    size_t noteSize = setup[3] == 255 ? 0 : setup[3] % 201;
    char* note = setup[3] == 255 ? nullptr : static_cast<char*>(malloc(noteSize == 0 ? 1 : noteSize));
    if (note != nullptr)
        memset(note, CANARY, noteSize == 0 ? 1 : noteSize);
    char addr[CONFIG_ADDR_SIZE];
    memset(addr, CANARY, sizeof addr);

    int verdict = ConfigTakeValue(result, type, block, reported, addr, note, noteSize);
    std::string text;
    Check(verdict == Expected(result, type, block, reported, &text));

    if (verdict == CONFIG_VALUE_TAKEN) {
        // The text, its NUL, and zeros to the end: no byte of the buffer left undefined.
        Check(memcmp(addr, text.data(), text.size()) == 0);
        for (size_t i = text.size(); i < CONFIG_ADDR_SIZE; ++i)
            Check(addr[i] == 0);
    } else {
        for (size_t i = 0; i < CONFIG_ADDR_SIZE; ++i)
            Check(addr[i] == CANARY);
    }
    if (note != nullptr && noteSize > 0) {
        size_t len = strnlen(note, noteSize);
        Check(len < noteSize);
        // What was found goes into a trace line: no control characters may come with it.
        for (size_t i = 0; i < len; ++i)
            Check(note[i] >= 0x20 && note[i] < 0x7F);
        Check(verdict == CONFIG_VALUE_BAD ? (noteSize == 1 || len > 0) : len == 0);
    }
    free(note);
    free(block);

    char fallback[CONFIG_ADDR_SIZE];
    memset(fallback, CANARY, sizeof fallback);
    ConfigSetDefault(fallback);
    Check(strcmp(fallback, CONFIG_DEFAULT_ADDR) == 0);
    for (size_t i = sizeof CONFIG_DEFAULT_ADDR; i < CONFIG_ADDR_SIZE; ++i)
        Check(fallback[i] == 0);
    return 0;
}
