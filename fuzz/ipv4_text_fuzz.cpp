// Feeds the strict dotted IPv4 parser any text, as a string and as a 16-byte address buffer
// that may lack its NUL, and the host test every address.
//
// Input: the text is the input up to its first NUL; the first 16 input bytes, when there are
// that many, also form an address buffer on their own; the first four bytes are also an
// address whose canonical text must parse back to them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config_value.h"
#include "dotted_model.h"
#include "ipv4.h"

namespace {

constexpr uint8_t CANARY = 0xC3;

void Check(bool ok)
{
    if (!ok)
        abort();
}

// Parses text held alone in a heap block of size bytes, and checks the result against the
// model: accepted exactly when the model accepts, the bytes then formatting back to the text,
// the output untouched otherwise.
void CheckParse(const char* bytes, size_t size)
{
    char* block = static_cast<char*>(malloc(size));
    memcpy(block, bytes, size);
    uint8_t out[4] = {CANARY, CANARY, CANARY, CANARY};
    bool ok = ParseIPv4(block, out);

    const void* nul = memchr(block, '\0', size);
    if (nul == nullptr) {
        // A buffer without its NUL holds no address, and the parser must not look past it.
        Check(!ok);
    } else {
        std::string text(block);
        uint8_t model[4];
        bool expected = IsStrictDotted(text, model);
        Check(ok == expected);
        Check(ConfigAddrIsDotted(block) == expected);
        if (ok) {
            Check(memcmp(out, model, 4) == 0);
            Check(FormatDotted(out) == text);
            Check(text.size() < CONFIG_ADDR_SIZE);
        }
    }
    if (!ok)
        Check(out[0] == CANARY && out[1] == CANARY && out[2] == CANARY && out[3] == CANARY);
    free(block);
}

void CheckAddress(const uint8_t addr[4])
{
    std::string text = FormatDotted(addr);
    uint8_t out[4] = {};
    Check(ParseIPv4(text.c_str(), out));
    Check(memcmp(out, addr, 4) == 0);
    bool any = addr[0] == 0 && addr[1] == 0 && addr[2] == 0 && addr[3] == 0;
    Check(IsHostIPv4(addr) == (!any && addr[0] < 224));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    size_t len = strnlen(text, size);
    std::string line(text, len);
    CheckParse(line.c_str(), len + 1);
    if (size >= CONFIG_ADDR_SIZE)
        CheckParse(text, CONFIG_ADDR_SIZE);
    if (size >= 4)
        CheckAddress(data);
    return 0;
}
