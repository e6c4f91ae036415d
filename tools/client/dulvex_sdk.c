/* The SDK DLL: an opaque session around the client library's connection, with one lock per
 * direction so that one thread may send while another receives. */
#define DULVEX_SDK_BUILD
#include "dulvex_sdk.h"

#include <stdlib.h>
#include <string.h>

#include "dulvex_client.h"

/* The DLL's codes are the library's up to DULVEX_SDK_E_SYSTEM; a mismatch fails the build. From
 * there on the DLL has codes of its own: the library's notice and "messages kept" results are
 * translated (ToSdk). */
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
SAME(DULVEX_SDK_CONNECT_PLAIN, DULVEX_CONNECT_PLAIN);
SAME(DULVEX_SDK_NOTICE_QUEUE_FULL, DULVEX_UNDELIVERED_QUEUE_FULL);
SAME(DULVEX_SDK_NOTICE_GIVEN_UP, DULVEX_UNDELIVERED_GIVEN_UP);
SAME(DULVEX_SDK_NOTICE_LINK, DULVEX_UNDELIVERED_LINK);
SAME(DULVEX_SDK_NOTICE_HELD_AGE, DULVEX_HELD_DROPPED_AGE);
SAME(DULVEX_SDK_NOTICE_HELD_COUNT, DULVEX_HELD_DROPPED_COUNT);
SAME(DULVEX_SDK_INFINITE, DULVEX_NEVER);
typedef char app_health_is_packed[sizeof(DulvexSdkAppHealth) == 28 ? 1 : -1];
typedef char health_is_packed[sizeof(DulvexSdkHealth) == 4 + 8 * 28 ? 1 : -1];
typedef char message_is_packed[sizeof(DulvexSdkMessage) == 8 + DULVEX_SDK_MAX_DATA ? 1 : -1];

#define DEFAULT_SEND_TIMEOUT_MS 5000

struct DulvexSession {
    /* Lock order: Receiving before Sending. */
    CRITICAL_SECTION Receiving;
    CRITICAL_SECTION Sending;
    uint32_t SendTimeoutMs;
    DulvexClient Client;
    DulvexMessage Message;
    /* Asynchronous receives: one worker thread, started by the first request. Callback is set
     * while a request waits to be taken or is being served, and is guarded by Async. */
    CRITICAL_SECTION Async;
    HANDLE Worker;
    DWORD WorkerId;
    HANDLE Wake; /* auto-reset: a request was made */
    HANDLE Stop; /* manual-reset: the worker is to end */
    DulvexSdkReceiveCallback Callback;
    void* Context;
    uint32_t AsyncTimeoutMs;
};

static int IsOpen(const DulvexClient* c) { return c->Pipe != NULL && c->Pipe != INVALID_HANDLE_VALUE; }

uint32_t DULVEX_SDK_CALL DulvexSdkVersion(void) { return DULVEX_SDK_VERSION; }

const char* DULVEX_SDK_CALL DulvexSdkResultText(int result)
{
    if (result == DULVEX_SDK_E_UNDELIVERED)
        return DulvexResultText(DULVEX_E_UNDELIVERED);
    if (result == DULVEX_SDK_E_KEPT)
        return "messages kept by the link health request wait to be received";
    if (result == DULVEX_SDK_E_NO_MEMORY)
        return "out of memory";
    if (result == DULVEX_SDK_E_PENDING)
        return "an asynchronous receive is already outstanding";
    if (result == DULVEX_SDK_E_CANCELLED)
        return "cancelled: the session was closed";
    return DulvexResultText(result);
}

DulvexSession* DULVEX_SDK_CALL DulvexSdkCreate(void)
{
    DulvexSession* s = (DulvexSession*)calloc(1, sizeof *s);
    if (s == NULL)
        return NULL;
    InitializeCriticalSection(&s->Receiving);
    InitializeCriticalSection(&s->Sending);
    InitializeCriticalSection(&s->Async);
    s->SendTimeoutMs = DEFAULT_SEND_TIMEOUT_MS;
    return s;
}

/* Ends the worker, if any, and cancels a request it has not served. Never on the worker itself:
 * it would wait for its own end. */
