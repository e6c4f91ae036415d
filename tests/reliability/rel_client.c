/* Pipe client of the reliability suite: numbered packets both ways, connect cycles, raw writes
 * of any size, a client that never reads, a flooding client, and the well-behaved check that
 * follows each abuse. Every mode prints "key=value" lines that the scripts read.
 *
 * Numbered packets: command 0x0200, data = big-endian running number, total, check word, then a
 * pattern (the layout termsim uses). termsim answers each with command 0x8200 and the same data,
 * which is what paces the sender: at most WINDOW unanswered packets per application, so the
 * service's per-link queue never overflows because of us. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "dulvex_client.h"

#define APPS 5
#define SOAK_CMD 0x0200u
#define SOAK_MIN_LEN 12u
#define MAX_WINDOW 8
/* A frame the link gives up has been sent four times 750 ms apart (3 s), and it may wait behind
 * the other frames of the window in the service's queue, then the answer takes the same way
 * back: after this long without an answer the packet counts as unanswered and its window place
 * is freed, with the service's queue (9 frames) still far from full. */
#define EXPIRE_MS 15000u

static const char* const AppNames[APPS] = {"Master", "MBCA", "Maint", "Fleet", "Petro"};

static void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static uint32_t GetBe32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

static uint32_t CheckWord(uint32_t num, uint32_t total) { return ~(num * 2654435761u + total); }

static uint8_t PatternByte(uint32_t num, uint32_t i) { return (uint8_t)(num * 31u + i * 7u); }

static uint32_t SoakFill(uint8_t* data, uint32_t num, uint32_t total, uint32_t len)
{
    uint32_t i;
    if (len < SOAK_MIN_LEN)
        len = SOAK_MIN_LEN;
    if (len > DULVEX_MAX_DATA)
        len = DULVEX_MAX_DATA;
    PutBe32(data, num);
    PutBe32(data + 4, total);
    PutBe32(data + 8, CheckWord(num, total));
    for (i = SOAK_MIN_LEN; i < len; ++i)
        data[i] = PatternByte(num, i);
    return len;
}

/* 1 and the number and total for an intact numbered packet, -1 for a damaged one. */
static int SoakCheck(const DulvexMessage* m, uint32_t* num, uint32_t* total)
{
    uint32_t i, n, t;
    if (m->Len < SOAK_MIN_LEN || m->Len > DULVEX_MAX_DATA)
        return -1;
    n = GetBe32(m->Data);
    t = GetBe32(m->Data + 4);
    if (GetBe32(m->Data + 8) != CheckWord(n, t))
        return -1;
    for (i = SOAK_MIN_LEN; i < m->Len; ++i)
        if (m->Data[i] != PatternByte(n, i))
            return -1;
    *num = n;
    *total = t;
    return 1;
}

static int AppOfMask(uint8_t mask)
{
    int i;
    for (i = 0; i < APPS; ++i)
        if (mask == (1u << i))
            return i;
    return -1;
}

static int Connect(DulvexClient* c, uint32_t timeoutMs)
{
    int r;
    memset(c, 0, sizeof *c);
    /* The suite measures the bytes today's clients see: no announcement, no held answers. */
    r = DulvexConnectEx(c, NULL, timeoutMs, DULVEX_CONNECT_PLAIN);
    if (r != DULVEX_OK)
        printf("connect_error=%d (%s) system=%lu\n", r, DulvexResultText(r), (unsigned long)c->LastError);
    return r;
}

/* ---- soak: numbered packets out to the applications in a mask, and in from termsim */

typedef struct Outstanding {
    uint32_t Num;
    DWORD SentAt;
    int Used;
} Outstanding;

typedef struct AppSoak {
    uint32_t NextSend;
    uint32_t Answered;
    uint32_t Unanswered;
    uint32_t LateAnswers;
    Outstanding Window[MAX_WINDOW];
    /* incoming stream from termsim */
    uint32_t InNext, InTotal, InOk, InMissing, InRepeats, InDamaged;
} AppSoak;

static int WindowUsed(const AppSoak* a, int window)
{
    int i, n = 0;
    for (i = 0; i < window; ++i)
        n += a->Window[i].Used;
    return n;
}

