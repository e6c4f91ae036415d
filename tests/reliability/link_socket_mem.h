// A datagram socket that never touches the network, for driving the link code in simulated time:
// every datagram a link sends waits in its socket's outbox until the driver takes it.
#pragma once

#include <cstdint>

#include "link_socket.h"

// The oldest datagram sent on s and not yet taken: its size, copied into buf (at most size
// bytes), or -1 when none waits.
int MemSocketTake(LinkSocket s, uint8_t* buf, uint32_t size);
