// The bridge: one thread, one wait over the stop event, the pipe server and the five links. It
// never waits on anything else: messages to the client are queued and written as the client
// takes them.
#include "bridge.h"

#include <winsock2.h>

#include <cstring>

#include "bridge_args.h"
#include "capture.h"
#include "commlog.h"
#include "pipe_line.h"
#include "config.h"
#include "console_keys.h"
#include "debug.h"
#include "delivery.h"
#include "ident.h"
#include "client_wire.h"
#include "link_socket.h"
#include "link_watch.h"
#include "link_wrap.h"
#include "log_place.h"
#include "metrics.h"
#include "metrics_file.h"
#include "PipeSrv.h"
#include "pipe_accounts.h"
#include "status.h"
#include "terminal.h"
#include "wait_order.h"

namespace {

constexpr char PIPE_NAME[] = "\\\\.\\pipe\\varnok\\Dulvex";
constexpr int32_t PIPE_BUFFER_SIZE = 600;
constexpr uint32_t TIMER_INTERVAL_MS = 100;
constexpr size_t CLIENT_BUFFER_SIZE = 2048;
constexpr int POLL_BURST = 16;  // datagrams read from one link per timer tick, at most
constexpr uint32_t CONSOLE_HOLD_MS = 20;
constexpr uint32_t MS_PER_HOUR = 3600UL * 1000;  // a console's trace lines wait this long at most

struct Bridge {
    Terminal* Terminals[APP_COUNT];
    PipeServer* Server;
    TermPacket Packet;
    uint8_t ClientBuffer[CLIENT_BUFFER_SIZE];
    uint8_t ReplyBuffer[CLIENT_BUFFER_SIZE];
    // Per link: its read event may be lost (see TimerWork), and the link's count of failed
    // receives when the bridge last looked.
    bool Unsignalled[APP_COUNT];
    uint32_t FailuresSeen[APP_COUNT];
    Delivery Delivery;
    // What the event log was told last: per link whether it does not answer, and of the held
    // answers dropped.
    uint8_t LinkDown[APP_COUNT];
    DropWatch HeldDrops;
    // The metrics file: none while Metrics[0] is 0; its folder is held as a log's.
    char Metrics[CONFIG_PATH_SIZE];
    LogPlace MetricsPlace;
    uint32_t MetricsAt;   // loop clock of the last write
    bool MetricsFailed;   // the last write failed (reported once until one succeeds)
    int64_t StartSeconds;
    char MetricsText[METRICS_TEXT_SIZE];
    // When the communication log was turned on (loop clock), and for how long it stays on.
    uint32_t CommLogSince;
    unsigned long CommLogHours;
};

// Frames from the client carry this mark in the link, so that only their loss is reported.
constexpr uint32_t FROM_CLIENT = 1;

// The loop's clock: milliseconds since Windows started, in 32 bits. GetTickCount is in every
// Windows the service is built for (its 64-bit sibling only from Vista on); PeriodLeftMs takes
// care of its wrap after 49.7 days.
uint32_t LoopClockMs() { return GetTickCount(); }

void SendToAll(Bridge* b)
{
    for (int i = 0; i < APP_COUNT; ++i)
        TerminalSend(b->Terminals[i], &b->Packet);
}

void ClientMessage(Bridge* b)
{
    TraceMessage("PipeServer event !!!!!\n");
    int got = GotOverResult(b->Server);
    if (got < 0) {
        LogMessage("PipeServerEvent error !!!!\n");
        return;
    }
    if (got == 0) {
        LogMessage("PipeServerEvent -> 0 !!!\n");
        return;
    }
    int n = PipeSrvRead(b->Server, b->ClientBuffer, sizeof b->ClientBuffer);
    TraceMessage("PipeSrvRead -> %d\n", n);
    if (n <= 0)
        return;

    ClientMsg msg;
    switch (DecodeClientMsg(b->ClientBuffer, static_cast<size_t>(n), &b->Packet, &msg)) {
    case CLIENT_MSG_SHORT:
        TraceMessage("Client message of %d bytes is shorter than its header, dropped\n", n);
        return;
    case CLIENT_MSG_TOO_LONG:
        TraceMessage("Client message of %d bytes carries more than %u data bytes, dropped\n", n,
                     static_cast<unsigned>(MAX_PACKET_DATA));
        return;
    case CLIENT_MSG_CAPTURE:
        CaptureWrite(msg.CaptureLen, msg.Capture);
        return;
    default:
        break;
    }
    TermPacket* pkt = &b->Packet;
    TraceMessage("Got packet: App=%02x, Cmd=%04x,", msg.Mask, static_cast<unsigned>(pkt->Cmd));
    if (HasStatus(pkt->Cmd))
        TraceMessage("Status=%04x, ", pkt->Status);
    TraceMessage("Len=%d\n", static_cast<int>(pkt->Len));
    for (int i = 0; i < APP_COUNT; ++i) {
        if (msg.Mask & AppMaskOf(i)) {
            int s = TerminalSendTagged(b->Terminals[i], pkt, FROM_CLIENT);
            TraceMessage("\tuse app %d -> %d\n", i, s);
            if (s == 0)
                DeliveryRefused(&b->Delivery, b->Server, b->Terminals[i], i, pkt->Cmd);
        }
    }
    if (IsControlMsg(msg.Mask, pkt->Cmd))
        DeliveryControl(&b->Delivery, b->Server, b->Terminals, pkt->Cmd, LoopClockMs());
}

// Returns TerminalRecv's result: negative when nothing could be read.
int TerminalMessage(Bridge* b, int k)
{
    TermPacket* pkt = &b->Packet;
    int r = TerminalRecv(b->Terminals[k], pkt);
    if (r <= 0)
        return r;
    TraceMessage("Term[%d]: Got CMD=%04x,", k, static_cast<unsigned>(pkt->Cmd));
    if (HasStatus(pkt->Cmd))
        TraceMessage(" status=%04x,", pkt->Status);
    TraceMessage(" Len=%d\n", static_cast<int>(pkt->Len));
    if (pkt->Cmd == ECHO) {
        TraceMessage("\tGot ECHO, send ECHO_RESP ....\n");
        // The answer and the copy for the client carry the same, fixed status.
        pkt->Cmd = ECHO_RESP;
        pkt->Status = ECHO_RESP_STATUS;
        TerminalSend(b->Terminals[k], pkt);
    }
    size_t len = EncodeClientMsg(pkt, k, b->ReplyBuffer, sizeof b->ReplyBuffer);
    if (len == 0) {
        // A zero-byte message would read as the end of the conversation to the client.
        TraceMessage("\tpacket of Len=%d cannot be encoded for the client, dropped\n", static_cast<int>(pkt->Len));
        return r;
    }
    int w = DeliveryAnswer(&b->Delivery, b->Server, b->ReplyBuffer, len, LoopClockMs());
    TraceMessage("\tPipeSrvWrite (%d) -> %i\n", static_cast<int>(len), w);
    return r;
}

// A failed receive since the bridge last looked (a port-unreachable report among them) may be
// the start of a lost read event.
void NoteRecvFailures(Bridge* b, int k)
{
    uint32_t failures = b->Terminals[k]->RecvFailures;
    if (failures != b->FailuresSeen[k]) {
        b->FailuresSeen[k] = failures;
        b->Unsignalled[k] = true;
    }
}

void LinkReady(Bridge* b, int k)
{
    b->Unsignalled[k] = false;
    TerminalMessage(b, k);
    NoteRecvFailures(b, k);
}

// Conditions an administrator filters the event log for, looked at once per tick.
void WatchLinks(Bridge* b, uint32_t now)
{
    for (int i = 0; i < APP_COUNT; ++i) {
        const Terminal* t = b->Terminals[i];
        if (unsigned long id = LinkStateEvent(&b->LinkDown[i], t->Health))
            EventMessage(id, "Term[%d] '%s': %s\n", i, t->Name,
                         id == EVENT_APP_ANSWERING ? "answering again" : "not answering: a frame was given up");
    }
    uint32_t dropped = b->Delivery.Held.Dropped;
    if (uint32_t n = HeldDropsToReport(&b->HeldDrops, dropped, now))
        EventMessage(EVENT_HELD_DROPPED, "Delivery: %u held answers dropped for age or count, %u since the start\n",
                     static_cast<unsigned>(n), static_cast<unsigned>(dropped));
}

void WriteMetrics(Bridge* b)
{
    MetricsSample s = {};
    DeliveryHealth(b->Terminals, s.Apps);
    s.Held = b->Delivery.Held.Count;
    s.HeldDropped = b->Delivery.Held.Dropped;
    for (int r = 0; r < METRICS_NOTICE_SLOTS; ++r)
        s.Notices[r] = b->Delivery.Notices[r];
    s.ClientConnected = b->Server->Ready != 0;
    s.StartSeconds = b->StartSeconds;
    s.Version = DULVEX_VERSION;
    size_t n = FormatMetrics(&s, b->MetricsText, sizeof b->MetricsText);
    unsigned long err = n == 0 ? ERROR_INSUFFICIENT_BUFFER : MetricsWriteFile(b->Metrics, b->MetricsText, n);
    if (err != 0 && !b->MetricsFailed)
        EventMessage(EVENT_METRICS_FAILED, "Metrics: %s cannot be written (error %lu)\n", b->Metrics, err);
    else if (err == 0 && b->MetricsFailed)
        TraceMessage("Metrics: %s written again\n", b->Metrics);
    b->MetricsFailed = err != 0;
}

// Every METRICS_INTERVAL_MS on the tick: an idle service writes the file and nothing more.
void MetricsTick(Bridge* b, uint32_t now)
{
    if (b->Metrics[0] == '\0' || PeriodLeftMs(b->MetricsAt, now, METRICS_INTERVAL_MS) != 0)
        return;
    b->MetricsAt = now;
    WriteMetrics(b);
}

// The registry's MetricsFile, when it names a usable place; the file is written at once.
void OpenMetrics(Bridge* b)
{
    b->Metrics[0] = '\0';
    b->MetricsFailed = false;
    struct TimeStamp start;
    TimeStamp(&start);
    b->StartSeconds = start.Seconds;
    char path[CONFIG_PATH_SIZE];
    if (!ReadConfigPath(CONFIG_METRICS_VALUE, path, sizeof path))
        return;
    MetricsPathRule rule = JudgeMetricsPath(path);
    if (rule != METRICS_PATH_USABLE) {
        EventMessage(EVENT_CONFIG_FALLBACK, "Metrics: %s '%s' %s; no metrics file\n", CONFIG_METRICS_VALUE, path,
                     MetricsPathText(rule));
        return;
    }
    // The file and its temporary neighbour are created by LocalSystem: their folder follows the
    // logs' rules, and is held so that it cannot be renamed or replaced while the service runs.
    char dir[LOG_PATH_SIZE];
    char why[LOG_WHY_SIZE];
    if (!LogFolderOf(path, dir, sizeof dir)) {
        EventMessage(EVENT_LOG_REFUSED, "Metrics: %s refused: it names no folder the service can judge; no metrics file\n",
                     path);
        return;
    }
    if (!LogPlaceTake(dir, false, &b->MetricsPlace, nullptr, why, sizeof why)) {
        EventMessage(EVENT_LOG_REFUSED, "Metrics: %s refused: folder %s %s; no metrics file\n", path, dir, why);
        return;
    }
    if (!LogPlaceCheck(path, why, sizeof why)) {
        LogPlaceRelease(&b->MetricsPlace);
        EventMessage(EVENT_LOG_REFUSED, "Metrics: %s refused: %s; no metrics file\n", path, why);
        return;
    }
    memcpy(b->Metrics, path, sizeof path);
    TraceMessage("Metrics: written to %s every %u s\n", b->Metrics, static_cast<unsigned>(METRICS_INTERVAL_MS / 1000));
    b->MetricsAt = LoopClockMs();
    WriteMetrics(b);
}

// A stopped service has no metrics: a collector then serves none rather than stale ones.
void CloseMetrics(Bridge* b)
{
    if (b->Metrics[0] != '\0')
        DeleteFileA(b->Metrics);
    LogPlaceRelease(&b->MetricsPlace);
}

void TimerWork(Bridge* b)
{
    PipeSrvCheck(b->Server);
    for (int i = 0; i < APP_COUNT; ++i) {
        // A link whose first datagrams met a terminal that was not yet listening (an ICMP port
        // unreachable) may never see its read event again under Wine, although datagrams keep
        // arriving. The tick reads a link only while that may be so: from the start (the first
        // echo request goes out before anything is known to listen) and after a failed receive,
        // until its event is seen again; and while a frame awaits its acknowledgement, since a
        // frame sent to a terminal that went away brings the report that starts the fault, and
        // the failed receive that shows it. A healthy idle link is not read at all.
        if (b->Unsignalled[i] || b->Terminals[i]->Pending) {
            for (int n = 0; n < POLL_BURST && TerminalMessage(b, i) >= 0; ++n) {
            }
            NoteRecvFailures(b, i);
        }
        TerminalTime(b->Terminals[i]);
    }
    uint32_t now = LoopClockMs();
    DeliveryTimer(&b->Delivery, b->Server, b->Terminals, now);
    WatchLinks(b, now);
    MetricsTick(b, now);
    if (CommLogOn && PeriodLeftMs(b->CommLogSince, now, b->CommLogHours * MS_PER_HOUR) == 0)
        CommLogExpire(b->CommLogHours);
    CommLogFlush();
}

// Returns false when ESC ends the run.
bool ConsoleKeys(Bridge* b)
{
    for (int key = ConsoleReadKey(); key != 0; key = ConsoleReadKey()) {
        switch (key) {
        case 'A':
        case 'P':
            b->Packet.Cmd = key == 'A' ? ACTIVATE : PASSIVATE;
            b->Packet.Len = 0;
            TraceMessage("Send %s !!!\n", key == 'A' ? "ACTIVATE" : "PASSIVATE");
            SendToAll(b);
            break;
        case 'C':
            TraceMessage("Clearing console ...\n");
            ConsoleClear();
            break;
        case KEY_ESCAPE:
            LogMessage("ESC pressed, ending ....\n");
            return false;
        default:
            break;
        }
    }
    return true;
}

void ServeSlot(Bridge* b, DWORD slot)
{
    if (slot == WAIT_PIPE)
        ClientMessage(b);
    else if (slot == WAIT_PIPE_WRITE)
        PipeSrvWritten(b->Server);
    else if (slot >= FIRST_TERMINAL_SLOT && slot < WAIT_COUNT)
        LinkReady(b, static_cast<int>(slot - FIRST_TERMINAL_SLOT));
}

// Serves until the stop event, ESC or a failed wait; returns the result code.
int Serve(Bridge* b, HANDLE TermEvent)
{
    HANDLE bySlot[WAIT_COUNT];
    bySlot[WAIT_STOP] = TermEvent;
    bySlot[WAIT_PIPE] = PipeSrvGetEvent(b->Server);
    for (int i = 0; i < APP_COUNT; ++i) {
        bySlot[FIRST_TERMINAL_SLOT + i] = TerminalEvent(b->Terminals[i]);
        b->Unsignalled[i] = true;
        b->FailuresSeen[i] = b->Terminals[i]->RecvFailures;
    }
    WaitOrder order = {};
    HANDLE waits[WAIT_COUNT];

    // The pipe check and every retransmission run once 100 ms have passed since they last ran,
    // however busy the other handles keep the loop: a link whose frame was lost must be served
    // even while another application or the client floods the wait (see wait_order.h for the
    // order that keeps the handles fair). In a console, each write of the trace and each look for
    // keys costs a round trip to the console under Wine: the trace lines are held and written
    // together once CONSOLE_HOLD_MS have passed since the first of them (the wait ends then to
    // write them), and the keys are read on the tick.
    bool holding = false;
    uint32_t holdStart = 0;
    uint32_t lastTimer = LoopClockMs();
    for (;;) {
        OrderWaits(&order);
        bySlot[WAIT_PIPE_WRITE] = PipeSrvGetWriteEvent(b->Server);
        for (DWORD i = 0; i < WAIT_COUNT; ++i)
            waits[i] = bySlot[order.Slots[i]];
        uint32_t now = LoopClockMs();
        DWORD timeout = PeriodLeftMs(lastTimer, now, TIMER_INTERVAL_MS);
        uint32_t holdLeft = holding ? PeriodLeftMs(holdStart, now, CONSOLE_HOLD_MS) : UINT32_MAX;
        bool holdEnds = holdLeft < timeout;
        if (holdEnds)
            timeout = holdLeft;
        DWORD r = WaitForMultipleObjects(WAIT_COUNT, waits, FALSE, timeout);
        if (r == WAIT_FAILED) {
            DWORD e = GetLastError();
            TraceHold(false);
            EventMessage(EVENT_SYSTEM_ERROR, "WAIT_FAILED: error %d (%08x)\n", static_cast<int>(e),
                         static_cast<unsigned>(e));
            return BRIDGE_WAIT_FAILED;
        }
        DWORD slot = r < WAIT_OBJECT_0 + WAIT_COUNT ? order.Slots[r - WAIT_OBJECT_0] : WAIT_COUNT;
        if (slot == WAIT_STOP) {
            TraceHold(false);
            LogMessage("Got EVENT to stop ......\n");
            return BRIDGE_DONE;
        }
        if (ConsoleDebug && !holding && slot < WAIT_COUNT) {
            TraceHold(true);
            holding = true;
            holdStart = LoopClockMs();
        }
        if (slot < WAIT_COUNT) {
            ServeSlot(b, slot);
            NoteServed(&order, slot);
        }

        now = LoopClockMs();
        if ((r == WAIT_TIMEOUT && !holdEnds) || PeriodLeftMs(lastTimer, now, TIMER_INTERVAL_MS) == 0) {
            TimerWork(b);
            lastTimer = now;
            if (ConsoleDebug && !ConsoleKeys(b)) {
                TraceHold(false);
                return BRIDGE_DONE;
            }
        }
        if (holding && PeriodLeftMs(holdStart, now, CONSOLE_HOLD_MS) == 0) {
            TraceHold(false);
            holding = false;
        }
    }
}

void PipeMessagePassed(int way, const uint8_t* msg, size_t len)
{
    CommLogPipe(way == PIPE_TAP_FROM_CLIENT ? COMM_FROM_CLIENT : COMM_TO_CLIENT, msg, len);
}

// The command line's file wins over the registry's; neither: the log stays off. Either way it
// stays on for CommLogHours (0 counts as 1).
void OpenCommLog(Bridge* b, unsigned argc, char** argv)
{
    b->CommLogHours = ReadConfigCount(CONFIG_COMMLOG_HOURS_VALUE, COMMLOG_HOURS_DEFAULT, COMMLOG_HOURS_MAX);
    if (b->CommLogHours == 0)
        b->CommLogHours = 1;
    b->CommLogSince = LoopClockMs();
    if (unsigned long kb = ReadConfigCapKB(CONFIG_COMMLOG_CAP_VALUE))
        CommLogSetCap(kb * 1024);
    static char stored[CONFIG_PATH_SIZE];
    const char* name = CommLogNameFromArgs(argc, argv);
    if (name == nullptr && ReadConfigPath(CONFIG_COMMLOG_VALUE, stored, sizeof stored))
        name = stored;
    CommLogOpen(name);
}

}  // namespace

