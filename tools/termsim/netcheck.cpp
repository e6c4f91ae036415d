#include "netcheck.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdint>

bool PeerIsDirect(const char* dotted)
{
    in_addr p;
    if (inet_pton(AF_INET, dotted, &p) != 1)
        return false;
    const uint32_t h = ntohl(p.s_addr);
    if ((h >> 24) == 127)
        return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET)
            continue;
        const uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const uint32_t m = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        // A default-sized mask of 0 would match everything; our own address is no peer.
        found = m != 0 && (a & m) == (h & m) && a != h;
    }
    freeifaddrs(list);
    return found;
}
