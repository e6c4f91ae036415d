/* The SDK DLL: an opaque session around the client library's connection, with one lock per
 * direction so that one thread may send while another receives. */
#define DULVEX_SDK_BUILD
#include "dulvex_sdk.h"

#include <stdlib.h>
#include <string.h>

#include "dulvex_client.h"

/* The DLL's codes are the library's; a mismatch fails the build. */
#define SAME(a, b) typedef char same_##a[(a) == (b) ? 1 : -1]
SAME(DULVEX_SDK_E_ARGUMENT, DULVEX_E_ARGUMENT);
SAME(DULVEX_SDK_E_NOT_CONNECTED, DULVEX_E_NOT_CONNECTED);
SAME(DULVEX_SDK_E_NO_SERVICE, DULVEX_E_NO_SERVICE);
SAME(DULVEX_SDK_E_BUSY, DULVEX_E_BUSY);
SAME(DULVEX_SDK_E_TIMEOUT, DULVEX_E_TIMEOUT);
SAME(DULVEX_SDK_E_DISCONNECTED, DULVEX_E_DISCONNECTED);
SAME(DULVEX_SDK_E_TOO_LONG, DULVEX_E_TOO_LONG);
SAME(DULVEX_SDK_E_ACCESS, DULVEX_E_ACCESS);
SAME(DULVEX_SDK_E_PROTOCOL, DULVEX_E_PROTOCOL);
SAME(DULVEX_SDK_E_SYSTEM, DULVEX_E_SYSTEM);
SAME(DULVEX_SDK_MAX_DATA, DULVEX_MAX_DATA);
SAME(DULVEX_SDK_CMD_RESPONSE, DULVEX_CMD_RESPONSE);
SAME(DULVEX_SDK_INFINITE, DULVEX_INFINITE);
typedef char message_is_packed[sizeof(DulvexSdkMessage) == 8 + DULVEX_SDK_MAX_DATA ? 1 : -1];

#define DEFAULT_SEND_TIMEOUT_MS 5000

struct DulvexSession {
    /* Lock order: Receiving before Sending. */
    CRITICAL_SECTION Receiving;
    CRITICAL_SECTION Sending;
    uint32_t SendTimeoutMs;
    DulvexClient Client;
    DulvexMessage Message;
};

static int IsOpen(const DulvexClient* c) { return c->Pipe != NULL && c->Pipe != INVALID_HANDLE_VALUE; }

uint32_t DULVEX_SDK_CALL DulvexSdkVersion(void) { return DULVEX_SDK_VERSION; }

const char* DULVEX_SDK_CALL DulvexSdkResultText(int result)
{
    if (result == DULVEX_SDK_E_NO_MEMORY)
        return "out of memory";
    return DulvexResultText(result);
}

DulvexSession* DULVEX_SDK_CALL DulvexSdkCreate(void)
{
    DulvexSession* s = (DulvexSession*)calloc(1, sizeof *s);
    if (s == NULL)
        return NULL;
    InitializeCriticalSection(&s->Receiving);
    InitializeCriticalSection(&s->Sending);
    s->SendTimeoutMs = DEFAULT_SEND_TIMEOUT_MS;
    return s;
}

void DULVEX_SDK_CALL DulvexSdkFree(DulvexSession* session)
{
    if (session == NULL)
        return;
    DulvexClose(&session->Client);
    DeleteCriticalSection(&session->Sending);
    DeleteCriticalSection(&session->Receiving);
    free(session);
}

int DULVEX_SDK_CALL DulvexSdkConnect(DulvexSession* session, const char* pipeName, uint32_t timeoutMs)
{
    if (session == NULL)
        return DULVEX_SDK_E_ARGUMENT;
    EnterCriticalSection(&session->Receiving);
    EnterCriticalSection(&session->Sending);
    int r = DulvexConnect(&session->Client, pipeName, timeoutMs);
    /* The library's connect resets the send time-out; the session's setting outlives it. */
    session->Client.SendTimeoutMs = session->SendTimeoutMs;
    LeaveCriticalSection(&session->Sending);
    LeaveCriticalSection(&session->Receiving);
    return r;
}

