/* dulvex-client ping: round trips to each application, one round at a time.
 *
 * Every command carries a tag as its data: the application's bit, then the round number (32 bits,
 * big-endian). An application that answers with the request's data (ECHO does, by the protocol)
 * names the round it answers, so an answer that comes after its round timed out is counted late
 * and never taken for a later round's. An answer without the tag cannot be matched that way:
 * after an application answered so once, each round of it that times out is followed by a wait of
 * the whole time-out, and what comes in that wait is counted late. */
#include <stdio.h>
#include <string.h>

#include "client_out.h"
#include "client_ping.h"

#define TAG_LEN 5
#define ECHO_CMD 0x0000u

typedef struct Round {
    uint8_t Bit;          /* the application's mask bit */
    uint32_t Number;      /* 1 for the first round */
    LARGE_INTEGER Start;
} Round;

/* What the pinged applications are known to do with the request's data. */
typedef struct Known {
    int Echoes[APP_COUNT];   /* answers carry the tag */
    int Plain[APP_COUNT];    /* answers came without it */
} Known;

static LARGE_INTEGER Frequency;

static double MsSince(const LARGE_INTEGER* start)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - start->QuadPart) * 1000.0 / (double)Frequency.QuadPart;
}

static uint32_t MsLeft(const LARGE_INTEGER* start, uint32_t timeoutMs)
{
    double spent = MsSince(start);
    return spent >= (double)timeoutMs ? 0 : (uint32_t)((double)timeoutMs - spent) + 1;
}

static int AppIndex(uint8_t mask)
{
    for (int i = 0; i < APP_COUNT; ++i)
        if (mask == (1u << i))
            return i;
    return -1;
}

static void Record(PingStats* s, double ms)
{
    if (s->Answered == 0 || ms < s->MinMs)
        s->MinMs = ms;
    if (s->Answered == 0 || ms > s->MaxMs)
        s->MaxMs = ms;
    s->SumMs += ms;
    s->Answered++;
}

enum Verdict { OTHER, ANSWER, LATE };

/* Sorts an application's message while round r waits: its answer, a late answer to an earlier
 * round (of this application or one pinged before), or something else. */
static int Judge(const DulvexMessage* msg, uint16_t cmd, const Round* r, Known* k, PingStats stats[APP_COUNT])
{
    int app = AppIndex(msg->Mask);
    if (app < 0 || msg->Cmd != (cmd | DULVEX_CMD_RESPONSE) || stats[app].Sent == 0)
        return OTHER;
    if (msg->Len == TAG_LEN && msg->Data[0] == msg->Mask) {
        uint32_t number = (uint32_t)msg->Data[1] << 24 | (uint32_t)msg->Data[2] << 16 |
                          (uint32_t)msg->Data[3] << 8 | msg->Data[4];
        k->Echoes[app] = 1;
        if (msg->Mask == r->Bit && number == r->Number)
            return ANSWER;
        if (number >= 1 && number <= stats[app].Sent)
            return LATE;
        return OTHER;
    }
    /* An application known to return the data did not send this one for us. */
    if (k->Echoes[app])
        return OTHER;
    k->Plain[app] = 1;
    return msg->Mask == r->Bit ? ANSWER : LATE;
}

/* Waits out ms after a lost round of an application that answers without the tag. */
static int WaitOut(DulvexClient* client, uint16_t cmd, const Round* r, uint32_t ms, Known* k,
                   PingStats stats[APP_COUNT])
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (;;) {
        DulvexMessage msg;
        int got = DulvexReceive(client, &msg, MsLeft(&start, ms));
        if (got == DULVEX_E_TIMEOUT)
            return DULVEX_OK;
        if (got == DULVEX_E_UNDELIVERED)
            continue;
        if (got < 0)
            return got;
        if (Judge(&msg, cmd, r, k, stats) != OTHER)
            stats[AppIndex(msg.Mask)].Late++;
    }
}

/* One round: the command out, then messages until its answer, a notice that it will not be
 * delivered, or the time-out. */
static int RunRound(DulvexClient* client, uint16_t cmd, Round* r, uint32_t timeoutMs, Known* k,
                    PingStats stats[APP_COUNT])
{
    int app = AppIndex(r->Bit);
    uint8_t tag[TAG_LEN] = {r->Bit, (uint8_t)(r->Number >> 24), (uint8_t)(r->Number >> 16),
                            (uint8_t)(r->Number >> 8), (uint8_t)r->Number};
    QueryPerformanceCounter(&r->Start);
    int sent = DulvexSendPacket(client, r->Bit, cmd, 0, tag, sizeof tag);
    if (sent < 0)
        return sent;
    stats[app].Sent++;
    for (;;) {
        DulvexMessage msg;
        int got = DulvexReceive(client, &msg, MsLeft(&r->Start, timeoutMs));
        if (got == DULVEX_E_UNDELIVERED) {
            if (msg.Mask == r->Bit && msg.Cmd == cmd) {
                stats[app].Lost++;
                return DULVEX_OK;
            }
            continue;
        }
        if (got == DULVEX_E_TIMEOUT) {
            stats[app].Lost++;
            return k->Plain[app] ? WaitOut(client, cmd, r, timeoutMs, k, stats) : DULVEX_OK;
        }
        if (got < 0)
            return got;
        int verdict = Judge(&msg, cmd, r, k, stats);
        if (verdict == ANSWER) {
            Record(&stats[app], MsSince(&r->Start));
            return DULVEX_OK;
        }
        if (verdict == LATE)
            stats[AppIndex(msg.Mask)].Late++;
    }
}

int Ping(DulvexClient* client, uint8_t mask, unsigned long count, uint16_t cmd, uint32_t timeoutMs,
         PingStats stats[APP_COUNT])
{
    static Known known;
    memset(&known, 0, sizeof known);
    QueryPerformanceFrequency(&Frequency);
    for (int i = 0; i < APP_COUNT; ++i) {
        memset(&stats[i], 0, sizeof stats[i]);
        stats[i].Mask = (uint8_t)(1u << i);
        stats[i].Cmd = cmd;
        /* ECHO returns the request's data unchanged. */
        known.Echoes[i] = cmd == ECHO_CMD;
    }
    for (int i = 0; i < APP_COUNT; ++i) {
        if (!(mask & (1u << i)))
            continue;
        for (unsigned long n = 1; n <= count; ++n) {
            Round r = {(uint8_t)(1u << i), (uint32_t)n, {{0, 0}}};
            int rc = RunRound(client, cmd, &r, timeoutMs, &known, stats);
            if (rc < 0) {
                char name[64];
                AppNames(name, sizeof name, r.Bit);
                fprintf(stderr, "dulvex-client: ping %s round %lu: %s (system error %lu)\n", name, n,
                        DulvexResultText(rc), client->LastError);
                return ExitFor(rc);
            }
        }
    }
    int lost = 0;
    for (int i = 0; i < APP_COUNT; ++i) {
        if (mask & (1u << i)) {
            OutPing(&stats[i]);
            lost |= stats[i].Lost > 0;
        }
    }
    return lost ? EXIT_TIMEOUT : EXIT_OK;
}
