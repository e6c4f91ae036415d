// The reader's side of the status block, in both builds.
#include "ident.h"

#include <cstring>

BOOL CloseIdent(HANDLE ident)
{
    if (ident == nullptr || ident == INVALID_HANDLE_VALUE)
        return FALSE;
    return CloseHandle(ident);
}

int ReadIdent(uint32_t* pid, char* addr)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, IDENT_NAME);
    if (mapping == nullptr)
        mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, IDENT_GLOBAL_NAME);
    if (mapping == nullptr)
        return 0;
    // A mapping of this name smaller than the block cannot be mapped for 20 bytes: not ours.
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, IDENT_SIZE);
    if (view == nullptr) {
        CloseHandle(mapping);
        return 0;
    }
    ServiceIdent ident;
    IdentDecode(static_cast<const uint8_t*>(view), &ident);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    if (pid != nullptr)
        *pid = ident.Pid;
    if (addr != nullptr)
        memcpy(addr, ident.IPAddr, CONFIG_ADDR_SIZE);
    return 1;
}

int ReadIdentLinks(uint8_t* states)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, IDENT_NAME);
    if (mapping == nullptr)
        mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, IDENT_GLOBAL_NAME);
    if (mapping == nullptr)
        return 0;
    const auto* view = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, IDENT_BLOCK_SIZE));
    CloseHandle(mapping);
    if (view == nullptr)
        return 0;
    int found = view[IDENT_LINKS_COUNT_OFFSET] == IDENT_LINK_COUNT ? 1 : 0;
    if (found && states != nullptr)
        memcpy(states, view + IDENT_LINKS_OFFSET, IDENT_LINK_COUNT);
    UnmapViewOfFile(view);
    return found;
}
