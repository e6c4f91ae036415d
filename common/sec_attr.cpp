// Process-wide security attributes of the pipe and the status block. Both sets are built on
// first use and kept for the life of the process in static storage: the descriptors point into
// it, and the objects they protect may be created again at any time (the pipe instance is
// re-created for every client).
#include "sec_attr.h"

#include <sddl.h>

#include <cstring>

namespace {

// One deny and four allow entries, or three and the accounts named for the pipe.
constexpr DWORD ACE_COUNT = 4 + PIPE_CLIENT_ACCOUNTS_MAX;
constexpr DWORD ACL_BYTES = sizeof(ACL) + ACE_COUNT * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);

struct SidBuffer {
    alignas(DWORD) BYTE Bytes[SECURITY_MAX_SID_SIZE];
};

struct AttributeSet {
    SECURITY_ATTRIBUTES Attributes;
    SECURITY_DESCRIPTOR Descriptor;
    alignas(DWORD) BYTE Acl[ACL_BYTES];
    bool Initialised;
};

SidBuffer NetworkSid, SystemSid, AdminsSid, WorldSid, SelfSid;
bool SidsReady = false;
bool HaveSelf = false;

AttributeSet PipeSet;
AttributeSet StatusSet;

// The pipe's client accounts by name; none while Restricted is false (every local account).
SidBuffer ClientSids[PIPE_CLIENT_ACCOUNTS_MAX];
int ClientCount = 0;
bool Restricted = false;

bool WellKnownSid(SidBuffer* sid, SID_IDENTIFIER_AUTHORITY authority, DWORD first, DWORD second, BYTE count)
{
    if (!InitializeSid(sid->Bytes, &authority, count))
        return false;
    *GetSidSubAuthority(sid->Bytes, 0) = first;
    if (count > 1)
        *GetSidSubAuthority(sid->Bytes, 1) = second;
    return IsValidSid(sid->Bytes) != FALSE;
}

// The account this process runs under. Under the service manager that is SYSTEM already; in
// the console debug mode it is whoever started the program, who must still be able to create
// the next pipe instance while a departing client holds the old one open.
bool ProcessUserSid(SidBuffer* sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(DWORD) BYTE info[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    bool ok = GetTokenInformation(token, TokenUser, info, sizeof info, &size) &&
              CopySid(sizeof sid->Bytes, sid->Bytes, reinterpret_cast<TOKEN_USER*>(info)->User.Sid);
    CloseHandle(token);
    return ok;
}

bool BuildSids()
{
    if (SidsReady)
        return true;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    if (!WellKnownSid(&NetworkSid, nt, SECURITY_NETWORK_RID, 0, 1) ||
        !WellKnownSid(&SystemSid, nt, SECURITY_LOCAL_SYSTEM_RID, 0, 1) ||
        !WellKnownSid(&AdminsSid, nt, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 2) ||
        !WellKnownSid(&WorldSid, world, SECURITY_WORLD_RID, 0, 1))
        return false;
    HaveSelf = ProcessUserSid(&SelfSid) && !EqualSid(SelfSid.Bytes, SystemSid.Bytes) &&
               !EqualSid(SelfSid.Bytes, AdminsSid.Bytes);
    SidsReady = true;
    return true;
}

// A string SID ("S-1-5-32-545") or an account name ("pos", "DOMAIN\\pos", "Users").
bool ResolveAccount(const char* entry, SidBuffer* sid, DWORD* error)
{
    if ((entry[0] == 'S' || entry[0] == 's') && entry[1] == '-') {
        PSID parsed = nullptr;
        if (!ConvertStringSidToSidA(entry, &parsed)) {
            *error = GetLastError();
            return false;
        }
        bool ok = CopySid(sizeof sid->Bytes, sid->Bytes, parsed) != FALSE;
        *error = ok ? ERROR_SUCCESS : GetLastError();
        LocalFree(parsed);
        return ok;
    }
    DWORD sidSize = sizeof sid->Bytes;
    char domain[256];
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountNameA(nullptr, entry, sid->Bytes, &sidSize, domain, &domainSize, &use)) {
        *error = GetLastError();
        return false;
    }
    *error = ERROR_SUCCESS;
    return true;
}

