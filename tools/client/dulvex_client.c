/* Client library for the Dulvex service's pipe. The encoders and the decoder come first and
 * use no operating system; the connection below them is Win32. */
#include "dulvex_client.h"

#include <string.h>

#define CAPTURE_HEADER 11 /* mask, command, seconds, milliseconds */

static void PutBe16(uint8_t* p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

const char* DulvexResultText(int result)
{
    if (result >= 0)
        return "ok";
    switch (result) {
    case DULVEX_E_ARGUMENT: return "invalid argument";
    case DULVEX_E_NOT_CONNECTED: return "not connected";
    case DULVEX_E_NO_SERVICE: return "the service's pipe does not exist (is the service running?)";
    case DULVEX_E_BUSY: return "another client is being served";
    case DULVEX_E_TIMEOUT: return "timed out";
    case DULVEX_E_DISCONNECTED: return "the service closed the connection";
    case DULVEX_E_TOO_LONG: return "message too long";
    case DULVEX_E_ACCESS: return "access to the pipe denied";
    case DULVEX_E_PROTOCOL: return "malformed message from the service";
    case DULVEX_E_SYSTEM: return "system error";
    case DULVEX_E_UNDELIVERED: return "the service could not deliver a command";
    default: return "unknown error";
    }
}

const char* DulvexReasonText(int reason)
{
    switch (reason) {
    case DULVEX_UNDELIVERED_QUEUE_FULL: return "queue full";
    case DULVEX_UNDELIVERED_GIVEN_UP: return "not acknowledged after the retries";
    case DULVEX_UNDELIVERED_LINK: return "link unusable";
    case DULVEX_HELD_DROPPED_AGE: return "held answers dropped for age";
    case DULVEX_HELD_DROPPED_COUNT: return "held answers dropped for count";
    default: return "unknown reason";
    }
}

static uint32_t GetBe32(const uint8_t* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static int EncodeControl(uint8_t* out, size_t outSize, uint16_t cmd, const uint8_t* data, size_t len)
{
    if (out == NULL)
        return DULVEX_E_ARGUMENT;
    return DulvexEncodePacket(out, outSize, DULVEX_CONTROL, cmd, 0, data, len);
}

int DulvexEncodeAnnounce(uint8_t* out, size_t outSize)
{
    static const uint8_t version = 1;
    return EncodeControl(out, outSize, DULVEX_CTL_ANNOUNCE, &version, 1);
}

int DulvexEncodeHealthRequest(uint8_t* out, size_t outSize)
{
    return EncodeControl(out, outSize, DULVEX_CTL_HEALTH, NULL, 0);
}

#define HEALTH_RECORD 27
#define STASH_SIZE 4

int DulvexSortMessage(DulvexMessage* msg, DulvexHealth* health)
{
    if (msg == NULL)
        return DULVEX_E_ARGUMENT;
    if (msg->Mask != DULVEX_CONTROL)
        return 0;
    const uint8_t* d = msg->Data;
    switch (msg->Cmd) {
    case DULVEX_CTL_WELCOME:
        return msg->Len >= 3 ? 1 : DULVEX_E_PROTOCOL;
    case DULVEX_CTL_NOTICE:
        if (msg->Len < 7)
            return DULVEX_E_PROTOCOL;
        msg->Reason = msg->Status;
        msg->Mask = d[0];
        msg->Cmd = (uint16_t)(d[1] << 8 | d[2]);
        msg->Count = GetBe32(d + 3);
        msg->HasStatus = 0;
        msg->Status = 0;
        msg->Len = 0;
        return DULVEX_E_UNDELIVERED;
    case DULVEX_CTL_HEALTH_ANSWER:
        if (msg->Len < 1 || d[0] > 8 || msg->Len < 1 + (uint32_t)d[0] * HEALTH_RECORD)
            return DULVEX_E_PROTOCOL;
        if (health != NULL) {
            health->Count = d[0];
            for (int i = 0; i < health->Count; ++i) {
                const uint8_t* r = d + 1 + i * HEALTH_RECORD;
                DulvexAppHealth* a = &health->Apps[i];
                a->Mask = r[0];
                a->State = r[1];
                a->SinceMs = GetBe32(r + 2);
                a->Sent = GetBe32(r + 6);
                a->Received = GetBe32(r + 10);
                a->Retransmitted = GetBe32(r + 14);
                a->GivenUp = GetBe32(r + 18);
                a->Queue = r[22];
                a->LastHeardMs = GetBe32(r + 23);
            }
        }
        return 2;
    default:
        return DULVEX_E_PROTOCOL;
    }
}

int DulvexEncodePacket(uint8_t* out, size_t outSize, uint8_t mask, uint16_t cmd, uint16_t status, const void* data,
                       size_t len)
{
    /* Mask 0 would make the service take the packet for a capture record. */
    if (out == NULL || mask == 0 || (data == NULL && len > 0))
        return DULVEX_E_ARGUMENT;
    size_t header = (cmd & DULVEX_CMD_RESPONSE) ? 5 : 3;
    if (len > DULVEX_MAX_SEND - header || header + len > outSize)
        return DULVEX_E_TOO_LONG;
    out[0] = mask;
    PutBe16(out + 1, cmd);
    if (header == 5)
        PutBe16(out + 3, status);
    if (len > 0)
        memcpy(out + header, data, len);
    return (int)(header + len);
}

int DulvexEncodeCapture(uint8_t* out, size_t outSize, uint32_t stampSec, uint32_t stampMsec, const char* text,
                        size_t textLen)
{
    if (out == NULL || (text == NULL && textLen > 0))
        return DULVEX_E_ARGUMENT;
    if (textLen > DULVEX_MAX_CAPTURE_TEXT || CAPTURE_HEADER + textLen > outSize)
        return DULVEX_E_TOO_LONG;
    /* Command 0 has no status, so the time stamp follows the command at once. */
    out[0] = 0;
    PutBe16(out + 1, 0);
    PutBe32(out + 3, stampSec);
    PutBe32(out + 7, stampMsec);
    if (textLen > 0)
        memcpy(out + CAPTURE_HEADER, text, textLen);
    return (int)(CAPTURE_HEADER + textLen);
}

int DulvexDecodeMessage(const uint8_t* bytes, size_t len, DulvexMessage* msg)
{
    if (bytes == NULL || msg == NULL)
        return DULVEX_E_ARGUMENT;
    if (len < 3)
        return DULVEX_E_PROTOCOL;
    uint16_t cmd = (uint16_t)(bytes[1] << 8 | bytes[2]);
    size_t header = (cmd & DULVEX_CMD_RESPONSE) ? 5 : 3;
    if (len < header || len - header > DULVEX_MAX_DATA)
        return DULVEX_E_PROTOCOL;
    msg->Mask = bytes[0];
    msg->Cmd = cmd;
    msg->HasStatus = header == 5;
    msg->Status = header == 5 ? (uint16_t)(bytes[3] << 8 | bytes[4]) : 0;
    msg->Reason = 0;
    msg->Count = 0;
    msg->Len = (uint32_t)(len - header);
    if (msg->Len > 0)
        memcpy(msg->Data, bytes + header, msg->Len);
    return (int)len;
}

#ifdef _WIN32

#define DEFAULT_SEND_TIMEOUT_MS 5000
/* The service re-creates its pipe after each client; in that gap the name does not exist. */
#define CONNECT_RETRY_MS 50
#define CANCEL_WAIT_MS 1000

static int IsOpen(const DulvexClient* c) { return c->Pipe != NULL && c->Pipe != INVALID_HANDLE_VALUE; }

static int Fail(DulvexClient* c, DWORD err)
{
    c->LastError = err;
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return DULVEX_E_NO_SERVICE;
    case ERROR_PIPE_BUSY: return DULVEX_E_BUSY;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT: return DULVEX_E_TIMEOUT;
    case ERROR_ACCESS_DENIED: return DULVEX_E_ACCESS;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED: return DULVEX_E_DISCONNECTED;
    default: return DULVEX_E_SYSTEM;
    }
}

static DWORD Remaining(DWORD start, uint32_t timeoutMs)
{
    if (timeoutMs == DULVEX_INFINITE)
        return INFINITE;
    DWORD elapsed = GetTickCount() - start; /* unsigned: right across the 49-day wrap */
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

static int WriteMessage(DulvexClient* c, const uint8_t* bytes, int len);

int DulvexConnect(DulvexClient* client, const char* pipeName, uint32_t timeoutMs)
{
    return DulvexConnectEx(client, pipeName, timeoutMs, 0);
}

int DulvexConnectEx(DulvexClient* client, const char* pipeName, uint32_t timeoutMs, unsigned flags)
{
    if (client == NULL)
        return DULVEX_E_ARGUMENT;
    DulvexClose(client);
    client->Announced = 0;
    client->Welcomed = 0;
    client->HeldAtWelcome = 0;
    client->StashFirst = 0;
    client->StashCount = 0;
    client->LastError = 0;
    client->SendTimeoutMs = DEFAULT_SEND_TIMEOUT_MS;
    const char* name = pipeName != NULL ? pipeName : DULVEX_PIPE_NAME;
    DWORD start = GetTickCount();
    HANDLE pipe;
    for (;;) {
        /* Identification only: the server end may learn who we are, never act as us. */
        pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
        if (pipe != INVALID_HANDLE_VALUE)
            break;
        DWORD err = GetLastError();
        DWORD left = Remaining(start, timeoutMs);
        if ((err != ERROR_PIPE_BUSY && err != ERROR_FILE_NOT_FOUND) || left == 0)
            return Fail(client, err);
        DWORD slice = left < 1000 ? left : 1000;
        if (err == ERROR_PIPE_BUSY) {
            /* Returns once an instance listens; a wait of 0 would mean the pipe's default. */
            if (!WaitNamedPipeA(name, slice) && GetLastError() == ERROR_FILE_NOT_FOUND)
                Sleep(slice < CONNECT_RETRY_MS ? slice : CONNECT_RETRY_MS);
        } else {
            Sleep(slice < CONNECT_RETRY_MS ? slice : CONNECT_RETRY_MS);
        }
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    HANDLE readEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE writeEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!SetNamedPipeHandleState(pipe, &mode, NULL, NULL) || readEvent == NULL || writeEvent == NULL) {
        DWORD err = GetLastError();
        CloseHandle(pipe);
        if (readEvent != NULL)
            CloseHandle(readEvent);
        if (writeEvent != NULL)
            CloseHandle(writeEvent);
        return Fail(client, err);
    }
    client->Pipe = pipe;
    client->ReadOverlapped.hEvent = readEvent;
    client->WriteOverlapped.hEvent = writeEvent;
    if (!(flags & DULVEX_CONNECT_PLAIN)) {
        uint8_t msg[8];
        int r = WriteMessage(client, msg, DulvexEncodeAnnounce(msg, sizeof msg));
        if (r < 0) {
            DWORD err = client->LastError;
            DulvexClose(client);
            client->LastError = err;
            return r;
        }
        client->Announced = 1;
    }
    return DULVEX_OK;
}

void DulvexClose(DulvexClient* client)
{
    if (client == NULL)
        return;
    if (IsOpen(client)) {
        CancelIo(client->Pipe);
        CloseHandle(client->Pipe);
        /* The system may write into the OVERLAPPED until the cancelled read completes. */
        if (client->ReadPending && client->ReadOverlapped.hEvent != NULL)
            WaitForSingleObject(client->ReadOverlapped.hEvent, CANCEL_WAIT_MS);
    }
    if (client->ReadOverlapped.hEvent != NULL)
        CloseHandle(client->ReadOverlapped.hEvent);
    if (client->WriteOverlapped.hEvent != NULL)
        CloseHandle(client->WriteOverlapped.hEvent);
    memset(&client->ReadOverlapped, 0, sizeof client->ReadOverlapped);
    memset(&client->WriteOverlapped, 0, sizeof client->WriteOverlapped);
    client->Pipe = NULL;
    client->ReadPending = 0;
}

static int WriteMessage(DulvexClient* c, const uint8_t* bytes, int len)
{
    if (len < 0)
        return len;
    OVERLAPPED* ov = &c->WriteOverlapped;
    ResetEvent(ov->hEvent);
    ov->Offset = ov->OffsetHigh = 0;
    DWORD n = 0;
    if (!WriteFile(c->Pipe, bytes, (DWORD)len, NULL, ov)) {
        DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING)
            return Fail(c, err);
        if (WaitForSingleObject(ov->hEvent, c->SendTimeoutMs) != WAIT_OBJECT_0) {
            /* Also cancels this thread's outstanding read; DulvexReceive issues it again. */
            CancelIo(c->Pipe);
            GetOverlappedResult(c->Pipe, ov, &n, TRUE);
            return Fail(c, WAIT_TIMEOUT);
        }
    }
    if (!GetOverlappedResult(c->Pipe, ov, &n, FALSE))
        return Fail(c, GetLastError());
    return (int)n;
}

int DulvexSendPacket(DulvexClient* client, uint8_t mask, uint16_t cmd, uint16_t status, const void* data, size_t len)
{
    if (client == NULL)
        return DULVEX_E_ARGUMENT;
    if (!IsOpen(client))
        return DULVEX_E_NOT_CONNECTED;
    uint8_t msg[DULVEX_MAX_SEND];
    return WriteMessage(client, msg, DulvexEncodePacket(msg, sizeof msg, mask, cmd, status, data, len));
}

int DulvexSendCapture(DulvexClient* client, uint32_t stampSec, uint32_t stampMsec, const char* text)
{
    if (client == NULL || text == NULL)
        return DULVEX_E_ARGUMENT;
    if (!IsOpen(client))
        return DULVEX_E_NOT_CONNECTED;
    size_t len = 0;
    while (len <= DULVEX_MAX_CAPTURE_TEXT && text[len] != '\0')
        ++len;
    uint8_t msg[DULVEX_MAX_SEND];
    return WriteMessage(client, msg, DulvexEncodeCapture(msg, sizeof msg, stampSec, stampMsec, text, len));
}

int DulvexSendCaptureNow(DulvexClient* client, const char* text)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    /* 100 ns units since 1601 to milliseconds since 1970. */
    uint64_t ms = ((uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime) / 10000u - 11644473600000ull;
    return DulvexSendCapture(client, (uint32_t)(ms / 1000u), (uint32_t)(ms % 1000u), text);
}

/* The rest of a message longer than ReadBuffer: read and thrown away. */
static void DiscardRest(DulvexClient* c)
{
    OVERLAPPED* ov = &c->ReadOverlapped;
    for (int i = 0; i < 64; ++i) {
        ResetEvent(ov->hEvent);
        ov->Offset = ov->OffsetHigh = 0;
        DWORD n = 0;
        if (!ReadFile(c->Pipe, c->ReadBuffer, sizeof c->ReadBuffer, NULL, ov) && GetLastError() != ERROR_MORE_DATA &&
            GetLastError() != ERROR_IO_PENDING)
            return;
        if (WaitForSingleObject(ov->hEvent, CANCEL_WAIT_MS) != WAIT_OBJECT_0) {
            CancelIo(c->Pipe);
            GetOverlappedResult(c->Pipe, ov, &n, TRUE);
            return;
        }
        if (GetOverlappedResult(c->Pipe, ov, &n, FALSE) || GetLastError() != ERROR_MORE_DATA)
            return;
    }
}

/* One message as it came: its length, or a negative code. */
static int ReceiveRaw(DulvexClient* client, DulvexMessage* msg, DWORD start, uint32_t timeoutMs)
{
    OVERLAPPED* ov = &client->ReadOverlapped;
    for (;;) {
        if (!client->ReadPending) {
            ResetEvent(ov->hEvent);
            ov->Offset = ov->OffsetHigh = 0;
            /* Completed at once or not, the result is taken from the OVERLAPPED below. */
            if (!ReadFile(client->Pipe, client->ReadBuffer, sizeof client->ReadBuffer, NULL, ov)) {
                DWORD err = GetLastError();
                if (err != ERROR_IO_PENDING && err != ERROR_MORE_DATA)
                    return Fail(client, err);
            }
            client->ReadPending = 1;
        }
        DWORD w = WaitForSingleObject(ov->hEvent, Remaining(start, timeoutMs));
        if (w == WAIT_TIMEOUT)
            return Fail(client, WAIT_TIMEOUT);
        if (w != WAIT_OBJECT_0)
            return Fail(client, GetLastError());
        client->ReadPending = 0;
        DWORD n = 0;
        if (GetOverlappedResult(client->Pipe, ov, &n, FALSE)) {
            int r = DulvexDecodeMessage(client->ReadBuffer, n, msg);
            if (r < 0)
                client->LastError = 0;
            return r;
        }
        DWORD err = GetLastError();
        if (err == ERROR_OPERATION_ABORTED)
            continue; /* cancelled by a send that timed out */
        if (err == ERROR_IO_INCOMPLETE) {
            /* The event was set by hand for messages kept aside; the read still waits. */
            client->ReadPending = 1;
            ResetEvent(ov->hEvent);
            if (HasOverlappedIoCompleted(ov))
                SetEvent(ov->hEvent);
            continue;
        }
        if (err == ERROR_MORE_DATA) {
            DiscardRest(client);
            client->LastError = err;
            return DULVEX_E_PROTOCOL;
        }
        return Fail(client, err);
    }
}

/* Takes the service's welcome and health answers in passing; a health answer is returned (2)
 * only when health is given. */
static int ReceiveSorted(DulvexClient* client, DulvexMessage* msg, DulvexHealth* health, uint32_t timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        int r = ReceiveRaw(client, msg, start, timeoutMs);
        if (r < 0)
            return r;
        int kind = DulvexSortMessage(msg, health);
        if (kind == 1) {
            /* The count first: another thread may read it once Welcomed is set. */
            client->HeldAtWelcome = (uint32_t)(msg->Data[1] << 8 | msg->Data[2]);
            MemoryBarrier();
            client->Welcomed = 1;
            continue;
        }
        if (kind == 2 && health == NULL)
            continue;
        if (kind == DULVEX_E_PROTOCOL)
            client->LastError = 0;
        return kind == 0 ? r : kind;
    }
}

