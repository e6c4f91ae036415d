// Windows side of a log's place: the facts of a folder and a file, the held folder and the DACL
// of every log file. The 9x family has no object security: there every place is accepted and
// files are opened as before.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cerrno>
#include <cstring>

#include "debug.h"
#include "log_place.h"

namespace {

// The logs' files: SYSTEM and the Administrators full control, nobody else anything; P keeps
// the folder's inheritable ACEs out. A folder the service protects gets the same, inherited by
// what is created in it.
constexpr char FILE_SDDL[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr char FOLDER_SDDL[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr size_t SDDL_SIZE = 256;

// SYSTEM (S-1-5-18), the Administrators group (S-1-5-32-544) and CREATOR OWNER (S-1-3-0), built
// rather than looked up by IsWellKnownSid, which Windows 2000 lacks.
int WhoOf(PSID sid)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    PSID system = nullptr, admins = nullptr, owner = nullptr;
    int who = LOG_WHO_OTHER;
    if (AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system) &&
        EqualSid(sid, system))
        who = LOG_WHO_SYSTEM;
    else if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                      &admins) &&
             EqualSid(sid, admins))
        who = LOG_WHO_ADMINS;
    else if (AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RID, 0, 0, 0, 0, 0, 0, 0, &owner) &&
             EqualSid(sid, owner))
        who = LOG_WHO_CREATOR_OWNER;
    PSID built[] = {system, admins, owner};
    for (PSID s : built) {
        if (s != nullptr)
            FreeSid(s);
    }
    if (who != LOG_WHO_OTHER)
        return who;
    // The account this process runs as: the service's own (under Wine every file's owner).
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return who;
    union {
        TOKEN_USER User;
        BYTE Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, &info, sizeof info, &size) && EqualSid(info.User.User.Sid, sid))
        who = LOG_WHO_SELF;
    CloseHandle(token);
    return who;
}

void SidText(PSID sid, char* out, size_t size)
{
    char* text = nullptr;
    if (sid != nullptr && ConvertSidToStringSidA(sid, &text)) {
        snprintf(out, size, "%s", text);
        LocalFree(text);
    } else {
        snprintf(out, size, "?");
    }
}

// The DACL base with, when the process runs as another account than SYSTEM (console mode), that
// account too, so that its next start can open its own files again.
void SddlWithSelf(char* out, size_t size, const char* base, const char* inherit)
{
    snprintf(out, size, "%s", base);
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    union {
        TOKEN_USER User;
        BYTE Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD got = 0;
    if (GetTokenInformation(token, TokenUser, &info, sizeof info, &got) && WhoOf(info.User.User.Sid) == LOG_WHO_SELF) {
        char sid[LOG_SID_TEXT];
        SidText(info.User.User.Sid, sid, sizeof sid);
        if (strcmp(sid, "S-1-5-18") != 0 && strcmp(sid, "?") != 0)
            snprintf(out, size, "%s(A;%s;FA;;;%s)", base, inherit, sid);
    }
    CloseHandle(token);
}

bool IsReparse(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

HANDLE OpenFolder(const char* dir, DWORD access)
{
    // Without delete sharing: while the handle is open the folder cannot be renamed or removed.
    return CreateFileA(dir, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

void ReadFolderFacts(HANDLE folder, LogPlaceFacts* f)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(folder, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        f->FolderReparse = true;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
        f->FolderFound = false;
        return;
    }
    f->FolderFound = true;
    f->Owner = owner != nullptr ? WhoOf(owner) : LOG_WHO_OTHER;
    SidText(owner, f->OwnerSid, sizeof f->OwnerSid);
    f->DaclPresent = dacl != nullptr;
    f->AceCount = dacl != nullptr ? dacl->AceCount : 0;
    for (int i = 0; dacl != nullptr && i < f->AceCount && i < LOG_ACE_MAX; ++i) {
        LogAce* a = &f->Aces[i];
        void* raw = nullptr;
        if (!GetAce(dacl, static_cast<DWORD>(i), &raw)) {
            a->Kind = LOG_ACE_UNKNOWN;
            snprintf(a->Sid, sizeof a->Sid, "?");
            continue;
        }
        const ACE_HEADER* head = static_cast<const ACE_HEADER*>(raw);
        a->InheritOnly = (head->AceFlags & INHERIT_ONLY_ACE) != 0;
        if (head->AceType != ACCESS_ALLOWED_ACE_TYPE && head->AceType != ACCESS_DENIED_ACE_TYPE) {
            a->Kind = LOG_ACE_UNKNOWN;
            snprintf(a->Sid, sizeof a->Sid, "an ACE of type %u", static_cast<unsigned>(head->AceType));
            continue;
        }
        // Allowed and denied ACEs share one layout: header, mask, then the SID.
        const ACCESS_ALLOWED_ACE* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        a->Kind = head->AceType == ACCESS_ALLOWED_ACE_TYPE ? LOG_ACE_ALLOW : LOG_ACE_DENY;
        a->Mask = ace->Mask;
        a->Who = WhoOf(sid);
        SidText(sid, a->Sid, sizeof a->Sid);
    }
    LocalFree(sd);
}

void ReadFileFacts(const char* path, LogPlaceFacts* f)
{
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES | READ_CONTROL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        f->FileFound = true;
        f->FileReparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        f->FileLinks = info.nNumberOfLinks;
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        f->FileOwner = LOG_WHO_OTHER;
        snprintf(f->FileOwnerSid, sizeof f->FileOwnerSid, "an owner that cannot be read");
        if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) ==
                ERROR_SUCCESS &&
            owner != nullptr) {
            f->FileOwner = WhoOf(owner);
            SidText(owner, f->FileOwnerSid, sizeof f->FileOwnerSid);
        }
        if (sd != nullptr)
            LocalFree(sd);
    }
    CloseHandle(h);
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        f->FileFound = true;
        f->FileReparse = true;
    }
}

