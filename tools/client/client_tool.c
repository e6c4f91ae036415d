/* dulvex-client: talks to the Dulvex service's pipe from the command line. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client_out.h"
#include "client_ping.h"

#define DEFAULT_CONNECT_MS 5000u
#define DEFAULT_WAIT_MS 5000u
#define DEFAULT_PING_COUNT 5u
#define DEFAULT_PING_MS 4000u

static const char Usage[] =
    "usage: dulvex-client [--pipe NAME] [--connect-timeout MS] [--announce] [--json] COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  send --mask M --cmd C [--status S] [--data HEX] [--wait N] [--timeout MS]\n"
    "        send one packet to the applications in mask M (bits: 0x01 Master, 0x02 MBCA,\n"
    "        0x04 Maint, 0x08 Fleet, 0x10 Petro); a status travels only with a response\n"
    "        command (bit 0x8000). With --wait, print the next N messages (default time-out\n"
    "        5000 ms for all of them).\n"
    "  listen [--count N] [--timeout MS]\n"
    "        print messages as they arrive, N of them (default: until the service closes),\n"
    "        waiting at most MS in all (default: for ever).\n"
    "  capture [--stamp SEC[.MSEC]] TEXT\n"
    "        send TEXT to the service's capture log, stamped now or with the given time.\n"
    "  status [--timeout MS]\n"
    "        print the link health of each application, one line each (after any message\n"
    "        that arrived meanwhile, printed as listen prints it).\n"
    "  ping [--mask M] [--count N] [--cmd C] [--timeout MS]\n"
    "        send command C (default 0x0000, ECHO, which the terminal answers with the same\n"
    "        data) N times (default 5) to each application in M (default 0x1F, all five), one\n"
    "        round at a time, waiting at most MS per round (default 4000); print per\n"
    "        application the rounds sent, answered, lost and answered late, and the round\n"
    "        trip's min, mean and max in ms. Answers are matched to their round by the data.\n"
    "  monitor [--count N] [--timeout MS]\n"
    "        print every message as it arrives with the local time, its UTC offset and the\n"
    "        application's name; with --announce also the welcome and the notices. Sends\n"
    "        nothing. N and MS as for listen.\n"
    "\n"
    "The service serves one client at a time: close the point-of-sale program before ping or\n"
    "monitor.\n"
    "\n"
    "--announce: announce this client to the service, which then hands over the answers it\n"
    "held while no client was connected and tells of commands it could not deliver:\n"
    "  notice mask=0x10 cmd=0x0045 reason=2 count=1 (not acknowledged after the retries)\n"
    "Only listen, monitor and send --wait N take it (the others would take the held answers\n"
    "without showing them). A notice counts as one message for --wait and --count; the held\n"
    "answers and the notices of held answers dropped are printed in addition to N.\n"
    "status and ping never announce.\n"
    "\n"
    "Numbers are decimal or 0x-prefixed hex; HEX data is pairs of hex digits (\"4142\").\n"
    "The pipe defaults to \\\\.\\pipe\\varnok\\Dulvex; connecting waits 5000 ms by default.\n"
    "\n"
    "Each message received is printed on one line:\n"
    "  mask=0x01 cmd=0x8000 status=0x0007 len=2 data=4142\n"
    "status=- when the command carries no status; data= is empty when len is 0.\n"
    "\n"
    "A status line: app=0x10 state=not-answering since-ms=1200 sent=3 received=0\n"
    "  retransmitted=9 given-up=3 queue=0 last-heard-ms=never\n"
    "A ping line: app=0x01 name=Master cmd=0x0000 sent=5 answered=5 lost=0 late=0\n"
    "  min-ms=1.204 mean-ms=1.730 max-ms=2.915 (- when nothing was answered)\n"
    "A monitor line: 2026-12-09 07:01:02.345 +01:00 Master mask=0x01 cmd=0x8000 ...\n"
    "\n"
    "--json: one JSON object per line instead, with \"type\" message, notice, status, ping,\n"
    "welcome or control (keys in docs/field-kit.md); errors stay on stderr as text.\n"
    "\n"
    "Exit codes: 0 done; 1 usage error; 2 could not connect; 3 timed out before the\n"
    "messages asked for (ping: a round was lost); 4 connection lost or I/O failure;\n"
    "5 malformed message.\n";

static int UsageError(const char* what, const char* arg)
{
    fprintf(stderr, "dulvex-client: %s%s%s\n(see dulvex-client --help)\n", what, arg ? ": " : "", arg ? arg : "");
    return EXIT_USAGE;
}

/* Decimal or 0x-hex, the whole text, at most max. */
static int ParseNumber(const char* text, unsigned long max, unsigned long* value)
{
    if (text == NULL || *text == '\0' || *text == '-' || *text == '+')
        return 0;
    char* end = NULL;
    unsigned long v = strtoul(text, &end, 0);
    if (*end != '\0' || v > max)
        return 0;
    *value = v;
    return 1;
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Pairs of hex digits into out; returns the byte count, or -1. */
static int ParseHex(const char* text, uint8_t* out, size_t outSize)
{
    size_t n = 0;
    while (*text != '\0') {
        int hi = HexDigit(text[0]);
        int lo = hi < 0 ? -1 : HexDigit(text[1]);
        if (lo < 0 || n == outSize)
            return -1;
        out[n++] = (uint8_t)(hi << 4 | lo);
        text += 2;
    }
    return (int)n;
}

static int Report(const char* what, const DulvexClient* client, int result)
{
    fprintf(stderr, "dulvex-client: %s: %s (system error %lu)\n", what, DulvexResultText(result), client->LastError);
    return ExitFor(result);
}

/* Prints count messages (0: until the connection ends) within timeoutMs in all. A monitor
 * (stamped) also shows the welcome and control messages this library does not know. What the
 * service hands over at the welcome (the notices of held answers dropped, the held answers) is
 * printed beyond count: the service gives it once, so a client that took it and did not show it
 * would lose it. */
static int PrintMessages(DulvexClient* client, unsigned long count, uint32_t timeoutMs, int stamped)
{
    DWORD start = GetTickCount();
    int welcomed = client->Welcomed;
    uint32_t handedOver = 0; /* held answers printed */
    unsigned long got = 0;
    while (count == 0 || got < count || (client->Welcomed && handedOver < client->HeldAtWelcome)) {
        uint32_t left = DULVEX_INFINITE;
        if (timeoutMs != DULVEX_INFINITE) {
            DWORD elapsed = GetTickCount() - start;
            left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        }
        DulvexMessage msg;
        msg.Mask = 0;
        int r = DulvexReceive(client, &msg, left);
        if (stamped && client->Welcomed && !welcomed) {
            welcomed = 1;
            OutWelcome(client->HeldAtWelcome);
        }
        if (r == DULVEX_E_UNDELIVERED) {
            OutNotice(&msg, stamped);
            if (msg.Reason != DULVEX_HELD_DROPPED_AGE && msg.Reason != DULVEX_HELD_DROPPED_COUNT)
                ++got;
            continue;
        }
        if (stamped && r == DULVEX_E_PROTOCOL && msg.Mask == DULVEX_CONTROL) {
            OutControl(&msg);
            ++got;
            continue;
        }
        if (r < 0) {
            if (count == 0 && r == DULVEX_E_DISCONNECTED)
                return EXIT_OK;
            fprintf(stderr, "dulvex-client: receive after %lu message(s): %s (system error %lu)\n", got,
                    DulvexResultText(r), client->LastError);
            return ExitFor(r);
        }
        OutMessage(&msg, stamped);
        /* The held answers come first after the welcome. */
        if (client->Welcomed && handedOver < client->HeldAtWelcome)
            ++handedOver;
        else
            ++got;
    }
    return EXIT_OK;
}

/* Messages that came while the health answer was awaited are printed as listen prints them:
 * read on the user's behalf, they are not to be lost. */
static void PrintKept(DulvexClient* client)
{
    while (client->StashCount > 0) {
        DulvexMessage msg;
        int r = DulvexReceive(client, &msg, 0);
        if (r == DULVEX_E_UNDELIVERED)
            OutNotice(&msg, 0);
        else if (r >= 0)
            OutMessage(&msg, 0);
    }
}

static int PrintStatus(DulvexClient* client, uint32_t timeoutMs)
{
    static DulvexHealth health;
    DWORD start = GetTickCount();
    int r;
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        r = DulvexLinkHealth(client, &health, elapsed >= timeoutMs ? 0 : timeoutMs - elapsed);
        PrintKept(client);
        if (r != DULVEX_E_BUSY)
            break;
        if (GetTickCount() - start >= timeoutMs) {
            r = DULVEX_E_TIMEOUT;
            break;
        }
    }
    if (r < 0)
        return Report("status", client, r);
    for (int i = 0; i < health.Count; ++i)
        OutHealth(&health.Apps[i]);
    return EXIT_OK;
}

