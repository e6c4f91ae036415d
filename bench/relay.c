/* The least a bridge can do under Wine, built only to be measured beside the service: a pipe
 * server on its own name that takes one client message, sends it as a data frame to each
 * application of its mask over that application's UDP link (the service's frame, numbering and
 * acknowledgement), takes each application's acknowledgement and answer, acknowledges the answer
 * and writes it to the pipe. Blocking calls, no events, no timers, no trace, no queue and no
 * checks beyond what the exchange needs: its round trip is Wine's own cost of the relay.
 * One client at a time; runs until killed. */
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define APPS 5
#define FRAME_MAX (8 + 600)
#define FLAG_SYNC 0x01
#define FLAG_NAK 0x02
#define FLAG_ACK 0x04
#define FLAG_HOST 0x08
/* A lost answer ends the round for that application; the client's own time-out reports it. */
#define RECV_TIMEOUT_MS 2000

/* Mask-bit order, as the service's application table. */
static const unsigned short Ports[APPS] = {33332, 33334, 33335, 33333, 33336};

int main(int argc, char** argv)
{
    const char* name = "\\\\.\\pipe\\varnok\\DulvexBenchRelay";
    const char* addr = "198.18.0.2";
    static unsigned char out[3 + FRAME_MAX], in[FRAME_MAX];
    SOCKET s[APPS];
    unsigned char seq[APPS] = {0};
    DWORD tmo = RECV_TIMEOUT_MS;
    WSADATA wsa;
    int i, offset = 0;

    for (i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--pipe") == 0)
            name = argv[i + 1];
        else if (strcmp(argv[i], "--addr") == 0)
            addr = argv[i + 1];
        else if (strcmp(argv[i], "--port-offset") == 0)
            offset = atoi(argv[i + 1]);
    }
    /* The benchmark range (198.18.0.0/15) or loopback, never another address. */
    if ((strncmp(addr, "198.18.", 7) != 0 && strncmp(addr, "198.19.", 7) != 0 && strncmp(addr, "127.", 4) != 0) ||
        offset < 0 || offset > 30000) {
        fprintf(stderr, "usage: relay [--pipe NAME] [--addr 198.18.x.y|198.19.x.y|127.x.y.z] [--port-offset 0-30000]\n");
        return 2;
    }
    WSAStartup(MAKEWORD(2, 2), &wsa);
    for (i = 0; i < APPS; ++i) {
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        /* With an offset it runs beside the service, against a terminal moved by as much. */
        sa.sin_port = htons((unsigned short)(Ports[i] + offset));
        s[i] = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (s[i] == INVALID_SOCKET || bind(s[i], (struct sockaddr*)&sa, sizeof sa) != 0) {
            fprintf(stderr, "relay: socket/bind port %u: error %d\n", Ports[i] + offset, WSAGetLastError());
            return 1;
        }
        sa.sin_addr.s_addr = inet_addr(addr);
        if (connect(s[i], (struct sockaddr*)&sa, sizeof sa) != 0) {
            fprintf(stderr, "relay: connect: error %d\n", WSAGetLastError());
            return 1;
        }
        setsockopt(s[i], SOL_SOCKET, SO_RCVTIMEO, (const char*)&tmo, sizeof tmo);
    }
    for (;;) {
        HANDLE h = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                    8192, 8192, 0, NULL);
        DWORD n, w;
        if (h == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "relay: CreateNamedPipe error %lu\n", GetLastError());
            return 1;
        }
        printf("ready\n");
        fflush(stdout);
        if (!ConnectNamedPipe(h, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(h);
            continue;
        }
        /* The client message (mask, command, [status,] data) lands at out + 3, so that the frame
         * (flags, number, length, command, [status,] data) is out itself with the mask byte
         * overwritten by the length's low byte. */
        while (ReadFile(h, out + 3, sizeof out - 3, &n, NULL) && n >= 3) {
            unsigned mask = out[3];
            int len = (int)n + 3;
            out[0] = FLAG_HOST;
            out[2] = (unsigned char)((n - 1) >> 8);
            out[3] = (unsigned char)(n - 1);
            for (i = 0; i < APPS; ++i) {
                if (!(mask & (1u << i)))
                    continue;
                out[1] = seq[i];
                send(s[i], (const char*)out, len, 0);
            }
            for (i = 0; i < APPS; ++i) {
                int acked = 0, answered = 0;
                if (!(mask & (1u << i)))
                    continue;
                while (!acked || !answered) {
                    int got = recv(s[i], (char*)in, sizeof in, 0);
                    if (got < 0)
                        break;
                    if (got < 2 || (in[0] & FLAG_HOST))
                        continue;
                    if (in[0] & FLAG_ACK) {
                        if (in[1] == seq[i]) {
                            acked = 1;
                            seq[i] = (unsigned char)(seq[i] + 1);
                        }
                    } else if (in[0] & FLAG_NAK) {
                        /* The terminal numbers from elsewhere: the frame again, with sync. */
                        out[0] = FLAG_HOST | FLAG_SYNC;
                        out[1] = seq[i];
                        send(s[i], (const char*)out, len, 0);
                        out[0] = FLAG_HOST;
                    } else if (got >= 8) {
                        unsigned char ack[2];
                        ack[0] = FLAG_HOST | FLAG_ACK;
                        ack[1] = in[1];
                        send(s[i], (const char*)ack, 2, 0);
                        if (!answered) {
                            /* Mask bit, command, status, data: the frame from its command on. */
                            in[3] = (unsigned char)(1u << i);
                            WriteFile(h, in + 3, (DWORD)got - 3, &w, NULL);
                            answered = 1;
                        }
                    }
                }
            }
        }
        DisconnectNamedPipe(h);
        CloseHandle(h);
    }
}
