/* dulvex-client ping: round trips to each application. */
#ifndef CLIENT_PING_H
#define CLIENT_PING_H

#include "client_common.h"

/* Sends cmd count times to each application in mask, one round at a time, and fills stats
 * (indexed by the application's bit number). Returns an exit code. */
int Ping(DulvexClient* client, uint8_t mask, unsigned long count, uint16_t cmd, uint32_t timeoutMs,
         PingStats stats[APP_COUNT]);

#endif