// Facts and verdict of dir (and of file, when given); the folder's handle stays open in *keep
// when keep is given and the folder could be opened.
int Examine(const char* dir, const char* file, DWORD access, HANDLE* keep, LogPlaceFacts* f, char* why, size_t whySize)
{
    memset(f, 0, sizeof *f);
    if (LogReparseOnTheWay(dir, IsReparse, f->ReparseAt, sizeof f->ReparseAt)) {
        f->FolderFound = true;
        f->FolderReparse = strcmp(f->ReparseAt, dir) == 0;
        return LogPlaceJudge(f, why, whySize);
    }
    HANDLE folder = OpenFolder(dir, access);
    if (folder == INVALID_HANDLE_VALUE) {
        snprintf(why, whySize, "cannot be opened (error %lu)", GetLastError());
        return LOG_PLACE_REFUSED;
    }
    ReadFolderFacts(folder, f);
    if (file != nullptr)
        ReadFileFacts(file, f);
    int verdict = LogPlaceJudge(f, why, whySize);
    if (keep != nullptr)
        *keep = folder;
    else
        CloseHandle(folder);
    return verdict;
}

// True when the DACL of h grants only SYSTEM, the Administrators and the service's account.
bool OnlyTrustedMayUse(HANDLE h)
{
    LogPlaceFacts f = {};
    ReadFolderFacts(h, &f);
    if (!f.FolderFound || !f.DaclPresent || f.AceCount > LOG_ACE_MAX)
        return false;
    for (int i = 0; i < f.AceCount; ++i) {
        const LogAce& a = f.Aces[i];
        if (a.Kind == LOG_ACE_UNKNOWN ||
            (a.Kind == LOG_ACE_ALLOW && a.Who != LOG_WHO_SYSTEM && a.Who != LOG_WHO_ADMINS && a.Who != LOG_WHO_SELF))
            return false;
    }
    return true;
}

bool Protect(HANDLE folder)
{
    char sddl[SDDL_SIZE];
    SddlWithSelf(sddl, sizeof sddl, FOLDER_SDDL, "OICI");
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    bool done = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
                SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return done;
}

}  // namespace

bool LogPlaceCheck(const char* path, char* why, size_t whySize)
{
    if (!IsNtFamily())
        return true;
    char dir[LOG_PATH_SIZE];
    if (!LogFolderOf(path, dir, sizeof dir)) {
        snprintf(why, whySize, "has no folder the service can judge");
        return false;
    }
    LogPlaceFacts f;
    return Examine(dir, path, READ_CONTROL | FILE_READ_ATTRIBUTES, nullptr, &f, why, whySize) == LOG_PLACE_OK;
}

