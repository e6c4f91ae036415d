// The administrator's choice of who may use the client pipe (the ClientAccounts value), applied to
// the pipe's security attributes. Windows, service build only.
#pragma once

// Reads the value and sets the pipe's client accounts from it (SetPipeClientAccounts): without
// the value every local account may use the pipe. Every entry is traced with its SID; one that
// does not resolve is warned of and skipped, and a value with no usable entry leaves SYSTEM and
// Administrators only, with a warning. Call before the pipe is created. Returns the number of
// accounts admitted by name, or -1 when the value is missing or the platform (the 9x family) has
// no accounts (every local program).
int LimitPipeToConfiguredAccounts();
