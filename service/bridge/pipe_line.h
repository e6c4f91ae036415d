// The communication log's line for a message on the client pipe: the client wire format is the
// bridge's, so the bridge decodes it and hands the comm log the finished line. The pipe server
// hands the bridge the bytes of every message it reads or queues through its tap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "commlog.h"

// The line for one pipe message of len bytes at msg (nothing past it is read), at now, ending in
// "\n", into out (size bytes, NUL-terminated). Returns the line's length, or -1 when size is
// below COMMLOG_LINE_MIN.
int CommLogFormatPipe(char* out, size_t size, const LocalClockTime* now, int direction, const uint8_t* msg,
                      size_t len);

// Writes the line of one message that passed the pipe in direction (COMM_FROM_CLIENT or
// COMM_TO_CLIENT); costs one test while the log is off.
void CommLogPipe(int direction, const uint8_t* msg, size_t len);