static int RunSoak(uint32_t count, uint8_t mask, int window, uint32_t size, uint32_t expectIn, uint32_t idleMs,
                   uint32_t delayMs)
{
    static AppSoak apps[APPS];
    static DulvexMessage m;
    static uint8_t data[DULVEX_MAX_DATA];
    DulvexClient c;
    DWORD lastIn, start = GetTickCount();
    uint32_t messages = 0, others = 0;
    int i, j;

    if (window < 1 || window > MAX_WINDOW)
        window = 4;
    memset(apps, 0, sizeof apps);
    if (Connect(&c, 10000) != DULVEX_OK)
        return 2;
    lastIn = GetTickCount();
    for (;;) {
        DWORD now = GetTickCount();
        int busy = 0, r;
        for (i = 0; i < APPS; ++i) {
            AppSoak* a = &apps[i];
            if (!(mask & (1u << i)))
                continue;
            for (j = 0; j < window; ++j) {
                if (a->Window[j].Used && now - a->Window[j].SentAt > EXPIRE_MS) {
                    a->Window[j].Used = 0;
                    ++a->Unanswered;
                }
            }
            while (now - start >= delayMs && a->NextSend < count && WindowUsed(a, window) < window) {
                uint32_t len = SoakFill(data, a->NextSend, count, size);
                r = DulvexSendPacket(&c, (uint8_t)(1u << i), SOAK_CMD, 0, data, len);
                if (r < 0) {
                    printf("send_error=%d (%s) app=%s num=%u\n", r, DulvexResultText(r), AppNames[i], a->NextSend);
                    DulvexClose(&c);
                    return 1;
                }
                for (j = 0; j < window && a->Window[j].Used; ++j)
                    ;
                a->Window[j].Used = 1;
                a->Window[j].Num = a->NextSend;
                a->Window[j].SentAt = now;
                ++a->NextSend;
            }
            if (a->NextSend < count || WindowUsed(a, window) > 0)
                busy = 1;
            if (expectIn && a->InNext < expectIn)
                busy = 1;
        }
        if (!busy)
            break;
        if (expectIn && GetTickCount() - lastIn > idleMs && GetTickCount() - start > delayMs) {
            /* termsim has nothing more for us: the rest of its numbers are missing */
            int waiting = 0;
            for (i = 0; i < APPS; ++i)
                if ((mask & (1u << i)) && WindowUsed(&apps[i], window) > 0)
                    waiting = 1;
            if (!waiting)
                break;
        }
        r = DulvexReceive(&c, &m, 50);
        if (r == DULVEX_E_TIMEOUT)
            continue;
        if (r < 0) {
            printf("receive_error=%d (%s)\n", r, DulvexResultText(r));
            DulvexClose(&c);
            return 1;
        }
        ++messages;
        i = AppOfMask(m.Mask);
        if (i < 0) {
            ++others;
            continue;
        }
        {
            AppSoak* a = &apps[i];
            uint32_t num = 0, total = 0;
            int ok = SoakCheck(&m, &num, &total);
            if (m.Cmd == (SOAK_CMD | DULVEX_CMD_RESPONSE)) {
                int found = 0;
                if (ok > 0)
                    for (j = 0; j < window; ++j)
                        if (a->Window[j].Used && a->Window[j].Num == num) {
                            a->Window[j].Used = 0;
                            ++a->Answered;
                            found = 1;
                        }
                if (!found)
                    ++a->LateAnswers;
            } else if (m.Cmd == SOAK_CMD) {
                lastIn = GetTickCount();
                if (ok < 0) {
                    ++a->InDamaged;
                } else if (num < a->InNext) {
                    ++a->InRepeats;
                } else {
                    uint32_t k;
                    for (k = a->InNext; k < num; ++k)
                        printf("missing app=%s num=%u\n", AppNames[i], k);
                    a->InMissing += num - a->InNext;
                    a->InNext = num + 1;
                    a->InTotal = total;
                    ++a->InOk;
                }
            } else {
                ++others;
            }
        }
    }
    for (i = 0; i < APPS; ++i) {
        AppSoak* a = &apps[i];
        uint32_t k;
        if (expectIn && a->InNext < expectIn) {
            for (k = a->InNext; k < expectIn; ++k)
                printf("missing app=%s num=%u\n", AppNames[i], k);
            a->InMissing += expectIn - a->InNext;
        }
        if (!(mask & (1u << i)) && !expectIn)
            continue;
        printf("app=%s sent=%u answered=%u unanswered=%u late_answers=%u in_ok=%u in_missing=%u in_repeats=%u "
               "in_damaged=%u\n",
               AppNames[i], a->NextSend, a->Answered, a->Unanswered, a->LateAnswers, a->InOk, a->InMissing,
               a->InRepeats, a->InDamaged);
    }
    printf("total messages=%u others=%u seconds=%.1f\n", messages, others, (GetTickCount() - start) / 1000.0);
    DulvexClose(&c);
    return 0;
}

