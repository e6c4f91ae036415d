// The rules for what the address buffer may hold, kept apart from the registry calls so that
// they build and are tested on any host.
#pragma once

#include <cstddef>

// The address travels everywhere as NUL-terminated dotted text in a buffer of this size.
constexpr size_t CONFIG_ADDR_SIZE = 16;

// Until an address is configured the links talk to this machine only: the service then meets
// its own frames on its own ports, which it ignores, and nothing leaves the PC.
constexpr char CONFIG_DEFAULT_ADDR[] = "127.0.0.1";

// The registry's codes as the value query reports them (winerror.h, winnt.h).
constexpr long CONFIG_QUERY_OK = 0;              // ERROR_SUCCESS
constexpr long CONFIG_QUERY_NOT_FOUND = 2;       // ERROR_FILE_NOT_FOUND
constexpr long CONFIG_QUERY_MORE_DATA = 234;     // ERROR_MORE_DATA
constexpr unsigned long CONFIG_TYPE_STRING = 1;  // REG_SZ

// Room for one note on what was found in place of a usable address.
constexpr size_t CONFIG_NOTE_SIZE = 160;

enum ConfigValueVerdict {
    CONFIG_VALUE_BAD = -1,    // present but unusable: addr keeps the default, note says why
    CONFIG_VALUE_MISSING = 0, // no value: addr keeps the default
    CONFIG_VALUE_TAKEN = 1,   // addr now holds the stored text
};

// Fills addr (CONFIG_ADDR_SIZE bytes) with the default address text, zero-padded, so that no
// byte of the buffer is left undefined when it is published later.
void ConfigSetDefault(char* addr);

// Judges the outcome of one query of the address value: the query's result, the value's type,
// the bytes it delivered into data (a buffer of CONFIG_ADDR_SIZE bytes) and the size it
// reported. Only a string ending within the buffer that is a usable address (addr_rule.h) is
// copied into addr
// (NUL-terminated, zero-padded); otherwise addr is left alone and, for an unusable value, note
// (noteSize bytes, may be none) names what was found.
int ConfigTakeValue(long queryResult, unsigned long type, const unsigned char* data, unsigned long size,
                    char* addr, char* note, size_t noteSize);

// The log caps beside the address: REG_DWORD values in kilobytes. A missing value, or one that
// is unusable, leaves the log's own default (10240 KB); a value above the largest is cut to it.
constexpr char CONFIG_TRACE_CAP_VALUE[] = "TraceMaxKB";
constexpr char CONFIG_CAPTURE_CAP_VALUE[] = "CaptureMaxKB";
constexpr unsigned long CONFIG_CAP_MAX_KB = 1024UL * 1024;  // 1 GB
constexpr unsigned long CONFIG_TYPE_DWORD = 4;             // REG_DWORD

// Judges one query of a cap value named name: the kilobytes to use, or 0 for the default; note
// (noteSize bytes, may be none) says what was wrong with a value that is there, "" otherwise.
unsigned long ConfigTakeCapKB(const char* name, long queryResult, unsigned long type, unsigned long value,
                              unsigned long size, char* note, size_t noteSize);

// The communication log: its file's name (REG_SZ; missing or empty: the log is off) and its cap
// (REG_DWORD, kilobytes, as the caps above).
constexpr char CONFIG_COMMLOG_VALUE[] = "CommLog";
constexpr char CONFIG_COMMLOG_CAP_VALUE[] = "CommLogMaxKB";
// Hours the communication log stays on from its opening (REG_DWORD, a count as below).
constexpr char CONFIG_COMMLOG_HOURS_VALUE[] = "CommLogHours";
constexpr size_t CONFIG_PATH_SIZE = 260;  // MAX_PATH, its NUL included
// The metrics file for a textfile collector (REG_SZ, a full path; missing or empty: none).
constexpr char CONFIG_METRICS_VALUE[] = "MetricsFile";

// Judges one query of a file-name value named name: the bytes it delivered into data (a buffer
// of pathSize bytes) and the size it reported. A string that ends within the buffer is copied
// into path (pathSize bytes); an empty one counts as missing. note as for ConfigTakeCapKB.
int ConfigTakePath(const char* name, long queryResult, unsigned long type, const unsigned char* data,
                   unsigned long size, char* path, size_t pathSize, char* note, size_t noteSize);

// The held answers' bounds beside the address: REG_DWORD counts. A missing or unusable value
// leaves the default; a value above the largest is cut to it; 0 holds nothing.
constexpr char CONFIG_HELD_MAX_VALUE[] = "HeldMax";
constexpr char CONFIG_HELD_SECONDS_VALUE[] = "HeldSeconds";

// Judges one query of a count value named name: the count to use (fallback for a missing or
// unusable value, largest for one above it); note as for ConfigTakeCapKB.
unsigned long ConfigTakeCount(const char* name, long queryResult, unsigned long type, unsigned long value,
                              unsigned long size, unsigned long fallback, unsigned long largest, char* note,
                              size_t noteSize);

// Who may use the client pipe besides SYSTEM and Administrators: account names or string SIDs,
// one per string of a REG_MULTI_SZ (a REG_SZ counts as a list of one). Without the value every
// local account may.
constexpr char CONFIG_CLIENT_ACCOUNTS_VALUE[] = "ClientAccounts";
constexpr size_t CONFIG_ACCOUNTS_SIZE = 2048;            // the value's bytes, at most
constexpr unsigned long CONFIG_TYPE_MULTI_STRING = 7;    // REG_MULTI_SZ

// Judges one query of the accounts value: the bytes it delivered into data and the size it
// reported. TAKEN: list (listSize bytes) holds the non-empty strings, each with its NUL, and an
// empty string after the last. MISSING: no value. BAD: the value is there but unusable (wrong
// type, too long, unreadable): list holds no string, and note (as for ConfigTakeCapKB) says why.
// A value that is there restricts the pipe, so a bad or empty one admits nobody beyond SYSTEM
// and Administrators rather than everyone.
int ConfigTakeAccounts(long queryResult, unsigned long type, const unsigned char* data, unsigned long size,
                       char* list, size_t listSize, char* note, size_t noteSize);
