#include "ident_block.h"

#include <cstring>

namespace {

void CopyAddr(char* to, const char* from)
{
    memcpy(to, from, CONFIG_ADDR_SIZE);
    if (memchr(to, '\0', CONFIG_ADDR_SIZE) == nullptr)
        to[CONFIG_ADDR_SIZE - 1] = '\0';
}

}  // namespace

void IdentEncode(uint8_t* block, const ServiceIdent* ident)
{
    for (size_t i = 0; i < 4; ++i)
        block[IDENT_PID_OFFSET + i] = static_cast<uint8_t>(ident->Pid >> (8 * i));
    CopyAddr(reinterpret_cast<char*>(block + IDENT_ADDR_OFFSET), ident->IPAddr);
}

void IdentDecode(const uint8_t* block, ServiceIdent* ident)
{
    uint32_t pid = 0;
    for (size_t i = 0; i < 4; ++i)
        pid |= static_cast<uint32_t>(block[IDENT_PID_OFFSET + i]) << (8 * i);
    ident->Pid = pid;
    CopyAddr(ident->IPAddr, reinterpret_cast<const char*>(block + IDENT_ADDR_OFFSET));
}
