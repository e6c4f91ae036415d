/* Dulvex SDK sample: sends one packet and prints every message until each application asked has
 * answered or the service said that it will not, waiting on the session's handle and on Ctrl+C
 * together. The session announces itself, so the answers the service held for it come first and
 * a command that cannot be delivered comes back as a notice.
 *
 * Build (MinGW):  x86_64-w64-mingw32-gcc -I<sdk> sdk_sample.c -L<sdk> -ldulvex -o sdk_sample.exe
 * Build (MSVC):   cl /I<sdk> sdk_sample.c <sdk>\dulvex.lib
 * Run:            sdk_sample [MASK [COMMAND [HEX-DATA]]]   e.g. sdk_sample 0x1f 0x0123 00ff
 * Exit code: 0 every application answered, 1 a failure or no full answer within 5 s, 2 usage,
 * 3 every application answered or was reported, and the service reported at least one. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "dulvex_sdk.h"

static HANDLE StopEvent;

static BOOL WINAPI OnConsoleControl(DWORD type)
{
    (void)type;
    SetEvent(StopEvent);
    return TRUE;
}

static const char* AppName(unsigned mask)
{
    switch (mask) {
    case DULVEX_APP_MASTER: return "Master";
    case DULVEX_APP_MBCA: return "MBCA";
    case DULVEX_APP_MAINT: return "Maint";
    case DULVEX_APP_FLEET: return "Fleet";
    case DULVEX_APP_PETRO: return "Petro";
    default: return "?";
    }
}

/* Two hex digits a byte; returns the byte count, or -1 for anything else. */
static int ParseHex(const char* text, unsigned char* out, int size)
{
    int n = 0;
    size_t len = strlen(text);
    if (len % 2 != 0 || (int)(len / 2) > size)
        return -1;
    for (size_t i = 0; i < len; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end;
        out[n++] = (unsigned char)strtoul(pair, &end, 16);
        if (*end != 0)
            return -1;
    }
    return n;
}

int main(int argc, char** argv)
{
    unsigned mask = argc > 1 ? (unsigned)strtoul(argv[1], NULL, 0) : DULVEX_APP_MASTER;
    unsigned cmd = argc > 2 ? (unsigned)strtoul(argv[2], NULL, 0) : 0x1234;
    unsigned char data[DULVEX_SDK_MAX_DATA] = {0x41, 0x42};
    int len = argc > 3 ? ParseHex(argv[3], data, sizeof data) : 2;
    if (mask == 0 || mask > DULVEX_APP_ALL || cmd > 0xFFFF || len < 0) {
        fprintf(stderr, "usage: sdk_sample [MASK [COMMAND [HEX-DATA]]]\n");
        return 2;
    }
    /* The DLL may be newer than this header, never older in its major version. */
    if (DulvexSdkVersion() >> 16 != DULVEX_SDK_VERSION >> 16) {
        fprintf(stderr, "dulvex.dll version 0x%06X does not match the header's 0x%06X\n",
                (unsigned)DulvexSdkVersion(), DULVEX_SDK_VERSION);
        return 1;
    }
    StopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    DulvexSession* session = DulvexSdkCreate();
    if (session == NULL) {
        fprintf(stderr, "%s\n", DulvexSdkResultText(DULVEX_SDK_E_NO_MEMORY));
        return 1;
    }
    int r = DulvexSdkConnect(session, NULL, 5000);
    if (r == DULVEX_SDK_OK)
        r = DulvexSdkSetSendTimeout(session, 2000);
    if (r == DULVEX_SDK_OK)
        r = DulvexSdkSend(session, (uint8_t)mask, (uint16_t)cmd, 0, data, (uint32_t)len);
    if (r < 0) {
        fprintf(stderr, "failed: %s (system error %u)\n", DulvexSdkResultText(r),
                (unsigned)DulvexSdkLastError(session));
        DulvexSdkFree(session);
        return 1;
    }
    printf("sent command 0x%04X to mask 0x%02X, %d data bytes\n", cmd, mask, len);

    unsigned waiting = mask, reported = 0;
    int welcomed = 0;
    DWORD start = GetTickCount();
    while (waiting != 0 && r >= 0) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= 5000) {
            r = DULVEX_SDK_E_TIMEOUT;
            break;
        }
        HANDLE handles[2] = {StopEvent, (HANDLE)DulvexSdkReceiveHandle(session)};
        DWORD w = WaitForMultipleObjects(2, handles, FALSE, 5000 - elapsed);
        if (w == WAIT_OBJECT_0) {
            printf("stopped\n");
            break;
        }
        if (w == WAIT_TIMEOUT)
            continue; /* checked above */
        if (w != WAIT_OBJECT_0 + 1) {
            r = DULVEX_SDK_E_SYSTEM;
            break;
        }
        DulvexSdkMessage msg;
        r = DulvexSdkReceive(session, &msg, 0);
        if (r == DULVEX_SDK_E_TIMEOUT) {
            r = 0; /* the handle fired for a read that was started again: wait on */
            continue;
        }
        if (r == DULVEX_SDK_E_UNDELIVERED) {
            /* Not a failure: the session stays usable. */
            printf("notice: command 0x%04X to 0x%02X (%s) will not be answered: reason %u, count %u\n", msg.Cmd,
                   msg.Mask, AppName(msg.Mask), (unsigned)msg.Status, (unsigned)DULVEX_SDK_NOTICE_COUNT(&msg));
            if (msg.Cmd == cmd && (waiting & msg.Mask) != 0) {
                waiting &= ~(unsigned)msg.Mask;
                reported |= msg.Mask;
            }
            r = 0;
            continue;
        }
        if (r < 0)
            break;
        uint32_t held;
        if (!welcomed && DulvexSdkWelcome(session, &held) == 1) {
            welcomed = 1;
            printf("welcome: %u held answer(s) first\n", (unsigned)held);
        }
        printf("from 0x%02X (%s): command 0x%04X", msg.Mask, AppName(msg.Mask), msg.Cmd);
        if (msg.HasStatus)
            printf(" status 0x%04X", msg.Status);
        printf(", %u data bytes:", (unsigned)msg.Len);
        for (unsigned i = 0; i < msg.Len; ++i)
            printf(" %02X", msg.Data[i]);
        printf("\n");
        /* Held answers and others' messages are shown, but only the answer to our command counts. */
        if (msg.Cmd == (cmd | DULVEX_SDK_CMD_RESPONSE))
            waiting &= ~(unsigned)msg.Mask;
    }
    if (r < 0)
        fprintf(stderr, "failed: %s\n", DulvexSdkResultText(r));
    DulvexSdkFree(session);
    CloseHandle(StopEvent);
    return waiting != 0 ? 1 : reported != 0 ? 3 : 0;
}
