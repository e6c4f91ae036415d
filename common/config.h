// The one persistent setting: the terminal's IPv4 address in the local machine's registry.
// Shared by the service, which reads it at start, and the applet, which reads and writes it.
#pragma once

#include <windows.h>

#include "config_value.h"

constexpr char CONFIG_KEY_PATH[] = "Software\\Varnok\\PaymentTermService";
constexpr char CONFIG_VALUE_NAME[] = "Addr";

// Opens the key under HKEY_LOCAL_MACHINE, creating it and any missing parent.
// 1: open, *key holds it; 0: failure.
int OpenConfigKey(HKEY* key);

// The result of RegCloseKey.
LONG CloseConfigKey(HKEY key);

// Fills addr (CONFIG_ADDR_SIZE bytes, may be none) with the stored address, or with the
// default when the value is missing or unusable. The buffer always holds NUL-terminated dotted
// text afterwards. 1: done (also with no buffer); 0: the key could not be opened (the buffer
// holds the default). The applet's build returns 1 in that case too.
int ReadConfigAddr(char* addr);

// Stores the text in addr (CONFIG_ADDR_SIZE bytes, may be none) as exactly 16 bytes of REG_SZ,
// zero-padded after its NUL. 1: written (or no buffer given); 0: the text is not a usable
// address, the key could not be opened, or the value could not be set.
int WriteConfigAddr(const char* addr);

// The kilobytes of the log cap stored in the value name (CONFIG_TRACE_CAP_VALUE,
// CONFIG_CAPTURE_CAP_VALUE), or 0 when the log keeps its default; an unusable value is reported.
unsigned long ReadConfigCapKB(const char* name);

// Fills path (size bytes) with the file name stored in the value name (CONFIG_COMMLOG_VALUE).
// 1: taken; 0: missing or empty (path untouched); an unusable value is reported and counts as
// missing.
int ReadConfigPath(const char* name, char* path, size_t size);

// The count stored in the value name (CONFIG_HELD_MAX_VALUE, CONFIG_HELD_SECONDS_VALUE), or
// fallback when it is missing or unusable (reported), cut to largest.
unsigned long ReadConfigCount(const char* name, unsigned long fallback, unsigned long largest);

// Reads the accounts value (CONFIG_CLIENT_ACCOUNTS_VALUE) into list (size bytes, at least 2):
// see ConfigTakeAccounts. An unusable value is reported. 1: the value is there (list holds its
// strings, maybe none); 0: no value.
int ReadConfigAccounts(char* list, size_t size);
