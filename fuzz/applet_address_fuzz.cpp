// Feeds the message the applet shows for an address (under its field and when Save refuses it)
// any text the field can hand over, any verdict and any room: the message always ends within its
// buffer, carries no control character, and never reads the text past the rule's reach.
//
// Input: byte 0 picks the room (0 to 255), byte 1 the verdict (any value, outside the rules
// too); the rest is the text, also tried as a 16-byte buffer without its NUL.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "addr_rule.h"
#include "dotted_model.h"

namespace {

constexpr char CANARY = 0x5C;

void Check(bool ok)
{
    if (!ok)
        abort();
}

char* HeapCopy(const char* bytes, size_t size)
{
    char* block = static_cast<char*>(malloc(size == 0 ? 1 : size));
    memcpy(block, bytes, size);
    return block;
}

void CheckMessage(const char* text, size_t room, AddrRule rule)
{
    char* out = static_cast<char*>(malloc(room == 0 ? 1 : room));
    memset(out, CANARY, room == 0 ? 1 : room);
    size_t n = AddrRuleMessage(out, room, text, rule);
    if (room == 0) {
        Check(n == 0 && out[0] == CANARY);
    } else {
        Check(n < room && out[n] == '\0' && strlen(out) == n);
        for (size_t i = 0; i < n; ++i)
            Check(out[i] >= 0x20 && out[i] < 0x7F);
    }
    free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    size_t room = data[0];
    AddrRule rule = static_cast<AddrRule>(data[1] % (ADDR_RULE_COUNT + 2));
    const char* rest = reinterpret_cast<const char*>(data + 2);
    size_t len = strnlen(rest, size - 2);
    std::string text(rest, len);

    char* block = HeapCopy(text.c_str(), len + 1);
    CheckMessage(block, room, rule);
    CheckMessage(block, ADDR_MESSAGE_SIZE, JudgeAddr(block, nullptr));
    Check(ModelVerdict(text) == AddrRuleName(JudgeAddr(block, nullptr)));
    free(block);
    if (size - 2 >= ADDR_TEXT_MAX + 1) {
        char* cut = HeapCopy(rest, ADDR_TEXT_MAX + 1);
        CheckMessage(cut, room, rule);
        if (memchr(cut, '\0', ADDR_TEXT_MAX + 1) == nullptr)
            Check(JudgeAddr(cut, nullptr) == ADDR_TOO_LONG);
        free(cut);
    }
    return 0;
}
