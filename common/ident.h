// The shared status block: a 20-byte named mapping in which the running service publishes its
// process id and terminal address, and by which the applet tells whether the service runs.
// Creating it is also the service's guard against a second running copy.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ident_block.h"

constexpr char IDENT_NAME[] = "PaymentTermServiceSharedFile";
// Where a service under the service control manager lands when every logged-on user has a
// local namespace of their own.
constexpr char IDENT_GLOBAL_NAME[] = "Global\\PaymentTermServiceSharedFile";

// Creates and publishes the block with this process's id and the 16 bytes of addr. Returns
// its handle, or none: when the name exists already ("CreateIdent - already running ?!?!?" on
// standard output), when the mapping cannot be created, or when it cannot be written.
// Service build only.
HANDLE CreateIdent(const char* addr);

// Writes this process's id and addr (none: an empty address) into the block.
// 1: written; 0: the view could not be mapped ("UpdateIdent - MapError: ..." on standard output).
int UpdateIdent(HANDLE ident, const char* addr);

// Writes the applications' link states (IDENT_LINK_COUNT bytes) after the first 20.
// 1: written; 0: the view could not be mapped. Service build only.
int UpdateIdentLinks(HANDLE ident, const uint8_t* states);

// The result of CloseHandle; 0 for none.
BOOL CloseIdent(HANDLE ident);

// Reads the block by name (plain, then "Global\"). 1: found and copied into the places that
// were given (either may be none; the address always ends within its 16 bytes); 0: not found or
// not mappable, both places untouched. Never prints.
int ReadIdent(uint32_t* pid, char* addr);

// Reads the applications' link states (IDENT_LINK_COUNT bytes) into states. 1: read; 0: no block,
// or a block without them (an older service), states untouched.
int ReadIdentLinks(uint8_t* states);
