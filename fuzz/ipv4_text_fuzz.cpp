// Feeds the one address rule any text, as a string and as a 16-byte address buffer that may lack
// its NUL, and checks its verdict against a plainly written model of the rule.
//
// Input: the text is the input up to its first NUL; the first 16 input bytes, when there are
// that many, also form an address buffer on their own; the first four bytes are also an
// address whose canonical text must be judged by its numbers alone.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "addr_rule.h"
#include "config_value.h"
#include "dotted_model.h"

namespace {

constexpr uint8_t CANARY = 0xC3;

void Check(bool ok)
{
    if (!ok)
        abort();
}

// Judges text held alone in a heap block of size bytes: the model's verdict, the numbers
// formatting back to the text when usable, the output untouched otherwise.
void CheckJudge(const char* bytes, size_t size)
{
    char* block = static_cast<char*>(malloc(size));
    memcpy(block, bytes, size);
    uint8_t out[4] = {CANARY, CANARY, CANARY, CANARY};
    AddrRule rule = JudgeAddr(block, out);
    Check(AddrRuleName(rule) != nullptr);

    const void* nul = memchr(block, '\0', size);
    if (nul == nullptr) {
        // A buffer without its NUL holds no address, and the rule must not look past it.
        Check(rule == ADDR_TOO_LONG);
    } else {
        std::string text(block);
        Check(ModelVerdict(text) == AddrRuleName(rule));
        if (rule == ADDR_USABLE) {
            Check(FormatDotted(out) == text);
            Check(text.size() < CONFIG_ADDR_SIZE);
        }
    }
    if (rule != ADDR_USABLE)
        Check(out[0] == CANARY && out[1] == CANARY && out[2] == CANARY && out[3] == CANARY);
    free(block);
}

void CheckAddress(const uint8_t addr[4])
{
    std::string text = FormatDotted(addr);
    uint8_t out[4] = {};
    AddrRule rule = JudgeAddr(text.c_str(), out);
    bool any = addr[0] == 0 && addr[1] == 0 && addr[2] == 0 && addr[3] == 0;
    Check(rule == (any ? ADDR_UNSPECIFIED : addr[0] >= 224 ? ADDR_NOT_HOST : ADDR_USABLE));
    if (rule == ADDR_USABLE)
        Check(memcmp(out, addr, 4) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    size_t len = strnlen(text, size);
    std::string line(text, len);
    CheckJudge(line.c_str(), len + 1);
    if (size >= CONFIG_ADDR_SIZE)
        CheckJudge(text, CONFIG_ADDR_SIZE);
    if (size >= 4)
        CheckAddress(data);
    return 0;
}