int DulvexReceive(DulvexClient* client, DulvexMessage* msg, uint32_t timeoutMs)
{
    if (client == NULL || msg == NULL)
        return DULVEX_E_ARGUMENT;
    if (client->StashCount > 0) {
        int first = client->StashFirst;
        int r = DulvexDecodeMessage(client->Stash[first], client->StashLen[first], msg);
        client->StashFirst = (first + 1) % STASH_SIZE;
        client->StashCount--;
        int kind = r < 0 ? r : DulvexSortMessage(msg, NULL);
        return kind == 0 ? r : kind;
    }
    if (!IsOpen(client))
        return DULVEX_E_NOT_CONNECTED;
    return ReceiveSorted(client, msg, NULL, timeoutMs);
}

int DulvexLinkHealth(DulvexClient* client, DulvexHealth* health, uint32_t timeoutMs)
{
    if (client == NULL || health == NULL)
        return DULVEX_E_ARGUMENT;
    if (!IsOpen(client))
        return DULVEX_E_NOT_CONNECTED;
    /* Refused before anything is read: a message read with no room to keep it would be lost. */
    if (client->StashCount >= STASH_SIZE)
        return DULVEX_E_BUSY;
    uint8_t req[8];
    int r = WriteMessage(client, req, DulvexEncodeHealthRequest(req, sizeof req));
    if (r < 0)
        return r;
    DWORD start = GetTickCount();
    for (;;) {
        if (client->StashCount >= STASH_SIZE)
            return DULVEX_E_BUSY; /* the answer is taken in passing by a later receive */
        DulvexMessage msg;
        r = ReceiveSorted(client, &msg, health, Remaining(start, timeoutMs));
        if (r == 2)
            return DULVEX_OK;
        /* A control message this library does not know is kept too, for DulvexReceive to report. */
        uint32_t n = (uint32_t)client->ReadOverlapped.InternalHigh;
        int whole = r >= 0 || r == DULVEX_E_UNDELIVERED || (r == DULVEX_E_PROTOCOL && client->LastError == 0);
        if (!whole || n > DULVEX_MAX_RECEIVE)
            return r;
        /* Kept as the raw bytes: the read buffer still holds them. */
        int slot = (client->StashFirst + client->StashCount) % STASH_SIZE;
        memcpy(client->Stash[slot], client->ReadBuffer, n);
        client->StashLen[slot] = n;
        client->StashCount++;
    }
}

#endif
