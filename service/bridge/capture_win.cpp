// Windows side of the capture log: the debug folder's attributes and owner.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '\\';

namespace {

// SYSTEM (S-1-5-18) or the Administrators group (S-1-5-32-544); built rather than looked up by
// IsWellKnownSid, which Windows 2000 lacks.
bool IsSystemOrAdministrators(PSID sid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr, admins = nullptr;
    bool match = false;
    if (AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system))
        match = EqualSid(sid, system) != FALSE;
    if (!match && AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                           0, 0, &admins))
        match = EqualSid(sid, admins) != FALSE;
    if (system != nullptr)
        FreeSid(system);
    if (admins != nullptr)
        FreeSid(admins);
    return match;
}

// True when sid is the account this process runs as: a folder it owns gives nobody else a say.
bool IsOwnAccount(PSID sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER User;
        BYTE Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    bool same = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) && EqualSid(info.User.User.Sid, sid);
    CloseHandle(token);
    return same;
}

}  // namespace

int CaptureFolderRefused(const char* dir, char* why, size_t size)
{
    DWORD attributes = GetFileAttributesA(dir);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        snprintf(why, size, "cannot be examined (error %lu)", GetLastError());
        return 1;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        snprintf(why, size, "is a reparse point (a junction or symbolic link)");
        return 1;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetNamedSecurityInfoA(dir, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                     nullptr, &sd);
    if (rc != ERROR_SUCCESS || owner == nullptr) {
        snprintf(why, size, "has an owner that cannot be read (error %lu)", rc);
        if (sd != nullptr)
            LocalFree(sd);
        return 1;
    }
    int refused = 0;
    if (!IsSystemOrAdministrators(owner) && !IsOwnAccount(owner)) {
        char* text = nullptr;
        ConvertSidToStringSidA(owner, &text);
        snprintf(why, size, "is owned by %s, neither SYSTEM nor the Administrators group", text ? text : "?");
        if (text != nullptr)
            LocalFree(text);
        refused = 1;
    }
    LocalFree(sd);
    return refused;
}
