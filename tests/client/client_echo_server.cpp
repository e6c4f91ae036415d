// A stand-in for the service behind the pipe, for the dulvex-client tool's tests: every packet
// is answered once by each application its mask selects, as a response (command with bit
// 0x8000) whose status is the application's index and whose data is the packet's. Capture
// records are printed on standard output. Mask 0x80 with command 0xFFFF ends the program; with
// command 0xFFFE and a big-endian 16-bit number of milliseconds, the next packet's answers are
// written that much later (a slow terminal for the round trips of ping); with command 0xFFFD and
// one byte N, the next client that announces itself (80 7F 01 01) is handed, after the welcome,
// a notice of one held answer dropped for count and N held answers (04 80 70 00 00 i), once.
// A link health request (80 7F 02) is answered by MBCA's message 02 80 99 00 00, then the health
// of five applications, each with its bit and all else 0.
// Usage: client_echo_server PIPE-NAME [MAX-SECONDS [TRACE-FILE]]
#include <cstdio>
#include <cstdlib>

#include "PipeSrv.h"
#include "debug.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: client_echo_server PIPE-NAME [MAX-SECONDS]\n");
        return 1;
    }
    ConsoleDebug = true;
    if (argc > 3)
        OpenTrace(argv[3]);
    DWORD limitMs = (argc > 2 ? static_cast<DWORD>(atoi(argv[2])) : 30) * 1000;
    PipeServer* srv = PipeSrvCreate(argv[1], 600, 0);
    if (srv == nullptr) {
        fprintf(stderr, "client_echo_server: cannot create %s\n", argv[1]);
        return 2;
    }
    DWORD start = GetTickCount();
    uint8_t msg[2048];
    uint8_t reply[700];
    int rc = 3;
    DWORD delayMs = 0;
    uint8_t held = 0;
    while (GetTickCount() - start < limitMs) {
        HANDLE events[2] = {PipeSrvGetEvent(srv), PipeSrvGetWriteEvent(srv)};
        DWORD w = WaitForMultipleObjects(2, events, FALSE, 100);
        if (w == WAIT_OBJECT_0 + 1)
            PipeSrvWritten(srv);
        if (w != WAIT_OBJECT_0) {
            PipeSrvCheck(srv);
            continue;
        }
        if (GotOverResult(srv) <= 0)
            continue;
        int n = PipeSrvRead(srv, msg, sizeof msg);
        if (n < 3)
            continue;
        unsigned cmd = msg[1] << 8 | msg[2];
        int header = (cmd & 0x8000) ? 5 : 3;
        if (n < header)
            continue;
        if (msg[0] == 0x80 && cmd == 0xFFFF) {
            rc = 0;
            break;
        }
        if (msg[0] == 0x80 && cmd == 0xFFFD && n == header + 1) {
            held = msg[header];
            continue;
        }
        if (msg[0] == 0x80 && cmd == 0x7F01) {
            const uint8_t welcome[] = {0x80, 0xFF, 0x01, 0x00, 0x00, 0x01, 0x00, held};
            PipeWrite(srv, welcome, sizeof welcome);
            if (held > 0) {
                const uint8_t notice[] = {0x80, 0xFF, 0x02, 0x00, 0x05, 0x04, 0x80, 0x70, 0x00, 0x00, 0x00, 0x01};
                PipeWrite(srv, notice, sizeof notice);
            }
            for (uint8_t i = 1; i <= held; ++i) {
                const uint8_t answer[] = {0x04, 0x80, 0x70, 0x00, 0x00, i};
                PipeWrite(srv, answer, sizeof answer);
            }
            held = 0;
            continue;
        }
        if (msg[0] == 0x80 && cmd == 0x7F02) {
            const uint8_t before[] = {0x02, 0x80, 0x99, 0x00, 0x00};
            PipeWrite(srv, before, sizeof before);
            uint8_t health[6 + 5 * 27] = {0x80, 0xFF, 0x03, 0x00, 0x00, 0x05};
            for (int app = 0; app < 5; ++app)
                health[6 + app * 27] = static_cast<uint8_t>(1 << app);
            PipeWrite(srv, health, sizeof health);
            continue;
        }
        if (msg[0] == 0x80 && cmd == 0xFFFE && n == header + 2) {
            delayMs = static_cast<DWORD>(msg[header] << 8 | msg[header + 1]);
            continue;
        }
        if (msg[0] == 0) {
            if (n >= header + 8) {
                unsigned long sec = (unsigned long)msg[header] << 24 | msg[header + 1] << 16 | msg[header + 2] << 8 | msg[header + 3];
                unsigned long ms = (unsigned long)msg[header + 4] << 24 | msg[header + 5] << 16 | msg[header + 6] << 8 | msg[header + 7];
                printf("capture %lu %lu %.*s\n", sec, ms, n - header - 8, reinterpret_cast<char*>(msg + header + 8));
                fflush(stdout);
            }
            continue;
        }
        Sleep(delayMs);
        delayMs = 0;
        for (int app = 0; app < 5; ++app) {
            if ((msg[0] & (1 << app)) == 0)
                continue;
            int len = n - header;
            reply[0] = static_cast<uint8_t>(1 << app);
            reply[1] = static_cast<uint8_t>((cmd | 0x8000) >> 8);
            reply[2] = static_cast<uint8_t>(cmd);
            reply[3] = 0;
            reply[4] = static_cast<uint8_t>(app);
            memcpy(reply + 5, msg + header, len);
            PipeWrite(srv, reply, 5 + len);
        }
    }
    PipeSrvDestroy(srv);
    return rc;
}