/* ---- abuse */

static int RunCycles(uint32_t count, uint32_t every)
{
    uint32_t i, ok = 0, failed = 0, sent = 0;
    int lastError = 0;
    DWORD start = GetTickCount();
    DulvexClient c;
    for (i = 0; i < count; ++i) {
        int r;
        memset(&c, 0, sizeof c);
        r = DulvexConnectEx(&c, NULL, 10000, DULVEX_CONNECT_PLAIN);
        if (r != DULVEX_OK) {
            ++failed;
            lastError = r;
            continue;
        }
        ++ok;
        /* some cycles leave right after a write, with the answer still on its way */
        if (every && i % every == 0) {
            uint8_t d = (uint8_t)i;
            if (DulvexSendPacket(&c, DULVEX_APP_MASTER, 0x0042, 0, &d, 1) > 0)
                ++sent;
        }
        DulvexClose(&c);
    }
    printf("cycles=%u connected=%u failed=%u sent=%u last_error=%d seconds=%.1f\n", count, ok, failed, sent, lastError,
           (GetTickCount() - start) / 1000.0);
    return failed ? 1 : 0;
}

/* Writes one message of size bytes with the pipe functions themselves, then waits up to 2 s for
 * anything back: reports whether the service kept or dropped the connection. */
static int RunRaw(uint32_t size)
{
    static uint8_t buf[4096];
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD mode = PIPE_READMODE_MESSAGE, written = 0, got = 0, i, t0;
    const char* state = "kept";
    if (size > sizeof buf)
        size = sizeof buf;
    buf[0] = DULVEX_APP_MASTER;
    buf[1] = 0x00;
    buf[2] = 0x42;
    for (i = 3; i < size; ++i)
        buf[i] = (uint8_t)i;
    for (t0 = GetTickCount(); GetTickCount() - t0 < 10000;) {
        h = CreateFileA(DULVEX_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h != INVALID_HANDLE_VALUE)
            break;
        WaitNamedPipeA(DULVEX_PIPE_NAME, 500);
    }
    if (h == INVALID_HANDLE_VALUE) {
        printf("raw size=%u connect_error=%lu\n", size, (unsigned long)GetLastError());
        return 2;
    }
    SetNamedPipeHandleState(h, &mode, NULL, NULL);
    if (!WriteFile(h, buf, size, &written, NULL)) {
        printf("raw size=%u write_error=%lu\n", size, (unsigned long)GetLastError());
        CloseHandle(h);
        return 0;
    }
    /* The answer to a well-formed message would come from Master; anything else means the service
     * dropped the connection or left it open and silent. */
    for (t0 = GetTickCount(); GetTickCount() - t0 < 2000;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(h, NULL, 0, NULL, &avail, NULL)) {
            state = GetLastError() == ERROR_BROKEN_PIPE ? "dropped" : "error";
            break;
        }
        if (avail) {
            ReadFile(h, buf, sizeof buf, &got, NULL);
            state = "answered";
            break;
        }
        Sleep(20);
    }
    printf("raw size=%u written=%lu connection=%s reply_bytes=%lu\n", size, (unsigned long)written, state,
           (unsigned long)got);
    CloseHandle(h);
    return 0;
}

/* Sends count commands to every application and reads nothing, then stays connected for holdMs:
 * the service's writes to this client fill the pipe. */
static int RunNoRead(uint32_t count, uint32_t holdMs)
{
    DulvexClient c;
    uint32_t i, sent = 0;
    int r = 0;
    if (Connect(&c, 10000) != DULVEX_OK)
        return 2;
    c.SendTimeoutMs = 2000;
    for (i = 0; i < count; ++i) {
        uint8_t d[64];
        memset(d, (int)i, sizeof d);
        r = DulvexSendPacket(&c, DULVEX_APP_ALL, 0x0043, 0, d, sizeof d);
        if (r < 0)
            break;
        ++sent;
        Sleep(20);
    }
    Sleep(holdMs);
    printf("noread sent=%u last=%d\n", sent, r < 0 ? r : 0);
    DulvexClose(&c);
    return 0;
}

/* Sends count commands to all five applications as fast as the pipe takes them, reading whatever
 * has arrived in between without waiting. */