void DULVEX_SDK_CALL DulvexSdkClose(DulvexSession* session)
{
    if (session == NULL)
        return;
    EnterCriticalSection(&session->Receiving);
    EnterCriticalSection(&session->Sending);
    DulvexClose(&session->Client);
    LeaveCriticalSection(&session->Sending);
    LeaveCriticalSection(&session->Receiving);
}

int DULVEX_SDK_CALL DulvexSdkSetSendTimeout(DulvexSession* session, uint32_t timeoutMs)
{
    /* 0 would make every send that does not complete at once fail. */
    if (session == NULL || timeoutMs == 0)
        return DULVEX_SDK_E_ARGUMENT;
    EnterCriticalSection(&session->Sending);
    session->SendTimeoutMs = timeoutMs;
    session->Client.SendTimeoutMs = timeoutMs;
    LeaveCriticalSection(&session->Sending);
    return DULVEX_SDK_OK;
}

int DULVEX_SDK_CALL DulvexSdkSend(DulvexSession* session, uint8_t mask, uint16_t cmd, uint16_t status,
                                  const void* data, uint32_t len)
{
    if (session == NULL)
        return DULVEX_SDK_E_ARGUMENT;
    EnterCriticalSection(&session->Sending);
    int r = DulvexSendPacket(&session->Client, mask, cmd, status, data, len);
    LeaveCriticalSection(&session->Sending);
    return r;
}

int DULVEX_SDK_CALL DulvexSdkSendCapture(DulvexSession* session, const char* text)
{
    if (session == NULL)
        return DULVEX_SDK_E_ARGUMENT;
    EnterCriticalSection(&session->Sending);
    int r = DulvexSendCaptureNow(&session->Client, text);
    LeaveCriticalSection(&session->Sending);
    return r;
}

int DULVEX_SDK_CALL DulvexSdkReceive(DulvexSession* session, DulvexSdkMessage* msg, uint32_t timeoutMs)
{
    if (session == NULL || msg == NULL)
        return DULVEX_SDK_E_ARGUMENT;
    EnterCriticalSection(&session->Receiving);
    DulvexMessage* m = &session->Message;
    int r = DulvexReceive(&session->Client, m, timeoutMs);
    if (r >= 0) {
        msg->Mask = m->Mask;
        msg->HasStatus = (uint8_t)(m->HasStatus != 0);
        msg->Cmd = m->Cmd;
        msg->Status = m->Status;
        msg->Len = (uint16_t)m->Len;
        memcpy(msg->Data, m->Data, m->Len);
        r = (int)m->Len;
    }
    LeaveCriticalSection(&session->Receiving);
    return r;
}

void* DULVEX_SDK_CALL DulvexSdkReceiveHandle(DulvexSession* session)
{
    if (session == NULL)
        return NULL;
    EnterCriticalSection(&session->Receiving);
    DulvexClient* c = &session->Client;
    HANDLE event = NULL;
    if (IsOpen(c)) {
        event = c->ReadOverlapped.hEvent;
        if (!c->ReadPending) {
            OVERLAPPED* ov = &c->ReadOverlapped;
            ResetEvent(event);
            ov->Offset = ov->OffsetHigh = 0;
            /* The event is set on completion, at once or later, just as DulvexReceive expects. */
            if (ReadFile(c->Pipe, c->ReadBuffer, sizeof c->ReadBuffer, NULL, ov) ||
                GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA)
                c->ReadPending = 1;
            else
                SetEvent(event); /* a failed start: the next receive starts it again and reports why */
        }
    }
    LeaveCriticalSection(&session->Receiving);
    return event;
}

uint32_t DULVEX_SDK_CALL DulvexSdkLastError(const DulvexSession* session)
{
    return session != NULL ? session->Client.LastError : 0;
}
