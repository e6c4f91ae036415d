// The communication log: one line per message on the client pipe and per datagram on the links,
// in both directions, with local time and its distance from UTC, the application's name, the
// decoded header and every byte in hex. Opt-in, for support sessions: payment data passes
// through it. It knows the link's frame; what a pipe message means is the bridge's, which
// builds that line with the pieces below and hands it over whole (CommLogWrite).
//
// Lines are built in memory and go to a buffered file; the buffer is written on the bridge's
// 100 ms tick and at close, so a crash may lose the last tenth of a second. Off, each place that
// logs costs one test of CommLogOn.
#pragma once

#include <cstddef>
#include <cstdint>

#include "local_clock.h"

enum CommDirection {
    COMM_FROM_CLIENT = 0,    // "client->svc": a pipe message the service read
    COMM_TO_CLIENT = 1,      // "svc->client": a pipe message the service queued for the client
    COMM_TO_TERMINAL = 2,    // "svc->term": a datagram the service sent
    COMM_FROM_TERMINAL = 3,  // "term->svc": a datagram the service received
};

// The log rolls over once a line ends with the file at or past this many bytes: it becomes
// NAME.1 (replacing an older one) and NAME starts anew, as the trace does.
constexpr unsigned long COMMLOG_CAP_DEFAULT = 10UL * 1024 * 1024;

// Room for the line of any message up to COMMLOG_WHOLE_BYTES long; a longer one is cut, and the
// line says so.
constexpr size_t COMMLOG_WHOLE_BYTES = 1024;
constexpr size_t COMMLOG_LINE_SIZE = 320 + 4 * COMMLOG_WHOLE_BYTES;
// A smaller buffer than this is refused by the formatters.
constexpr size_t COMMLOG_LINE_MIN = 160;

// The log switches itself off this many hours after it was turned on, so that a support
// session's log is not left writing payment data for months; a restart turns it on again.
constexpr unsigned long COMMLOG_HOURS_DEFAULT = 4;
constexpr unsigned long COMMLOG_HOURS_MAX = 168;  // a week

extern bool CommLogOn;

// Opens name for appending and turns the log on; a name that cannot be opened leaves it off with
// a warning. 1: on; 0: off. A second open replaces the first file.
int CommLogOpen(const char* name);
// Sets the cap of the file in bytes; 0 leaves it without one.
void CommLogSetCap(unsigned long bytes);
// Writes what the buffer holds to the file.
void CommLogFlush();
// Writes the buffer and closes the file; the log is off afterwards.
void CommLogClose();
// Its time is over: closes the log, with a warning event that says so. Nothing when it is off.
void CommLogExpire(unsigned long hours);

// Writes one line built by a formatter (n bytes, its line feed included); n <= 0 writes nothing.
void CommLogWrite(const char* line, int n);
void CommLogDatagramLine(int direction, const char* app, const uint8_t* datagram, size_t len);

// What the links call for every datagram that passes.
inline void CommLogDatagram(int direction, const char* app, const uint8_t* datagram, size_t len)
{
    if (CommLogOn)
        CommLogDatagramLine(direction, app, datagram, len);
}

// The line for one datagram of the application app of len bytes at datagram (nothing past it is
// read), at now, ending in "\n", into out (size bytes, NUL-terminated). Returns the line's
// length, or -1 when size is below COMMLOG_LINE_MIN.
int CommLogFormatDatagram(char* out, size_t size, const LocalClockTime* now, int direction, const char* app,
                          const uint8_t* datagram, size_t len);

// The pieces of a line, for the formatters of each layer. A piece that does not fit is left out
// whole (hex digits pair by pair), and the line then ends with " ! line cut".
struct CommLine {
    char* Buf;
    size_t Limit;
    size_t Len;
    bool Cut;
};
// The time and the direction; size is at least COMMLOG_LINE_MIN.
CommLine CommLineStart(char* out, size_t size, const LocalClockTime* now, int direction);
void CommLineAdd(CommLine* l, const char* format, ...) __attribute__((format(printf, 2, 3)));
void CommLineHex(CommLine* l, const uint8_t* bytes, size_t n);
// " status=0xNNNN" from the big-endian word when cmd carries one, " status=-" otherwise.
void CommLineStatus(CommLine* l, uint32_t cmd, const uint8_t* word);
// Ends the line; returns its length.
int CommLineFinish(CommLine* l);
// What cannot be decoded further: every byte, then why; ends the line.
int CommLineMalformed(CommLine* l, const uint8_t* bytes, size_t n, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
