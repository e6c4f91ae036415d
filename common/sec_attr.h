// Security attributes of the two named objects that the service offers to other processes:
// the client pipe and the shared status block. Windows only.
//
// On the NT family both carry an explicit DACL, built once per process and never freed:
//   - the NETWORK group is denied everything (a named pipe is reachable over SMB; the status
//     block is not, but the same rule costs nothing there);
//   - SYSTEM, Administrators and the account the process runs under get full control;
//   - everyone else gets the access that clients need and no more: read and write of the pipe
//     (no WRITE_DAC, no WRITE_OWNER, and no right to create instances of the pipe), read-only
//     access to the status block. Where the administrator names the pipe's client accounts
//     (SetPipeClientAccounts), only those accounts get the pipe's client access, not everyone.
// On the 9x family, which has no object security, the attributes carry no descriptor.
// Handles created with either set are inheritable.
#pragma once

#include <windows.h>

// Rights of an ordinary local account on the pipe: FILE_GENERIC_READ and FILE_GENERIC_WRITE
// without FILE_APPEND_DATA, which on a pipe is FILE_CREATE_PIPE_INSTANCE (it would let any
// account add a rogue server instance of our pipe name).
constexpr DWORD PIPE_CLIENT_ACCESS = FILE_GENERIC_READ | (FILE_GENERIC_WRITE & ~FILE_APPEND_DATA);
// Rights of an ordinary local account on the status block: map it for reading, nothing else.
constexpr DWORD STATUS_READER_ACCESS = SECTION_QUERY | SECTION_MAP_READ | READ_CONTROL;
// Full control, for SYSTEM, Administrators and the process's own account.
constexpr DWORD PIPE_OWNER_ACCESS = FILE_ALL_ACCESS;
constexpr DWORD STATUS_OWNER_ACCESS = SECTION_ALL_ACCESS;

// The most accounts the pipe admits by name; further entries are skipped.
constexpr int PIPE_CLIENT_ACCOUNTS_MAX = 16;

// Hears of one entry of the client accounts: its string SID, or nullptr and the error of the
// lookup when it does not resolve (or is one too many: ERROR_TOO_MANY_SIDS).
using PipeAccountNote = void (*)(const char* entry, const char* sid, unsigned long error);

// Who besides SYSTEM, Administrators and the process's own account may use the pipe. list: the
// entries, account names or string SIDs, each with its NUL and an empty string after the last;
// nullptr: every local account (as without the setting). Each entry is resolved now and note
// (may be none) hears of it; an entry that does not resolve is skipped, so a list that resolves
// to nothing admits SYSTEM and Administrators only. The pipe's attributes are built anew at the
// next GetOpenSecurityAttributes. Returns the number of accounts admitted by name. On the 9x
// family, which has no object security, nothing is resolved and 0 is returned.
int SetPipeClientAccounts(const char* list, PipeAccountNote note);

// Attributes for CreateNamedPipeA of the client pipe. Returns nullptr when they could not be
// built (the caller then passes nullptr on: the platform's default security, which admits
// only SYSTEM, Administrators and the creator); the next call tries again.
SECURITY_ATTRIBUTES* GetOpenSecurityAttributes();

// Attributes for CreateFileMappingA of the shared status block; same contract.
SECURITY_ATTRIBUTES* GetStatusSecurityAttributes();

// True when the system belongs to the NT family (version record's platform id); a failed
// query counts as not NT.
bool IsNTPlatform();
