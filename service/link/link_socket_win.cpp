// Winsock datagram sockets for the link. WSAEventSelect with FD_READ signals an auto-reset
// event when a datagram arrives and puts the socket into non-blocking mode.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "link_socket.h"

const LinkSocket LINK_NO_SOCKET = INVALID_SOCKET;
const LinkEvent LINK_NO_EVENT = nullptr;

namespace {

long LastError()
{
    long code = WSAGetLastError();
    return code != 0 ? code : -1;
}

sockaddr_in Address(const uint8_t addr[4], uint16_t port)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (addr != nullptr)
        memcpy(&sa.sin_addr, addr, 4);
    else
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
    return sa;
}

}  // namespace

long LinkStartup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

void LinkCleanup() { WSACleanup(); }

long LinkSocketOpen(LinkSocket* out)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return LastError();
    *out = s;
    return 0;
}

long LinkSocketBind(LinkSocket s, uint16_t port)
{
    sockaddr_in sa = Address(nullptr, port);
    return bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : LastError();
}

long LinkSocketConnect(LinkSocket s, const uint8_t addr[4], uint16_t port)
{
    sockaddr_in sa = Address(addr, port);
    return connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : LastError();
}

uint16_t LinkSocketPort(LinkSocket s)
{
    sockaddr_in sa;
    int len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return 0;
    return ntohs(sa.sin_port);
}

void LinkSocketClose(LinkSocket s)
{
    if (s != INVALID_SOCKET)
        closesocket(s);
}

long LinkEventAttach(LinkSocket s, LinkEvent* out, const char** call)
{
    // Auto-reset: the wait that reports the event unsignals it, so a receive needs no reset of
    // its own (a request to the Wine server per datagram). A receive re-enables FD_READ, and a
    // datagram still waiting then signals the event again.
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (e == nullptr) {
        *call = " CreateEvent() ";
        long code = static_cast<long>(GetLastError());
        return code != 0 ? code : -1;
    }
    if (WSAEventSelect(s, e, FD_READ) != 0) {
        *call = " WSAEventSelect() ";
        long code = LastError();
        CloseHandle(e);
        return code;
    }
    *out = e;
    return 0;
}

void LinkEventReset(LinkEvent e)
{
    if (e != nullptr)
        ResetEvent(e);
}

void LinkEventClose(LinkEvent e)
{
    if (e != nullptr)
        CloseHandle(e);
}

bool LinkEventWait(LinkEvent e, int timeoutMs)
{
    return WaitForSingleObject(e, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

int LinkSocketSend(LinkSocket s, const uint8_t* data, uint32_t len)
{
    int n = send(s, reinterpret_cast<const char*>(data), static_cast<int>(len), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int LinkSocketRecvChecked(LinkSocket s, uint8_t* buf, uint32_t size, long* error)
{
    // A datagram larger than the buffer fails with WSAEMSGSIZE and is dropped; a port-unreachable
    // report for an earlier send fails one receive with WSAECONNRESET (WSAECONNREFUSED under
    // Wine). Neither stops the datagrams behind it.
    int n = recv(s, reinterpret_cast<char*>(buf), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR)
        return n;
    long e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK)
        return LINK_RECV_NONE;
    *error = e;
    return LINK_RECV_FAILED;
}

int LinkSocketRecv(LinkSocket s, uint8_t* buf, uint32_t size)
{
    long error = 0;
    int n = LinkSocketRecvChecked(s, buf, size, &error);
    return n < 0 ? -1 : n;
}