bool LogPlaceTake(const char* dir, bool protect, LogPlace* place, bool* protectedNow, char* why, size_t whySize)
{
    place->Handle = 0;
    if (protectedNow != nullptr)
        *protectedNow = false;
    if (!IsNtFamily())
        return true;
    LogPlaceFacts f;
    HANDLE folder = INVALID_HANDLE_VALUE;
    DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES | (protect ? WRITE_DAC : 0);
    int verdict = Examine(dir, nullptr, access, &folder, &f, why, whySize);
    if (verdict == LOG_PLACE_OPEN_DACL && protect && Protect(folder)) {
        if (protectedNow != nullptr)
            *protectedNow = true;
        // Judged again from what the folder now says.
        memset(&f, 0, sizeof f);
        ReadFolderFacts(folder, &f);
        verdict = LogPlaceJudge(&f, why, whySize);
    }
    if (verdict != LOG_PLACE_OK) {
        if (folder != INVALID_HANDLE_VALUE)
            CloseHandle(folder);
        return false;
    }
    place->Handle = reinterpret_cast<intptr_t>(folder);
    return true;
}

void LogPlaceRelease(LogPlace* place)
{
    if (place->Handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(place->Handle));
    place->Handle = 0;
}

FILE* LogPlaceOpen(const char* path, int mode, char* why, size_t whySize)
{
    bool append = mode == LOG_OPEN_APPEND;
    if (!IsNtFamily()) {
        FILE* f = fopen(path, append ? "at+" : "w+");
        if (f == nullptr)
            snprintf(why, whySize, "cannot be opened (errno %d)", errno);
        return f;
    }
    char sddl[SDDL_SIZE];
    SddlWithSelf(sddl, sizeof sddl, FILE_SDDL, "");
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sa.lpSecurityDescriptor,
                                                              nullptr)) {
        snprintf(why, whySize, "cannot be given its DACL (error %lu)", GetLastError());
        return nullptr;
    }
    // With append-only access the system puts every write at the file's end by itself (one call
    // per write under Wine, where the runtime's append mode makes three).
    DWORD access = (append ? FILE_APPEND_DATA : GENERIC_READ | GENERIC_WRITE) | FILE_READ_ATTRIBUTES | READ_CONTROL |
                   WRITE_DAC;
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD error = GetLastError();
    bool existed = h != INVALID_HANDLE_VALUE && error == ERROR_ALREADY_EXISTS;
    FILE* stream = nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE) {
        snprintf(why, whySize, "cannot be opened (error %lu)", error);
    } else if (!GetFileInformationByHandle(h, &info)) {
        snprintf(why, whySize, "cannot be examined (error %lu)", GetLastError());
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        snprintf(why, whySize, "is a reparse point (a junction or symbolic link)");
    } else if (info.nNumberOfLinks > 1) {
        snprintf(why, whySize, "has %lu names (hard links)", info.nNumberOfLinks);
    } else {
        // An existing file keeps the DACL it was made with: one that grants any other account
        // anything (made by an earlier version, or by an administrator) gets the logs' own. One
        // that is already so is left alone: under Wine a DACL set on an existing file becomes
        // mode bits that let every account read it.
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        if (existed && !OnlyTrustedMayUse(h) && GetSecurityDescriptorDacl(sa.lpSecurityDescriptor, &present, &dacl, &defaulted))
            SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr);
        if (!append)
            SetEndOfFile(h);
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_TEXT);
        stream = fd >= 0 ? _fdopen(fd, append ? "w" : "w+") : nullptr;
        if (stream == nullptr)
            snprintf(why, whySize, "cannot be opened as a stream");
        else
            h = INVALID_HANDLE_VALUE;
    }
    // Without a stream only the handle is closed and the descriptor stays taken: the runtime's
    // _close, imported, costs the service a third of a megabyte of private memory from its start
    // under Wine (measured), for a path that runs only when the runtime has no stream left.
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    LocalFree(sa.lpSecurityDescriptor);
    return stream;
}
