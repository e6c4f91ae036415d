// The seam between the link protocol and the platform's datagram sockets: one implementation
// per platform (link_socket_win.cpp for Winsock, link_socket_posix.cpp for POSIX sockets).
// Calls that can fail return 0 for success, else the error code the socket layer reported
// right after the failing call; the caller logs it once, naming that call.
#pragma once

#include <cstdint>

#include "terminal.h"

// Starts and ends the socket library (Winsock 1.1, as the service asks for it; nothing on POSIX).
// The bridge and every other program that opens links call these.
long LinkStartup();
void LinkCleanup();

extern const LinkSocket LINK_NO_SOCKET;
extern const LinkEvent LINK_NO_EVENT;

// An IPv4 UDP socket.
long LinkSocketOpen(LinkSocket* out);
// Binds to port on every local address; port 0 lets the system choose.
long LinkSocketBind(LinkSocket s, uint16_t port);
// Fixes the peer: sends go to addr:port, and only datagrams from there are received.
long LinkSocketConnect(LinkSocket s, const uint8_t addr[4], uint16_t port);
// The bound local port, 0 when unknown.
uint16_t LinkSocketPort(LinkSocket s);
void LinkSocketClose(LinkSocket s);

// Gives the socket an event signalled while a datagram waits, and makes every later send and
// receive on it non-blocking. On failure *call names the failing call (" WSAEventSelect() ", ...).
long LinkEventAttach(LinkSocket s, LinkEvent* out, const char** call);
// Unsignals the event; the socket layer signals it again for a datagram still waiting. A wait
// that reports the event unsignals it too (Windows: auto-reset).
void LinkEventReset(LinkEvent e);
void LinkEventClose(LinkEvent e);
// Waits up to timeoutMs for the event; true when it is signalled.
bool LinkEventWait(LinkEvent e, int timeoutMs);

// Sends one datagram; bytes sent, or -1.
int LinkSocketSend(LinkSocket s, const uint8_t* data, uint32_t len);
// Receives one datagram into buf; its size, or -1 for none waiting, a datagram larger than size
// (dropped) or any other failure.
int LinkSocketRecv(LinkSocket s, uint8_t* buf, uint32_t size);

constexpr int LINK_RECV_NONE = -1;    // no datagram waits
constexpr int LINK_RECV_FAILED = -2;  // one receive failed; *error holds the socket layer's code
// The same, telling "nothing waits" from a failed receive. A failed receive costs at most one
// datagram (one larger than size, dropped) or one error notice (a port-unreachable report for an
// earlier send); datagrams behind it can still be read.
int LinkSocketRecvChecked(LinkSocket s, uint8_t* buf, uint32_t size, long* error);