typedef struct Options {
    const char* Pipe;
    uint32_t ConnectMs;
    const char* Command;
    unsigned long Mask, Cmd, Status, Wait, Count, TimeoutMs, StampSec, StampMsec;
    int HaveMask, HaveCmd, HaveStatus, HaveTimeout, HaveStamp, HaveCount, Announce, Json;
    uint8_t Data[DULVEX_MAX_SEND];
    int DataLen;
    const char* Text;
} Options;

static int ParseStamp(const char* text, Options* o)
{
    char sec[16];
    const char* dot = strchr(text, '.');
    size_t len = dot ? (size_t)(dot - text) : strlen(text);
    if (len == 0 || len >= sizeof sec)
        return 0;
    memcpy(sec, text, len);
    sec[len] = '\0';
    o->StampMsec = 0;
    if (!ParseNumber(sec, 0xFFFFFFFFul, &o->StampSec) || (dot && !ParseNumber(dot + 1, 999, &o->StampMsec)))
        return 0;
    return 1;
}

static int ParseArgs(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : NULL;
        unsigned long n;
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(Usage, stdout);
            exit(EXIT_OK);
        }
        if (strcmp(a, "--announce") == 0) {
            o->Announce = 1;
            continue;
        }
        if (strcmp(a, "--json") == 0) {
            o->Json = 1;
            continue;
        }
        if (a[0] != '-' || a[1] != '-') {
            if (o->Command == NULL)
                o->Command = a;
            else if (strcmp(o->Command, "capture") == 0 && o->Text == NULL)
                o->Text = a;
            else
                return UsageError("unexpected argument", a);
            continue;
        }
        if (v == NULL)
            return UsageError("option needs a value", a);
        ++i;
        if (strcmp(a, "--pipe") == 0) {
            o->Pipe = v;
        } else if (strcmp(a, "--connect-timeout") == 0 && ParseNumber(v, 0xFFFFFFFEul, &n)) {
            o->ConnectMs = (uint32_t)n;
        } else if (strcmp(a, "--mask") == 0 && ParseNumber(v, 0xFF, &o->Mask)) {
            o->HaveMask = 1;
        } else if (strcmp(a, "--cmd") == 0 && ParseNumber(v, 0xFFFF, &o->Cmd)) {
            o->HaveCmd = 1;
        } else if (strcmp(a, "--status") == 0 && ParseNumber(v, 0xFFFF, &o->Status)) {
            o->HaveStatus = 1;
        } else if (strcmp(a, "--data") == 0) {
            o->DataLen = ParseHex(v, o->Data, sizeof o->Data);
            if (o->DataLen < 0)
                return UsageError("--data wants pairs of hex digits, at most 600 bytes", v);
        } else if (strcmp(a, "--wait") == 0 && ParseNumber(v, 1000000, &o->Wait)) {
        } else if (strcmp(a, "--count") == 0 && ParseNumber(v, 1000000000, &o->Count)) {
            o->HaveCount = 1;
        } else if (strcmp(a, "--timeout") == 0 && ParseNumber(v, 0xFFFFFFFEul, &o->TimeoutMs)) {
            o->HaveTimeout = 1;
        } else if (strcmp(a, "--stamp") == 0 && ParseStamp(v, o)) {
            o->HaveStamp = 1;
        } else {
            return UsageError("unknown option or bad value", a);
        }
    }
    if (o->Command == NULL)
        return UsageError("no command (send, listen, capture, status, ping or monitor)", NULL);
    if (strcmp(o->Command, "send") == 0) {
        if (!o->HaveMask || !o->HaveCmd)
            return UsageError("send needs --mask and --cmd", NULL);
        if (o->Mask == 0)
            return UsageError("--mask 0 is the capture record; use the capture command", NULL);
        if (o->HaveStatus && !(o->Cmd & DULVEX_CMD_RESPONSE))
            return UsageError("--status travels only with a response command (bit 0x8000)", NULL);
        size_t header = (o->Cmd & DULVEX_CMD_RESPONSE) ? 5 : 3;
        if ((size_t)o->DataLen + header > DULVEX_MAX_SEND)
            return UsageError("packet longer than the service accepts (600 bytes with its header)", NULL);
    } else if (strcmp(o->Command, "capture") == 0) {
        if (o->Text == NULL)
            return UsageError("capture needs a TEXT", NULL);
        if (strlen(o->Text) > DULVEX_MAX_CAPTURE_TEXT)
            return UsageError("capture text longer than 589 bytes", NULL);
    } else if (strcmp(o->Command, "ping") == 0) {
        if (o->HaveMask && (o->Mask == 0 || o->Mask > DULVEX_APP_ALL))
            return UsageError("ping --mask takes application bits only (0x01 to 0x1F)", NULL);
        if (o->HaveCmd && (o->Cmd & DULVEX_CMD_RESPONSE))
            return UsageError("ping --cmd takes a request (without bit 0x8000)", NULL);
        if (o->HaveCount && o->Count == 0)
            return UsageError("ping --count must be at least 1", NULL);
        if (o->HaveTimeout && o->TimeoutMs == 0)
            return UsageError("ping --timeout must be at least 1", NULL);
    } else if (strcmp(o->Command, "listen") != 0 && strcmp(o->Command, "status") != 0 &&
               strcmp(o->Command, "monitor") != 0) {
        return UsageError("unknown command", o->Command);
    }
    /* An announced client is handed the held answers and the notices: only a command that
     * prints what it receives may take them. */
    int prints = strcmp(o->Command, "listen") == 0 || strcmp(o->Command, "monitor") == 0 ||
                 (strcmp(o->Command, "send") == 0 && o->Wait > 0);
    if (o->Announce && !prints)
        return UsageError("--announce takes the service's held answers and notices; only listen, monitor and "
                          "send --wait N print them",
                          o->Command);
    return EXIT_OK;
}

