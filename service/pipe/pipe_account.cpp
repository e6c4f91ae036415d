#include "pipe_account.h"

#include <sddl.h>

#include <cstring>

#include "debug.h"

int PipeClientAccount(HANDLE pipe, char* text, size_t size, DWORD* error)
{
    *error = ERROR_SUCCESS;
    if (text == nullptr || size == 0) {
        *error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    text[0] = '\0';
    if (!ImpersonateNamedPipeClient(pipe)) {
        *error = GetLastError();
        return 0;
    }
    HANDLE token = nullptr;
    // Opened with the service's own rights, since the thread wears the client's token now.
    BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    DWORD openError = GetLastError();
    if (!RevertToSelf()) {
        // The thread would go on serving with the client's identity: nothing after this is safe.
        LogMessage("PipeClientAccount: RevertToSelf failed (error %lu): the service ends\n", GetLastError());
        ExitProcess(ERROR_CANNOT_IMPERSONATE);
    }
    if (!opened) {
        *error = openError;
        return 0;
    }
    alignas(DWORD) BYTE info[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD got = 0;
    char* sid = nullptr;
    int ok = 0;
    if (!GetTokenInformation(token, TokenUser, info, sizeof info, &got) ||
        !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(info)->User.Sid, &sid)) {
        *error = GetLastError();
    } else if (strlen(sid) >= size) {
        *error = ERROR_INSUFFICIENT_BUFFER;
    } else {
        memcpy(text, sid, strlen(sid) + 1);
        ok = 1;
    }
    if (sid != nullptr)
        LocalFree(sid);
    CloseHandle(token);
    return ok;
}
