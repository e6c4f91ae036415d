// The packet capture log: one line per capture record from the pipe client, in a file of the
// debug directory, kept only when that directory exists when the bridge starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "byte_order.h"
#include "local_clock.h"

// The capture log is on only while this directory exists at the start of the bridge.
constexpr char CAPTURE_DEBUG_DIR[] = "c:\\VarnokPaymentTerminalServiceDebug";

// A record's data part starts with two big-endian 32-bit stamp fields: seconds since
// 1970-01-01 00:00 UTC, then milliseconds; the text follows.
constexpr size_t CAPTURE_STAMP_SIZE = 8;

// Longest line: date, time, the widest delay, the widest text a pipe message can carry
// (600 bytes less the 3-byte header and the stamp) and the line end, with room to spare.
constexpr size_t CAPTURE_LINE_SIZE = 64 + 600;
// Longest file name: the directory, a separator, "YYYYMMDD-HHMMSS.log".
constexpr size_t CAPTURE_NAME_SIZE = 260;

// The log rolls over once a line ends with the file at or past this many bytes: it becomes
// NAME.1 (replacing an older one), NAME starts anew, and the trace says so.
constexpr unsigned long CAPTURE_CAP_DEFAULT = 10UL * 1024 * 1024;

// The log's stream, none while the log is off.
extern FILE* CaptureFile;

// One moment as the log uses it: the local clock's (the log's lines name no zone offset).
using CaptureTime = LocalClockTime;

// Opens the log in the debug directory when it exists; otherwise the log stays off, silently. A
// directory that log_place.h refuses leaves the log off with a warning that says why; one whose
// only fault is a DACL that lets other accounts change it is given a protected DACL (SYSTEM and
// Administrators only), with a warning that says so.
void CaptureOpen();
// The same in dir; returns 1 when the log is on, 0 when it stays off.
int CaptureOpenIn(const char* dir);

// Sets the cap of the log file in bytes; 0 leaves it without one.
void CaptureSetCap(unsigned long bytes);

// One line for a capture record of length bytes at data; nothing when the log is off.
void CaptureWrite(size_t length, const uint8_t* data);

// Closes the log when it is on.
void CaptureClose();


// The file name for a log opened at local time now: "<dir><sep>YYYYMMDD-HHMMSS.log".
// Returns its length, or -1 when it does not fit in size bytes.
int CaptureFormatName(char* out, size_t size, const char* dir, char separator, const CaptureTime* now);

// The line for a record arriving at now, with "\n" at its end, into out (size bytes; text that
// does not fit is cut, the line end kept). Returns the line's length, or -1 for a record
// shorter than its stamp (nothing beyond length bytes is read) or a buffer too small for the
// line without its text.
int CaptureFormatLine(char* out, size_t size, size_t length, const uint8_t* data, const CaptureTime* now);

// The current time, from the local clock that the communication log shares.
inline void CaptureNow(CaptureTime* now) { LocalClockNow(now); }
// The platform's part (capture_win.cpp, capture_posix.cpp): the separator between directory and
// file name. The directory is judged, protected and held by log_place.h.
extern const char CAPTURE_PATH_SEPARATOR;
