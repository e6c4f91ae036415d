/* The least a bridge can do under Wine, built only to be measured beside the service: a pipe
 * server on its own name that takes a client message, sends it as a data frame to each
 * application of its mask over that application's UDP link (the service's frame, numbering and
 * acknowledgement), takes each application's acknowledgement and answer, acknowledges the answer
 * and writes it to the pipe. No timers, no trace, no queue and no checks beyond what the exchange
 * needs. One client at a time; runs until killed. Two ways:
 *  - blocking (the default): it reads one message, then waits on each application's socket in
 *    turn until that exchange is done, and only then reads the client again. Wine's own cost of
 *    a relay that lets the applications' exchanges queue behind each other.
 *  - --overlap: one wait over the pipe and the five links, with a read of the client always
 *    outstanding, so that a command for one application is taken while the others wait for the
 *    terminal. Wine's own cost of a relay that overlaps them, as the service must.
 * Either way one command per application at a time, as the benchmark sends them. */
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

enum { DG_OTHER, DG_ACKED, DG_ANSWER };

/* Mask-bit order, as the service's application table. */
static const unsigned short Ports[APPS] = {33332, 33334, 33335, 33333, 33336};
static SOCKET Sock[APPS];
static unsigned char Seq[APPS];
/* Each application's last frame (flags, number, length, command, [status,] data), for a NAK. */
static unsigned char Frame[APPS][3 + FRAME_MAX];
static int FrameLen[APPS];
static unsigned char Msg[FRAME_MAX], In[FRAME_MAX];
/* The pipe's writes: with this OVERLAPPED when the pipe is overlapped, waited for at once. */
static OVERLAPPED WriteOv;
static OVERLAPPED* WriteWith;

/* The client message (mask, command, [status,] data; n >= 3 bytes) as app i's next frame. */
static void SendFrame(int i, DWORD n)
{
    unsigned char* f = Frame[i];
    f[0] = FLAG_HOST;
    f[1] = Seq[i];
    f[2] = (unsigned char)((n - 1) >> 8);
    f[3] = (unsigned char)(n - 1);
    memcpy(f + 4, Msg + 1, n - 1);
    FrameLen[i] = (int)n + 3;
    send(Sock[i], (const char*)f, FrameLen[i], 0);
}

/* The client message in Msg to each application of its mask. */
static void SendToMask(DWORD n)
{
    int i;
    for (i = 0; i < APPS; ++i)
        if (Msg[0] & (1u << i))
            SendFrame(i, n);
}

/* One datagram of application i: its frame's acknowledgement, an answer (acknowledged here;
 * In + 3 is then the client message of got - 3 bytes), or anything else. */
static int Take(int i, int got)
{
    if (got < 2 || (In[0] & FLAG_HOST))
        return DG_OTHER;
    if (In[0] & FLAG_ACK) {
        if (In[1] != Seq[i])
            return DG_OTHER;
        Seq[i] = (unsigned char)(Seq[i] + 1);
        return DG_ACKED;
    }
    if (In[0] & FLAG_NAK) {
        /* The terminal numbers from elsewhere: the frame again, with sync. */
        Frame[i][0] = FLAG_HOST | FLAG_SYNC;
        send(Sock[i], (const char*)Frame[i], FrameLen[i], 0);
        Frame[i][0] = FLAG_HOST;
        return DG_OTHER;
    }
    if (got < 8)
        return DG_OTHER;
    {
        unsigned char ack[2];
        ack[0] = FLAG_HOST | FLAG_ACK;
        ack[1] = In[1];
        send(Sock[i], (const char*)ack, 2, 0);
    }
    /* Mask bit, command, status, data: the frame from its command on. */
    In[3] = (unsigned char)(1u << i);
    return DG_ANSWER;
}

