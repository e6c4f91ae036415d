// Security attributes of the two named objects that the service offers to other processes:
// the client pipe and the shared status block. Windows only.
//
// On the NT family both carry an explicit DACL, built once per process and never freed:
//   - the NETWORK group is denied everything (a named pipe is reachable over SMB; the status
//     block is not, but the same rule costs nothing there);
//   - SYSTEM, Administrators and the account the process runs under get full control;
//   - everyone else gets the access that clients need and no more: read and write of the pipe
//     (no WRITE_DAC, no WRITE_OWNER, and no right to create instances of the pipe), read-only
//     access to the status block.
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

// Attributes for CreateNamedPipeA of the client pipe. Returns nullptr when they could not be
// built (the caller then passes nullptr on: the platform's default security, which admits
// only SYSTEM, Administrators and the creator); the next call tries again.
SECURITY_ATTRIBUTES* GetOpenSecurityAttributes();

// Attributes for CreateFileMappingA of the shared status block; same contract.
SECURITY_ATTRIBUTES* GetStatusSecurityAttributes();

// True when the system belongs to the NT family (version record's platform id); a failed
// query counts as not NT.
bool IsNTPlatform();