int CreateTerminals(const char* addr, int count, const AppEntry* table, Terminal** terms)
{
    int i = 0;
    for (; i < count && table[i].Port != 0 && table[i].Name != nullptr; ++i) {
        if (TerminalInit(table[i].Name, addr, static_cast<uint16_t>(table[i].Port), &terms[i]) == 0) {
            LogMessage("Error, create terminal !!!\n");
            while (i > 0)
                TerminalClose(terms[--i]);
            return 0;
        }
    }
    return i;
}

int ServiceMain(unsigned argc, char** argv, HANDLE TermEvent)
{
    static Bridge bridge;  // large buffers; one run per process
    Bridge* b = &bridge;
    int result = BRIDGE_NO_CONFIG;

    LogMessage("ServiceMain: argc=%d, argv=%p, TermEvent=%p\n", static_cast<int>(argc), static_cast<void*>(argv),
               TermEvent);
    for (unsigned i = 0; argv != nullptr && i < argc; ++i)
        LogMessage("Argument %d: '%s'\n", static_cast<int>(i), argv[i] ? argv[i] : "");
    LogMessage("GetCommandLine: '%s'\n", GetCommandLineA());

    OpenTraceFromArgs(argc, argv);

    char addr[CONFIG_ADDR_SIZE];
    HANDLE ident = nullptr;
    if (ReadConfigAddr(addr) == 0)
        goto done;
    // The trace file and the capture log take their caps from beside the address.
    if (unsigned long kb = ReadConfigCapKB(CONFIG_TRACE_CAP_VALUE))
        SetTraceCap(kb * 1024);
    if (unsigned long kb = ReadConfigCapKB(CONFIG_CAPTURE_CAP_VALUE))
        CaptureSetCap(kb * 1024);

    DeliveryInit(&b->Delivery, ReadConfigCount(CONFIG_HELD_MAX_VALUE, HELD_MAX_DEFAULT, HELD_MAX_LIMIT),
                 ReadConfigCount(CONFIG_HELD_SECONDS_VALUE, HELD_SECONDS_DEFAULT, HELD_SECONDS_LIMIT));

    result = BRIDGE_NO_SOCKETS;
    LogMessage("Starting with IP-Addr '%s'\n", addr);
    if (LinkStartup() != 0) {
        EventMessage(EVENT_SYSTEM_ERROR, "Error, initialize NerWork :-{\n");
        goto done;
    }

    result = BRIDGE_NO_LINKS;
    if (CreateTerminals(addr, APP_COUNT, AppTable, b->Terminals) == 0) {
        LogMessage("Error, terminals init !!!\n");
        goto sockets;
    }

    result = BRIDGE_NO_PIPE;
    LimitPipeToConfiguredAccounts();
    PipeSrvSetTap(PipeMessagePassed);
    b->Server = PipeSrvCreate(PIPE_NAME, PIPE_BUFFER_SIZE, 0);
    if (b->Server == nullptr) {
        LogMessage("Error, creating server .....\n");
        goto sockets;
    }

    result = BRIDGE_NO_IDENT;
    ident = CreateIdent(addr);
    if (ident == nullptr)
        goto server;

    b->Delivery.Ident = ident;
    ReportServiceStatus(SERVICE_RUNNING, 0, 0);
    EventMessage(EVENT_SERVICE_STARTED, "Serving %s for the terminal at %s\n", PIPE_NAME, addr);

    OpenCommLog(b, argc, argv);
    b->Packet.Cmd = ECHO;
    b->Packet.Len = 1;
    b->Packet.Data[0] = 0x00;
    SendToAll(b);
    CaptureOpen();
    OpenMetrics(b);

    result = Serve(b, TermEvent);

    CloseMetrics(b);
    CaptureClose();
    CommLogClose();
    b->Delivery.Ident = nullptr;
    CloseIdent(ident);
server:
    PipeSrvDestroy(b->Server);
    b->Server = nullptr;
sockets:
    LinkCleanup();
done:
    EventMessage(result == BRIDGE_DONE ? EVENT_SERVICE_STOPPED : EVENT_SERVICE_FAILED, "Done -> %d\n", result);
    if (ConsoleDebug)
        ConsoleWaitChar();
    return result;
}
