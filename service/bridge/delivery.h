// What the bridge tells a client that announced itself: delivery notices for commands that will
// not reach the terminal, the answers held while no client was there, and link health. A client
// that never announces itself receives none of it.
#pragma once

#include <cstdint>

#include "client_wire.h"
#include "held.h"
#include "term_packet.h"

struct PipeServer;
struct Terminal;

struct Delivery {
    int32_t Announced;  // 1 while the client attached as Client announced itself
    uint32_t Client;    // PipeServer Clients at the announcement
    char Account[HELD_ACCOUNT_SIZE];  // the announced client's account: the held answers it may take
    uint32_t SeenGivenUp[APP_COUNT];
    void* Ident;                  // the status block, for the link states; none before it exists
    uint8_t Published[APP_COUNT];  // link states written there last
    HeldQueue Held;
    uint32_t Notices[NOTICE_HELD_COUNT + 1];  // by NoticeReason, since the start
};

void DeliveryInit(Delivery* d, uint32_t heldMax, uint32_t heldSeconds);
// Handles a control message from the client (see IsControlMsg).
void DeliveryControl(Delivery* d, PipeServer* srv, Terminal* const* terms, uint32_t cmd, uint32_t nowMs);
// The link of application app refused cmd from the client.
void DeliveryRefused(Delivery* d, PipeServer* srv, const Terminal* t, int app, uint32_t cmd);
// Hands one message from application app to the client, or holds it when no client takes it,
// for the account of the client served last.
// Returns PipeWrite's result, or 0 when the message was held without a write.
int DeliveryAnswer(Delivery* d, PipeServer* srv, const uint8_t* msg, size_t len, uint32_t nowMs);
// Every timer tick: notices for frames the links gave up since the last tick, held answers
// dropped for age, and the held answers that the announced client's queue has room for.
void DeliveryTimer(Delivery* d, PipeServer* srv, Terminal* const* terms, uint32_t nowMs);
// Link health of every application, measured now.
void DeliveryHealth(Terminal* const* terms, AppHealth* apps);
