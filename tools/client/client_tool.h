/* dulvex-client's parts: the output (text lines or JSON lines) and the round trips of ping. */
#ifndef CLIENT_TOOL_H
#define CLIENT_TOOL_H

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

/* Output. Text lines unless OutSetJson(1): then one JSON object per line. A "stamped" line
 * starts with the local time and the application names (monitor). */
void OutSetJson(int json);
void OutMessage(const DulvexMessage* msg, int stamped);
void OutNotice(const DulvexMessage* msg, int stamped);
void OutWelcome(uint32_t held);
void OutControl(const DulvexMessage* msg);
void OutHealth(const DulvexAppHealth* app);
void OutPing(const PingStats* stats);

/* Names of the application bits of mask, joined by '+' ("-" for none); out holds 64 bytes. */
void AppNames(char* out, size_t outSize, uint8_t mask);

/* Sends cmd count times to each application in mask, one round at a time, and fills stats
 * (indexed by the application's bit number). Returns an exit code. */
int Ping(DulvexClient* client, uint8_t mask, unsigned long count, uint16_t cmd, uint32_t timeoutMs,
         PingStats stats[APP_COUNT]);

/* The same exit code for a library result everywhere. */
int ExitFor(int result);

#endif
