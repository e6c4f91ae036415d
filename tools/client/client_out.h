/* dulvex-client's output: text lines, or JSON lines after OutSetJson(1). A "stamped" line starts
 * with the local time and the application names (monitor). */
#ifndef CLIENT_OUT_H
#define CLIENT_OUT_H

#include "client_common.h"

void OutSetJson(int json);
void OutMessage(const DulvexMessage* msg, int stamped);
void OutNotice(const DulvexMessage* msg, int stamped);
void OutWelcome(uint32_t held);
void OutControl(const DulvexMessage* msg);
void OutHealth(const DulvexAppHealth* app);
void OutPing(const PingStats* stats);

/* Names of the application bits of mask, joined by '+' ("-" for none); out holds 64 bytes. */
void AppNames(char* out, size_t outSize, uint8_t mask);

#endif