static void StopWorker(DulvexSession* s)
{
    EnterCriticalSection(&s->Async);
    HANDLE worker = s->Worker;
    if (worker == NULL || GetCurrentThreadId() == s->WorkerId) {
        LeaveCriticalSection(&s->Async);
        return;
    }
    SetEvent(s->Stop);
    LeaveCriticalSection(&s->Async);
    /* Outside the lock: the worker takes it once more before it ends. */
    WaitForSingleObject(worker, INFINITE);
    EnterCriticalSection(&s->Async);
    CloseHandle(worker);
    CloseHandle(s->Wake);
    CloseHandle(s->Stop);
    s->Worker = s->Wake = s->Stop = NULL;
    s->WorkerId = 0;
    DulvexSdkReceiveCallback callback = s->Callback;
    void* context = s->Context;
    s->Callback = NULL;
    LeaveCriticalSection(&s->Async);
    if (callback != NULL)
        callback(context, DULVEX_SDK_E_CANCELLED, NULL);
}

void DULVEX_SDK_CALL DulvexSdkFree(DulvexSession* session)
{
    if (session == NULL)
        return;
    StopWorker(session);
    DulvexClose(&session->Client);
    DeleteCriticalSection(&session->Async);
    DeleteCriticalSection(&session->Sending);
    DeleteCriticalSection(&session->Receiving);
    free(session);
}

/* The library's result as the DLL's: the library's -11 is the DLL's DULVEX_SDK_E_NO_MEMORY. */
static int ToSdk(int r)
{
    return r == DULVEX_E_UNDELIVERED ? DULVEX_SDK_E_UNDELIVERED : r;
}

int DULVEX_SDK_CALL DulvexSdkConnect(DulvexSession* session, const char* pipeName, uint32_t timeoutMs)
{
    return DulvexSdkConnectEx(session, pipeName, timeoutMs, 0);
}

int DULVEX_SDK_CALL DulvexSdkConnectEx(DulvexSession* session, const char* pipeName, uint32_t timeoutMs,
                                       uint32_t flags)
{
    if (session == NULL || (flags & ~DULVEX_SDK_CONNECT_PLAIN) != 0)
        return DULVEX_SDK_E_ARGUMENT;
    StopWorker(session);
    EnterCriticalSection(&session->Receiving);
    EnterCriticalSection(&session->Sending);
    int r = ToSdk(DulvexConnectEx(&session->Client, pipeName, timeoutMs, flags));
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
    StopWorker(session);
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
    } else if (r == DULVEX_E_UNDELIVERED) {
        msg->Mask = m->Mask;
        msg->HasStatus = 0;
        msg->Cmd = m->Cmd;
        msg->Status = m->Reason;
        msg->Len = 4;
        msg->Data[0] = (uint8_t)(m->Count >> 24);
        msg->Data[1] = (uint8_t)(m->Count >> 16);
        msg->Data[2] = (uint8_t)(m->Count >> 8);
        msg->Data[3] = (uint8_t)m->Count;
    }
    LeaveCriticalSection(&session->Receiving);
    return ToSdk(r);
}

int DULVEX_SDK_CALL DulvexSdkWelcome(const DulvexSession* session, uint32_t* held)
{
    if (session == NULL)
        return DULVEX_SDK_E_ARGUMENT;
    /* The library sets the count before the flag. */
    if (!*(volatile const int*)&session->Client.Welcomed)
        return 0;
    MemoryBarrier();
    if (held != NULL)
        *held = session->Client.HeldAtWelcome;
    return 1;
}