static void PipeWrite(HANDLE h, int got)
{
    DWORD w;
    if (!WriteFile(h, In + 3, (DWORD)got - 3, &w, WriteWith) && WriteWith != NULL && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(h, WriteWith, &w, TRUE);
}

static void ServeBlocking(HANDLE h)
{
    DWORD n;
    int i;
    while (ReadFile(h, Msg, sizeof Msg, &n, NULL) && n >= 3) {
        unsigned mask = Msg[0];
        SendToMask(n);
        for (i = 0; i < APPS; ++i) {
            int acked = 0, answered = 0;
            if (!(mask & (1u << i)))
                continue;
            while (!acked || !answered) {
                int got = recv(Sock[i], (char*)In, sizeof In, 0), kind;
                if (got < 0)
                    break;
                kind = Take(i, got);
                if (kind == DG_ACKED)
                    acked = 1;
                if (kind == DG_ANSWER && !answered) {
                    PipeWrite(h, got);
                    answered = 1;
                }
            }
        }
    }
}

/* Starts the next read of the client; 0 when the client is gone. */
static int ReadNext(HANDLE h, OVERLAPPED* ov)
{
    return ReadFile(h, Msg, sizeof Msg, NULL, ov) || GetLastError() == ERROR_IO_PENDING;
}

/* Slot 0 is the read's event, slot 1 + i application i's (WSAEventSelect, auto-reset). A wait
 * reports the first signalled handle of its array, so the array starts after the slot served
 * last: otherwise a busy pipe or first link would starve the others. */
static void ServeOverlapped(HANDLE h, OVERLAPPED* ov, const HANDLE* bySlot)
{
    HANDLE waits[1 + APPS];
    DWORD n;
    int i, first = 0;
    if (!ReadNext(h, ov))
        return;
    for (;;) {
        DWORD r;
        int slot;
        for (i = 0; i < 1 + APPS; ++i)
            waits[i] = bySlot[(first + i) % (1 + APPS)];
        r = WaitForMultipleObjects(1 + APPS, waits, FALSE, INFINITE);
        if (r >= WAIT_OBJECT_0 + 1 + APPS)
            return;
        slot = (first + (int)(r - WAIT_OBJECT_0)) % (1 + APPS);
        first = (slot + 1) % (1 + APPS);
        if (slot == 0) {
            if (!GetOverlappedResult(h, ov, &n, FALSE) || n < 3)
                return;
            SendToMask(n);
            if (!ReadNext(h, ov))
                return;
        } else {
            int got = recv(Sock[slot - 1], (char*)In, sizeof In, 0);
            if (got > 0 && Take(slot - 1, got) == DG_ANSWER)
                PipeWrite(h, got);
        }
    }
}

int main(int argc, char** argv)
{
    const char* name = "\\\\.\\pipe\\varnok\\DulvexBenchRelay";
    const char* addr = "198.18.0.2";
    OVERLAPPED readOv;
    HANDLE events[1 + APPS];
    DWORD tmo = RECV_TIMEOUT_MS, openMode = PIPE_ACCESS_DUPLEX;
    WSADATA wsa;
    int i, offset = 0, overlap = 0;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--overlap") == 0)
            overlap = 1;
        else if (i + 1 >= argc)
            offset = -1; /* an option without its value: the usage below */
        else if (strcmp(argv[i], "--pipe") == 0)
            name = argv[++i];
        else if (strcmp(argv[i], "--addr") == 0)
            addr = argv[++i];
        else if (strcmp(argv[i], "--port-offset") == 0)
            offset = atoi(argv[++i]);
    }
    /* The benchmark range (198.18.0.0/15) or loopback, never another address. */
    if ((strncmp(addr, "198.18.", 7) != 0 && strncmp(addr, "198.19.", 7) != 0 && strncmp(addr, "127.", 4) != 0) ||
        offset < 0 || offset > 30000) {
        fprintf(stderr, "usage: relay [--overlap] [--pipe NAME] [--addr 198.18.x.y|198.19.x.y|127.x.y.z] "
                        "[--port-offset 0-30000]\n");
        return 2;
    }
    WSAStartup(MAKEWORD(2, 2), &wsa);
    memset(&readOv, 0, sizeof readOv);
    if (overlap) {
        openMode |= FILE_FLAG_OVERLAPPED;
        readOv.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        WriteOv.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        WriteWith = &WriteOv;
        events[0] = readOv.hEvent;
    }
    for (i = 0; i < APPS; ++i) {
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        /* With an offset it runs beside the service, against a terminal moved by as much. */
        sa.sin_port = htons((unsigned short)(Ports[i] + offset));
        Sock[i] = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        if (Sock[i] == INVALID_SOCKET || bind(Sock[i], (struct sockaddr*)&sa, sizeof sa) != 0) {
            fprintf(stderr, "relay: socket/bind port %u: error %d\n", Ports[i] + offset, WSAGetLastError());
            return 1;
        }
        sa.sin_addr.s_addr = inet_addr(addr);
        if (connect(Sock[i], (struct sockaddr*)&sa, sizeof sa) != 0) {
            fprintf(stderr, "relay: connect: error %d\n", WSAGetLastError());
            return 1;
        }
        if (overlap) {
            /* Auto-reset, as the service's: the wait that reports it unsignals it. */
            events[1 + i] = CreateEventA(NULL, FALSE, FALSE, NULL);
            WSAEventSelect(Sock[i], events[1 + i], FD_READ);
        } else {
            setsockopt(Sock[i], SOL_SOCKET, SO_RCVTIMEO, (const char*)&tmo, sizeof tmo);
        }
    }
    for (;;) {
        HANDLE h = CreateNamedPipeA(name, openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 8192,
                                    8192, 0, NULL);
        DWORD n;
        if (h == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "relay: CreateNamedPipe error %lu\n", GetLastError());
            return 1;
        }
        printf("ready\n");
        fflush(stdout);
        if (ConnectNamedPipe(h, overlap ? &readOv : NULL) || GetLastError() == ERROR_PIPE_CONNECTED ||
            (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(h, &readOv, &n, TRUE))) {
            if (overlap)
                ServeOverlapped(h, &readOv, events);
            else
                ServeBlocking(h);
        }
        /* The cancelled read may still write into readOv until it completes. */
        if (overlap && CancelIo(h))
            GetOverlappedResult(h, &readOv, &n, TRUE);
        DisconnectNamedPipe(h);
        CloseHandle(h);
    }
}