int main(int argc, char** argv)
{
    /* Lines end in LF alone, the same for every reader of the output. */
    _setmode(_fileno(stdout), _O_BINARY);
    static Options o;
    o.ConnectMs = DEFAULT_CONNECT_MS;
    int rc = ParseArgs(argc, argv, &o);
    if (rc != EXIT_OK)
        return rc;
    OutSetJson(o.Json);

    static DulvexClient client;
    int r = DulvexConnectEx(&client, o.Pipe, o.ConnectMs, o.Announce ? 0 : DULVEX_CONNECT_PLAIN);
    if (r < 0) {
        Report("connect", &client, r);
        return EXIT_CONNECT;
    }
    rc = EXIT_OK;
    if (strcmp(o.Command, "send") == 0) {
        r = DulvexSendPacket(&client, (uint8_t)o.Mask, (uint16_t)o.Cmd, (uint16_t)o.Status, o.Data, (size_t)o.DataLen);
        if (r < 0)
            rc = Report("send", &client, r);
        else if (o.Wait > 0)
            rc = PrintMessages(&client, o.Wait, o.HaveTimeout ? (uint32_t)o.TimeoutMs : DEFAULT_WAIT_MS, 0);
    } else if (strcmp(o.Command, "capture") == 0) {
        r = o.HaveStamp ? DulvexSendCapture(&client, (uint32_t)o.StampSec, (uint32_t)o.StampMsec, o.Text)
                        : DulvexSendCaptureNow(&client, o.Text);
        if (r < 0)
            rc = Report("capture", &client, r);
    } else if (strcmp(o.Command, "status") == 0) {
        rc = PrintStatus(&client, o.HaveTimeout ? (uint32_t)o.TimeoutMs : DEFAULT_WAIT_MS);
    } else if (strcmp(o.Command, "ping") == 0) {
        static PingStats stats[APP_COUNT];
        rc = Ping(&client, o.HaveMask ? (uint8_t)o.Mask : DULVEX_APP_ALL, o.HaveCount ? o.Count : DEFAULT_PING_COUNT,
                  (uint16_t)o.Cmd, o.HaveTimeout ? (uint32_t)o.TimeoutMs : DEFAULT_PING_MS, stats);
    } else {
        int monitor = strcmp(o.Command, "monitor") == 0;
        rc = PrintMessages(&client, o.Count, o.HaveTimeout ? (uint32_t)o.TimeoutMs : DULVEX_INFINITE, monitor);
    }
    DulvexClose(&client);
    return rc;
}
