/* dulvex-client's shared pieces: exit codes, the application count and ping's statistics. Every
 * part of the tool may include this; it includes no other part. */
#ifndef CLIENT_COMMON_H
#define CLIENT_COMMON_H

#include "dulvex_client.h"

enum ExitCode {
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_CONNECT = 2,
    EXIT_TIMEOUT = 3,
    EXIT_IO = 4,
    EXIT_PROTOCOL = 5,
};

#define APP_COUNT 5

/* Round trips of one application. The times are in milliseconds. */
typedef struct PingStats {
    uint8_t Mask;
    uint16_t Cmd;
    unsigned long Sent, Answered, Lost, Late;
    double MinMs, MaxMs, SumMs;
} PingStats;

/* The same exit code for a library result everywhere. */
int ExitFor(int result);

#endif
