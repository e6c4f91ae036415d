// Windows side of the capture log: the runtime library's millisecond clock and local time, and
// the debug folder's attributes and owner.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <sys/timeb.h>
#include <time.h>

#include <cstdio>

#include "capture.h"

const char CAPTURE_PATH_SEPARATOR = '\\';

void CaptureNow(CaptureTime* now)
{
    struct __timeb64 tb;
    _ftime64(&tb);
    struct tm local {};
    __time64_t sec = tb.time;
    _localtime64_s(&local, &sec);
    *now = {static_cast<int64_t>(tb.time), static_cast<int>(tb.millitm), local.tm_year + 1900, local.tm_mon + 1,
            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

namespace {

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
    if (!IsWellKnownSid(owner, WinLocalSystemSid) && !IsWellKnownSid(owner, WinBuiltinAdministratorsSid) &&
        !IsOwnAccount(owner)) {
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
