/* UDP round trips from a Wine process to udp_echo in the terminal's namespace: the network part
 * of the floor, from the same kind of process as the service. Sends a datagram the size of a
 * data frame and waits for its echo. Only 198.18.0.2 (the terminal's namespace) or loopback. */
#include <winsock2.h>
#include <ws2tcpip.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "latency.h"

int main(int argc, char** argv)
{
    const char* addr = "198.18.0.2";
    int port = 33340, count = 1000, size = 22, warmup = 50, i;
    WSADATA wsa;
    SOCKET s;
    struct sockaddr_in to;
    char buf[2048];
    double* lat;
    LARGE_INTEGER freq, t0, t1, start, end;
    DWORD tmo = 2000;
    for (i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--count") == 0)
            count = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--size") == 0)
            size = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--port") == 0)
            port = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--addr") == 0)
            addr = argv[i + 1];
    }
    if (count < 1 || size < 1 || size > (int)sizeof buf ||
        (strncmp(addr, "198.18.0.", 9) != 0 && strncmp(addr, "127.", 4) != 0)) {
        fprintf(stderr, "usage: udp_rtt [--addr 198.18.0.2|127.x.y.z] [--port P] [--count N] [--size BYTES]\n");
        return 2;
    }
    WSAStartup(MAKEWORD(2, 2), &wsa);
    s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)port);
    to.sin_addr.s_addr = inet_addr(addr);
    if (s == INVALID_SOCKET || connect(s, (struct sockaddr*)&to, sizeof to) != 0) {
        fprintf(stderr, "udp_rtt: socket/connect error %d\n", WSAGetLastError());
        return 1;
    }
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&tmo, sizeof tmo);
    lat = (double*)malloc(sizeof(double) * (size_t)count);
    memset(buf, 0x5A, sizeof buf);
    QueryPerformanceFrequency(&freq);
    for (i = -warmup; i < count; ++i) {
        if (i == 0)
            QueryPerformanceCounter(&start);
        QueryPerformanceCounter(&t0);
        if (send(s, buf, size, 0) != size || recv(s, buf, sizeof buf, 0) != size) {
            fprintf(stderr, "udp_rtt: round %d: error %d\n", i, WSAGetLastError());
            return 1;
        }
        QueryPerformanceCounter(&t1);
        if (i >= 0)
            lat[i] = (double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)freq.QuadPart;
    }
    QueryPerformanceCounter(&end);
    SortLatencies(lat, count);
    printf("rounds=%d p50_us=%.0f p99_us=%.0f p999_us=%.0f max_us=%.0f msgs_per_s=%.0f\n", count,
           Percentile(lat, count, 0.50), Percentile(lat, count, 0.99), Percentile(lat, count, 0.999), lat[count - 1],
           count / ((double)(end.QuadPart - start.QuadPart) / (double)freq.QuadPart));
    closesocket(s);
    WSACleanup();
    return 0;
}
