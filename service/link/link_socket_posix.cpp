// POSIX datagram sockets for the link. The "event" is the socket's descriptor: poll() reports it
// readable while a datagram waits, so there is nothing to reset.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link_socket.h"

const LinkSocket LINK_NO_SOCKET = -1;
const LinkEvent LINK_NO_EVENT = -1;

namespace {

long LastError() { return errno != 0 ? errno : -1; }

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

long LinkStartup() { return 0; }
void LinkCleanup() {}

long LinkSocketOpen(LinkSocket* out)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0)
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
    socklen_t len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return 0;
    return ntohs(sa.sin_port);
}

void LinkSocketClose(LinkSocket s)
{
    if (s >= 0)
        close(s);
}

long LinkEventAttach(LinkSocket s, LinkEvent* out, const char** call)
{
    int fl = fcntl(s, F_GETFL);
    if (fl < 0 || fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0) {
        *call = " fcntl() ";
        return LastError();
    }
    *out = s;
    return 0;
}

void LinkEventReset(LinkEvent) {}
void LinkEventClose(LinkEvent) {}

bool LinkEventWait(LinkEvent e, int timeoutMs)
{
    pollfd p = {e, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

int LinkSocketSend(LinkSocket s, const uint8_t* data, uint32_t len)
{
    ssize_t n = send(s, data, len, 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int LinkSocketRecvChecked(LinkSocket s, uint8_t* buf, uint32_t size, long* error)
{
    // MSG_TRUNC makes Linux report a datagram's real size, so an oversized one is seen, not cut.
    ssize_t n = recv(s, buf, size, MSG_TRUNC);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return LINK_RECV_NONE;
        *error = LastError();
        return LINK_RECV_FAILED;
    }
    if (static_cast<size_t>(n) > size) {
        *error = EMSGSIZE;
        return LINK_RECV_FAILED;
    }
    return static_cast<int>(n);
}

int LinkSocketRecv(LinkSocket s, uint8_t* buf, uint32_t size)
{
    long error = 0;
    int n = LinkSocketRecvChecked(s, buf, size, &error);
    return n < 0 ? -1 : n;
}