int DULVEX_SDK_CALL DulvexSdkLinkHealth(DulvexSession* session, DulvexSdkHealth* health, uint32_t timeoutMs)
{
    if (session == NULL || health == NULL)
        return DULVEX_SDK_E_ARGUMENT;
    static const DulvexSdkHealth none;
    DulvexHealth h;
    EnterCriticalSection(&session->Receiving);
    EnterCriticalSection(&session->Sending);
    int r = DulvexLinkHealth(&session->Client, &h, timeoutMs);
    /* The library's "busy" here means messages kept, never another client. */
    if (r == DULVEX_E_BUSY)
        r = DULVEX_SDK_E_KEPT;
    /* Messages kept: a waiter on the handle must wake to receive them. */
    if (session->Client.StashCount > 0 && session->Client.ReadOverlapped.hEvent != NULL)
        SetEvent(session->Client.ReadOverlapped.hEvent);
    LeaveCriticalSection(&session->Sending);
    LeaveCriticalSection(&session->Receiving);
    *health = none;
    if (r != DULVEX_OK)
        return ToSdk(r);
    health->Count = (uint32_t)h.Count;
    for (int i = 0; i < h.Count; ++i) {
        DulvexSdkAppHealth* a = &health->Apps[i];
        a->Mask = h.Apps[i].Mask;
        a->State = h.Apps[i].State;
        a->Queue = h.Apps[i].Queue;
        a->SinceMs = h.Apps[i].SinceMs;
        a->Sent = h.Apps[i].Sent;
        a->Received = h.Apps[i].Received;
        a->Retransmitted = h.Apps[i].Retransmitted;
        a->GivenUp = h.Apps[i].GivenUp;
        a->LastHeardMs = h.Apps[i].LastHeardMs;
    }
    return DULVEX_SDK_OK;
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
        if (c->StashCount > 0) {
            /* Messages kept by a link health request: a receive would not wait. */
            SetEvent(event);
        } else if (!c->ReadPending) {
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

static DWORD LeftOf(DWORD start, uint32_t timeoutMs)
{
    if (timeoutMs == DULVEX_SDK_INFINITE)
        return INFINITE;
    DWORD elapsed = GetTickCount() - start; /* unsigned: right across the 49-day wrap */
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

/* Serves one request: waits on the session's handle and the stop event together. */
static int ServeRequest(DulvexSession* s, uint32_t timeoutMs, DulvexSdkMessage* msg)
{
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE both[2] = {s->Stop, (HANDLE)DulvexSdkReceiveHandle(s)};
        if (both[1] == NULL)
            return DULVEX_SDK_E_NOT_CONNECTED;
        DWORD w = WaitForMultipleObjects(2, both, FALSE, LeftOf(start, timeoutMs));
        if (w == WAIT_OBJECT_0)
            return DULVEX_SDK_E_CANCELLED;
        if (w == WAIT_TIMEOUT)
            return DULVEX_SDK_E_TIMEOUT;
        if (w != WAIT_OBJECT_0 + 1)
            return DULVEX_SDK_E_SYSTEM;
        int r = DulvexSdkReceive(s, msg, 0);
        /* A time-out here is a read restarted after its thread ended: wait on. */
        if (r != DULVEX_SDK_E_TIMEOUT)
            return r;
    }
}

static DWORD WINAPI AsyncWorker(void* arg)
{
    DulvexSession* s = (DulvexSession*)arg;
    DulvexSdkMessage msg;
    for (;;) {
        /* Stop comes first: a request made as the session closes is cancelled by StopWorker. */
        HANDLE events[2] = {s->Stop, s->Wake};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return 0;
        EnterCriticalSection(&s->Async);
        DulvexSdkReceiveCallback callback = s->Callback;
        uint32_t timeoutMs = s->AsyncTimeoutMs;
        LeaveCriticalSection(&s->Async);
        if (callback == NULL)
            continue;
        int r = ServeRequest(s, timeoutMs, &msg);
        if (r == DULVEX_SDK_E_CANCELLED)
            return 0; /* StopWorker calls back */
        EnterCriticalSection(&s->Async);
        void* context = s->Context;
        /* Cleared first, so that the callback may ask for the next message. */
        s->Callback = NULL;
        LeaveCriticalSection(&s->Async);
        callback(context, r, r >= 0 || r == DULVEX_SDK_E_UNDELIVERED ? &msg : NULL);
    }
}

int DULVEX_SDK_CALL DulvexSdkReceiveAsync(DulvexSession* session, uint32_t timeoutMs,
                                          DulvexSdkReceiveCallback callback, void* context)
{
    if (session == NULL || callback == NULL)
        return DULVEX_SDK_E_ARGUMENT;
    DulvexSession* s = session;
    int r = DULVEX_SDK_OK;
    EnterCriticalSection(&s->Async);
    if (s->Callback != NULL) {
        r = DULVEX_SDK_E_PENDING;
    } else if (!IsOpen(&s->Client)) {
        r = DULVEX_SDK_E_NOT_CONNECTED;
    } else if (s->Worker == NULL) {
        s->Wake = CreateEventA(NULL, FALSE, FALSE, NULL);
        s->Stop = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (s->Wake != NULL && s->Stop != NULL)
            s->Worker = CreateThread(NULL, 0, AsyncWorker, s, 0, &s->WorkerId);
        if (s->Worker == NULL) {
            s->Client.LastError = GetLastError();
            if (s->Wake != NULL)
                CloseHandle(s->Wake);
            if (s->Stop != NULL)
                CloseHandle(s->Stop);
            s->Wake = s->Stop = NULL;
            r = DULVEX_SDK_E_SYSTEM;
        }
    }
    if (r == DULVEX_SDK_OK) {
        s->Callback = callback;
        s->Context = context;
        s->AsyncTimeoutMs = timeoutMs;
        SetEvent(s->Wake);
    }
    LeaveCriticalSection(&s->Async);
    return r;
}

uint32_t DULVEX_SDK_CALL DulvexSdkLastError(const DulvexSession* session)
{
    return session != NULL ? session->Client.LastError : 0;
}
