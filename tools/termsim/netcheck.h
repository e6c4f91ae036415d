// Guard for anything that sends to the terminal's test network.
#pragma once

// True when the IPv4 address (dotted) is on loopback or on the subnet of one of this machine's
// (or this namespace's) own interfaces: a datagram to it then never takes the default route.
bool PeerIsDirect(const char* dotted);