// Deny entries come first: the system stops at the first entry that denies a requested right,
// and a remote caller also carries the World SID. others: the accounts that get othersAccess,
// nullptr for World.
bool BuildSet(AttributeSet* set, DWORD othersAccess, DWORD ownerAccess, const SidBuffer* others, int otherCount)
{
    if (set->Initialised)
        return true;
    set->Attributes.nLength = sizeof set->Attributes;
    set->Attributes.bInheritHandle = TRUE;
    if (!IsNTPlatform()) {
        set->Attributes.lpSecurityDescriptor = nullptr;
        set->Initialised = true;
        return true;
    }
    PACL acl = reinterpret_cast<PACL>(set->Acl);
    bool ok = BuildSids() && InitializeAcl(acl, sizeof set->Acl, ACL_REVISION) &&
              AddAccessDeniedAce(acl, ACL_REVISION, ownerAccess, NetworkSid.Bytes) &&
              AddAccessAllowedAce(acl, ACL_REVISION, ownerAccess, SystemSid.Bytes) &&
              AddAccessAllowedAce(acl, ACL_REVISION, ownerAccess, AdminsSid.Bytes) &&
              (!HaveSelf || AddAccessAllowedAce(acl, ACL_REVISION, ownerAccess, SelfSid.Bytes)) &&
              (others != nullptr || AddAccessAllowedAce(acl, ACL_REVISION, othersAccess, WorldSid.Bytes));
    for (int i = 0; ok && others != nullptr && i < otherCount; ++i)
        ok = AddAccessAllowedAce(acl, ACL_REVISION, othersAccess, const_cast<BYTE*>(others[i].Bytes)) != FALSE;
    ok = ok && InitializeSecurityDescriptor(&set->Descriptor, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&set->Descriptor, TRUE, acl, FALSE);
    if (!ok)
        return false;
    set->Attributes.lpSecurityDescriptor = &set->Descriptor;
    set->Initialised = true;
    return true;
}

}  // namespace

bool IsNTPlatform()
{
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info))
        return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

int SetPipeClientAccounts(const char* list, PipeAccountNote note)
{
    PipeSet.Initialised = false;
    ClientCount = 0;
    Restricted = list != nullptr;
    if (list == nullptr || !IsNTPlatform())
        return 0;
    for (const char* entry = list; *entry != '\0'; entry += strlen(entry) + 1) {
        DWORD error = ERROR_TOO_MANY_SIDS;
        if (ClientCount < PIPE_CLIENT_ACCOUNTS_MAX && ResolveAccount(entry, &ClientSids[ClientCount], &error)) {
            char* text = nullptr;
            bool named = ConvertSidToStringSidA(ClientSids[ClientCount].Bytes, &text) != FALSE;
            if (note != nullptr)
                note(entry, named ? text : "?", ERROR_SUCCESS);
            if (named)
                LocalFree(text);
            ++ClientCount;
        } else if (note != nullptr) {
            note(entry, nullptr, error);
        }
    }
    return ClientCount;
}

SECURITY_ATTRIBUTES* GetOpenSecurityAttributes()
{
    return BuildSet(&PipeSet, PIPE_CLIENT_ACCESS, PIPE_OWNER_ACCESS, Restricted ? ClientSids : nullptr, ClientCount)
               ? &PipeSet.Attributes
               : nullptr;
}

SECURITY_ATTRIBUTES* GetStatusSecurityAttributes()
{
    return BuildSet(&StatusSet, STATUS_READER_ACCESS, STATUS_OWNER_ACCESS, nullptr, 0) ? &StatusSet.Attributes
                                                                                      : nullptr;
}