static int RunFlood(uint32_t count)
{
    static DulvexMessage m;
    DulvexClient c;
    uint32_t i, sent = 0, received = 0;
    DWORD start = GetTickCount();
    int r = 0;
    if (Connect(&c, 10000) != DULVEX_OK)
        return 2;
    for (i = 0; i < count; ++i) {
        uint8_t d[4];
        PutBe32(d, i);
        r = DulvexSendPacket(&c, DULVEX_APP_ALL, 0x0044, 0, d, sizeof d);
        if (r < 0)
            break;
        ++sent;
        while (DulvexReceive(&c, &m, 0) > 0)
            ++received;
    }
    printf("flood sent=%u received=%u last=%d seconds=%.1f\n", sent, received, r < 0 ? r : 0,
           (GetTickCount() - start) / 1000.0);
    DulvexClose(&c);
    return 0;
}

/* The well-behaved client: one command to all five applications, and each one's response with
 * the same data within timeoutMs; messages left over from earlier clients are skipped. */
static int RunCheck(uint32_t timeoutMs)
{
    static DulvexMessage m;
    DulvexClient c;
    uint8_t d[3] = {0x5A, 0xA5, 0x3C};
    unsigned seen = 0, skipped = 0;
    DWORD t0;
    if (Connect(&c, 15000) != DULVEX_OK) {
        printf("check=fail reason=connect\n");
        return 1;
    }
    if (DulvexSendPacket(&c, DULVEX_APP_ALL, 0x0055, 0, d, sizeof d) < 0) {
        printf("check=fail reason=send\n");
        DulvexClose(&c);
        return 1;
    }
    for (t0 = GetTickCount(); seen != DULVEX_APP_ALL && GetTickCount() - t0 < timeoutMs;) {
        int r = DulvexReceive(&c, &m, 100);
        if (r == DULVEX_E_TIMEOUT)
            continue;
        if (r < 0)
            break;
        if (m.Cmd == 0x8055 && m.HasStatus && m.Status == 0 && m.Len == 3 && memcmp(m.Data, d, 3) == 0 &&
            AppOfMask(m.Mask) >= 0)
            seen |= m.Mask;
        else
            ++skipped;
    }
    DulvexClose(&c);
    printf("check=%s responses_mask=0x%02x skipped=%u\n", seen == DULVEX_APP_ALL ? "ok" : "fail", seen, skipped);
    return seen == DULVEX_APP_ALL ? 0 : 1;
}

static uint32_t Opt(int argc, char** argv, const char* name, uint32_t dflt)
{
    int i;
    for (i = 2; i + 1 < argc; ++i)
        if (strcmp(argv[i], name) == 0)
            return (uint32_t)strtoul(argv[i + 1], NULL, 0);
    return dflt;
}

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (strcmp(mode, "soak") == 0)
        return RunSoak(Opt(argc, argv, "--count", 100), (uint8_t)Opt(argc, argv, "--mask", DULVEX_APP_ALL),
                       (int)Opt(argc, argv, "--window", 4), Opt(argc, argv, "--size", 12),
                       Opt(argc, argv, "--expect-in", 0), Opt(argc, argv, "--idle", 8000), Opt(argc, argv, "--delay", 0));
    if (strcmp(mode, "cycles") == 0)
        return RunCycles(Opt(argc, argv, "--count", 1000), Opt(argc, argv, "--send-every", 0));
    if (strcmp(mode, "raw") == 0)
        return RunRaw(Opt(argc, argv, "--size", 601));
    if (strcmp(mode, "noread") == 0)
        return RunNoRead(Opt(argc, argv, "--count", 200), Opt(argc, argv, "--hold", 5000));
    if (strcmp(mode, "flood") == 0)
        return RunFlood(Opt(argc, argv, "--count", 2000));
    if (strcmp(mode, "check") == 0)
        return RunCheck(Opt(argc, argv, "--timeout", 8000));
    fprintf(stderr,
            "usage: rel_client soak [--count N] [--mask M] [--window W] [--size B] [--expect-in N] [--idle MS]\n                      [--delay MS]\n"
            "       rel_client cycles [--count N] [--send-every K]\n"
            "       rel_client raw [--size BYTES]\n"
            "       rel_client noread [--count N] [--hold MS]\n"
            "       rel_client flood [--count N]\n"
            "       rel_client check [--timeout MS]\n");
    return 64;
}
