// The account of the client at the server end of a pipe, as the system knows it. Windows only.
#pragma once

#include <windows.h>

#include <cstddef>

// Fills text (size bytes) with the string SID of the account of the client connected to pipe
// (the server's end), read from its token under identification-level impersonation that ends
// before the call returns. 1: read. 0: not readable, *error says why: ERROR_CANNOT_IMPERSONATE
// while the client has written nothing yet (ask again after its first message),
// ERROR_CANT_OPEN_ANONYMOUS for a client that opened the pipe anonymously, and on the 9x family,
// which has no accounts, ERROR_CALL_NOT_IMPLEMENTED.
int PipeClientAccount(HANDLE pipe, char* text, size_t size, DWORD* error);
