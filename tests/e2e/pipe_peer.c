/* Other programs on the service's pipe, for the end-to-end pipe test.
 *   pipe_peer squat NAME      creates NAME first (room for more instances) and keeps it until a
 *                             client connects to it (30 s at most); prints "holding" once the
 *                             name is taken
 *   pipe_peer stall NAME MS   a client that sends three commands to Petro, then commands with
 *                             full-size answers to the other four applications, never reads, and
 *                             watches for MS milliseconds whether the service drops it; prints
 *                             "stall sent=N dropped=yes|no error=E"
 *   pipe_peer burst NAME MASK CMD N MS
 *                             an announced client that sends N commands CMD, CMD+1, ... to MASK
 *                             at once, then prints every message and notice that comes within
 *                             MS milliseconds, one line each (the lines of dulvex-client) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "dulvex_client.h"

/* The most data a command from a client carries (600 bytes in all with its header). */
#define COMMAND_DATA 597
/* The longest a squatter waits for its client. */
#define SQUAT_MS 30000

static int Squat(const char* name)
{
    HANDLE h = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("squat error=%lu\n", GetLastError());
        return 1;
    }
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    printf("holding\n");
    fflush(stdout);
    if (!ConnectNamedPipe(h, &ov) && GetLastError() == ERROR_IO_PENDING)
        WaitForSingleObject(ov.hEvent, SQUAT_MS);
    CloseHandle(h);
    CloseHandle(ov.hEvent);
    return 0;
}

static int Stall(const char* name, DWORD watchMs)
{
    static uint8_t data[COMMAND_DATA];
    DulvexClient c;
    unsigned sent = 0;
    int i;
    DWORD start, avail = 0, err = 0;
    memset(&c, 0, sizeof c);
    if (DulvexConnectEx(&c, name, 10000, DULVEX_CONNECT_PLAIN) != DULVEX_OK)
        return 2;
    c.SendTimeoutMs = 2000;
    /* Petro never answers (nor acknowledges): its frames keep being sent by the link's timer. */
    for (i = 0; i < 3; ++i)
        if (DulvexSendPacket(&c, DULVEX_APP_PETRO, 0x0045, 0, data, 1) > 0)
            ++sent;
    /* 48 answers of 602 bytes: more than the pipe holds, less than the service's queue. */
    memset(data, 0x5A, sizeof data);
    for (i = 0; i < 12; ++i)
        if (DulvexSendPacket(&c, DULVEX_APP_MASTER | DULVEX_APP_MBCA | DULVEX_APP_MAINT | DULVEX_APP_FLEET, 0x0046, 0,
                             data, COMMAND_DATA) > 0)
            ++sent;
    start = GetTickCount();
    while (GetTickCount() - start < watchMs) {
        if (!PeekNamedPipe(c.Pipe, NULL, 0, NULL, &avail, NULL)) {
            err = GetLastError();
            break;
        }
        Sleep(50);
    }
    printf("stall sent=%u dropped=%s error=%lu\n", sent, err != 0 ? "yes" : "no", err);
    DulvexClose(&c);
    return 0;
}

static int Burst(const char* name, uint8_t mask, uint16_t cmd, unsigned n, DWORD watchMs)
{
    static DulvexClient c;
    static DulvexMessage msg;
    if (DulvexConnect(&c, name, 10000) != DULVEX_OK)
        return 2;
    for (unsigned i = 0; i < n; ++i)
        if (DulvexSendPacket(&c, mask, (uint16_t)(cmd + i), 0, NULL, 0) < 0)
            return 3;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= watchMs)
            break;
        int r = DulvexReceive(&c, &msg, watchMs - elapsed);
        if (r == DULVEX_E_UNDELIVERED)
            printf("notice mask=0x%02x cmd=0x%04x reason=%u count=%lu\n", msg.Mask, msg.Cmd, msg.Reason,
                   (unsigned long)msg.Count);
        else if (r >= 0)
            printf("mask=0x%02x cmd=0x%04x len=%u\n", msg.Mask, msg.Cmd, (unsigned)msg.Len);
        else if (r != DULVEX_E_TIMEOUT)
            printf("error %d\n", r);
        else
            break;
    }
    fflush(stdout);
    DulvexClose(&c);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 7 && strcmp(argv[1], "burst") == 0)
        return Burst(argv[2], (uint8_t)strtoul(argv[3], NULL, 0), (uint16_t)strtoul(argv[4], NULL, 0),
                     (unsigned)strtoul(argv[5], NULL, 0), (DWORD)strtoul(argv[6], NULL, 10));
    if (argc == 3 && strcmp(argv[1], "squat") == 0)
        return Squat(argv[2]);
    if (argc == 4 && strcmp(argv[1], "stall") == 0)
        return Stall(argv[2], (DWORD)strtoul(argv[3], NULL, 10));
    fprintf(stderr, "usage: pipe_peer squat NAME | pipe_peer stall NAME MS | pipe_peer burst NAME MASK CMD N MS\n");
    return 64;
}
