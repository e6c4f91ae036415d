// The service's side of the status block. Its two failure messages go to standard output, not
// to the trace: they are what an operator sees when starting a second copy from a console.
#include "ident.h"

#include <cstdio>
#include <cstring>

#include "sec_attr.h"

HANDLE CreateIdent(const char* addr)
{
    // Cleared first, so that ERROR_ALREADY_EXISTS can only come from this call.
    SetLastError(ERROR_SUCCESS);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, GetStatusSecurityAttributes(), PAGE_READWRITE, 0,
                                        IDENT_BLOCK_SIZE, IDENT_NAME);
    if (mapping == nullptr)
        return nullptr;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        printf("CreateIdent - already running ?!?!?\n");
        fflush(stdout);
        CloseHandle(mapping);
        return nullptr;
    }
    if (UpdateIdent(mapping, addr) == 0) {
        CloseHandle(mapping);
        return nullptr;
    }
    return mapping;
}

int UpdateIdent(HANDLE ident, const char* addr)
{
    void* view = MapViewOfFile(ident, FILE_MAP_WRITE, 0, 0, IDENT_SIZE);
    if (view == nullptr) {
        DWORD error = GetLastError();
        printf("UpdateIdent - MapError: %d, %08x\n", static_cast<int>(error), static_cast<unsigned>(error));
        fflush(stdout);
        return 0;
    }
    ServiceIdent content{};
    content.Pid = GetCurrentProcessId();
    if (addr != nullptr)
        memcpy(content.IPAddr, addr, CONFIG_ADDR_SIZE);
    IdentEncode(static_cast<uint8_t*>(view), &content);
    FlushViewOfFile(view, 0);
    UnmapViewOfFile(view);
    return 1;
}

int UpdateIdentLinks(HANDLE ident, const uint8_t* states)
{
    auto* view = static_cast<uint8_t*>(MapViewOfFile(ident, FILE_MAP_WRITE, 0, 0, IDENT_BLOCK_SIZE));
    if (view == nullptr || states == nullptr) {
        if (view != nullptr)
            UnmapViewOfFile(view);
        return 0;
    }
    memcpy(view + IDENT_LINKS_OFFSET, states, IDENT_LINK_COUNT);
    view[IDENT_LINKS_COUNT_OFFSET] = IDENT_LINK_COUNT;
    UnmapViewOfFile(view);
    return 1;
}
