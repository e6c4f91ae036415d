// Feeds the applet's address checks any text the address field or the registry can hold: as a
// string, as the field's 19-character read without its NUL, and as a 16-byte buffer without
// its NUL.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "address.h"
#include "dotted_model.h"
#include "ipv4.h"

namespace {

constexpr uint8_t CANARY = 0x99;
constexpr size_t PARSE_CHARS = 16;

void Check(bool ok)
{
    if (!ok)
        abort();
}

// The leading sound fields of what the field shows, up to four.
int ModelCount(const std::string& text)
{
    std::vector<std::string> pieces = SplitDots(text.substr(0, ADDR_CHECK_CHARS));
    int count = 0;
    int value = 0;
    while (count < ADDR_FIELD_COUNT && count < static_cast<int>(pieces.size()) && IsByteField(pieces[count], &value))
        ++count;
    return count;
}

char* HeapCopy(const char* bytes, size_t size)
{
    char* block = static_cast<char*>(malloc(size == 0 ? 1 : size));
    memcpy(block, bytes, size);
    return block;
}

void CheckText(const std::string& text)
{
    char* block = HeapCopy(text.c_str(), text.size() + 1);
    int count = CheckAddressText(block);
    Check(count == ModelCount(text));
    // Nothing past the 19 characters the field hands over is looked at.
    if (text.size() >= ADDR_CHECK_CHARS) {
        char* cut = HeapCopy(text.c_str(), ADDR_CHECK_CHARS);
        Check(CheckAddressText(cut) == count);
        free(cut);
    }

    uint8_t fields[ADDR_FIELD_COUNT];
    memset(fields, CANARY, sizeof fields);
    int parsed = ParseAddressText(block, fields);
    std::vector<std::string> pieces = SplitDots(text);
    bool expected = text.size() < PARSE_CHARS && pieces.size() == ADDR_FIELD_COUNT;
    int values[ADDR_FIELD_COUNT] = {};
    for (int i = 0; expected && i < ADDR_FIELD_COUNT; ++i)
        expected = IsByteField(pieces[i], &values[i]);
    Check(parsed == (expected ? 1 : 0));
    if (parsed) {
        Check(count == ADDR_FIELD_COUNT);
        for (int i = 0; i < ADDR_FIELD_COUNT; ++i) {
            Check(fields[i] == values[i]);
            // Each field re-formats to its text once leading zeros are set aside.
            std::string digits = pieces[i].substr(0, pieces[i].find_first_not_of('0'));
            std::string rest = pieces[i].substr(digits.size());
            Check(std::to_string(fields[i]) == (rest.empty() ? "0" : rest));
        }
    } else {
        for (uint8_t f : fields)
            Check(f == CANARY);
    }

    // What the service accepts, the applet shows as the same address.
    uint8_t strict[4];
    if (ParseIPv4(block, strict)) {
        Check(parsed == 1 && memcmp(strict, fields, 4) == 0);
        Check(FormatDotted(fields) == text);
    }
    free(block);
}

// A 16-byte buffer without its NUL holds no address and is not read past.
void CheckUnterminated(const char* bytes)
{
    char* block = HeapCopy(bytes, PARSE_CHARS);
    if (memchr(block, '\0', PARSE_CHARS) == nullptr) {
        uint8_t fields[ADDR_FIELD_COUNT];
        memset(fields, CANARY, sizeof fields);
        Check(ParseAddressText(block, fields) == 0);
        for (uint8_t f : fields)
            Check(f == CANARY);
    }
    free(block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    CheckText(std::string(text, strnlen(text, size)));
    if (size >= PARSE_CHARS)
        CheckUnterminated(text);
    Check(CheckAddressText(nullptr) == 0);
    return 0;
}
